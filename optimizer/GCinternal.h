// What the optimizer's sources share and no caller includes (it is not
// installed): the allocation helper, used by every source, and the
// operations templated on the cost source type: the two energy sums and the
// unary and pair terms of a move. GCcostSources.cpp instantiates the
// operations for each source type when it binds the source, so each loop is
// compiled once per source with the source's cost evaluation inlined into it
// (a table read or plain call per cost, one virtual call for a functor).
// Invariant: nothing here is called through a source type other than the one
// bound, since m_data_source and m_smooth_source are cast back to it.
#ifndef OPTIMIZER_GCINTERNAL_H_
#define OPTIMIZER_GCINTERNAL_H_

#include <cassert>
#include <cstddef>
#include <new>

#include "flow/energy.h"
#include "flow/gridGraph3D.h"
#include "optimizer/GCbase.h"

namespace gc_internal {

constexpr char kNoMemory[] = "Not enough memory";
constexpr char kSetUpTermsFirst[] = "Set up data and smoothness terms first. ";
// A move being built asks the interrupt check at every 4096th site (this
// mask), so that building a large move is watched as its search is.
constexpr int kInterruptSites = 4095;

}  // namespace gc_internal

template <typename T>
T* GCoptimization::allocate(std::size_t count) {
  T* items = new (std::nothrow) T[count];
  if (!items) handleError(gc_internal::kNoMemory);
  return items;
}

// ---------------------------------------------------------------------------
// Energy sums over the current labelling

template <typename DataSource>
int GCoptimization::giveDataEnergyInternal() {
  DataSource* dc = static_cast<DataSource*>(m_data_source);
  int eng = 0;
  for (int i = 0; i < m_num_sites; i++) {
    assert(m_labeling[i] >= 0 && m_labeling[i] < m_num_labels);
    eng = eng + dc->computeCost(i, m_labeling[i]);
  }
  return eng;
}

template <typename SmoothSource>
int GCoptimization::giveSmoothEnergyInternal() {
  SmoothSource* sc = static_cast<SmoothSource*>(m_smooth_source);
  int eng = 0;
  for (int s = 0; s < m_num_sites; s++) {
    int num;
    int* neighbors;
    int* weights;
    giveNeighborInfo(s, &num, &neighbors, &weights);
    for (int k = 0; k < num; k++) {
      int t = neighbors[k];
      if (t < s) eng = eng + weights[k] * sc->computeCost(s, t, m_labeling[s], m_labeling[t]);
    }
  }
  return eng;
}

// ---------------------------------------------------------------------------
// A move's terms, shared by expansion and swap. Each loop stops early when
// the interrupt check says so; the move is then discarded.

template <typename DataSource>
void GCoptimization::set_up_t_links_expansion(int size, int alpha_label, Energy* e,
                                              void** variables, int* activeSites) {
  addUnaryTerms<DataSource, false>(size, alpha_label, alpha_label, activeSites,
                                   [e, variables](int k, int to_other, int to_alpha) {
                                     e->add_tweights(variables[k], to_other, to_alpha);
                                   });
}

template <typename DataSource>
void GCoptimization::set_up_t_links_grid(int size, int alpha_label, GridGraph3D* g,
                                         const uint32_t* nodes, int* activeSites) {
  addUnaryTerms<DataSource, false>(size, alpha_label, alpha_label, activeSites,
                                   [g, nodes](int k, int to_other, int to_alpha) {
                                     g->add_tweights(nodes[k], to_other, to_alpha);
                                   });
}

template <typename SmoothSource>
void GCoptimization::set_up_n_links_expansion(int size, int alpha_label, Energy* e,
                                              void** variables, int* activeSites) {
  addPairTerms<SmoothSource, false>(size, alpha_label, alpha_label, e, variables, activeSites);
}

template <typename DataSource>
void GCoptimization::set_up_t_links_swap(int size, int alpha_label, int beta_label, Energy* e,
                                         void** variables, int* activeSites) {
  addUnaryTerms<DataSource, true>(size, alpha_label, beta_label, activeSites,
                                  [e, variables](int k, int to_beta, int to_alpha) {
                                    e->add_tweights(variables[k], to_beta, to_alpha);
                                  });
}

template <typename SmoothSource>
void GCoptimization::set_up_n_links_swap(int size, int alpha_label, int beta_label, Energy* e,
                                         void** variables, int* activeSites) {
  addPairTerms<SmoothSource, true>(size, alpha_label, beta_label, e, variables, activeSites);
}

// The sink side costs the label kept (or beta), the source side alpha's cost;
// alpha's cost is evaluated first.
template <typename DataSource, bool kSwap, typename AddUnary>
void GCoptimization::addUnaryTerms(int size, int alpha_label, int beta_label, int* activeSites,
                                   AddUnary add) {
  DataSource* dc = static_cast<DataSource*>(m_data_source);
  for (int k = 0; k < size; k++) {
    if ((k & gc_internal::kInterruptSites) == 0 && m_interrupt_fn && interruptRequested()) return;
    int s = activeSites[k];
    int other = kSwap ? beta_label : m_labeling[s];
    int to_alpha = dc->computeCost(s, alpha_label);
    int to_other = dc->computeCost(s, other);
    add(k, to_other, to_alpha);
  }
}

// Sites from last to first; a pair of two variables is added once, at its
// larger-index site, and a pair with a site outside the move becomes a unary
// term of the variable, whichever index is larger.
template <typename SmoothSource, bool kSwap>
void GCoptimization::addPairTerms(int size, int alpha_label, int beta_label, Energy* e,
                                  void** variables, int* activeSites) {
  SmoothSource* sc = static_cast<SmoothSource*>(m_smooth_source);
  for (int k = size - 1; k >= 0; k--) {
    if ((k & gc_internal::kInterruptSites) == 0 && m_interrupt_fn && interruptRequested()) return;
    int s = activeSites[k];
    int ls = kSwap ? beta_label : m_labeling[s];
    int num;
    int* neighbors;
    int* weights;
    giveNeighborInfo(s, &num, &neighbors, &weights);
    for (int m = 0; m < num; m++) {
      int t = neighbors[m];
      int w = weights[m];
      int lt = m_labeling[t];
      int t_var = m_site_to_var[t];
      if (t < s && t_var != -1) {
        int lt_other = kSwap ? beta_label : lt;
        int e00 = w * sc->computeCost(s, t, alpha_label, alpha_label);
        int e01 = w * sc->computeCost(s, t, alpha_label, lt_other);
        int e10 = w * sc->computeCost(s, t, ls, alpha_label);
        int e11 = w * sc->computeCost(s, t, ls, lt_other);
        e->add_term2(variables[k], variables[t_var], e00, e01, e10, e11);
      } else if (t_var == -1) {
        int to_alpha = w * sc->computeCost(s, t, alpha_label, lt);
        int to_other = w * sc->computeCost(s, t, ls, lt);
        e->add_tweights(variables[k], to_other, to_alpha);
      }
    }
  }
}

#endif  // OPTIMIZER_GCINTERNAL_H_
