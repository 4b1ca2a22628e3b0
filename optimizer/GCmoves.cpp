// The moves: each collects its active sites, builds its binary energy from
// the terms bound for the installed sources (their templates are in
// GCinternal.h), solves it by one max-flow and applies the cut; and the
// iterations, one move per label or label pair until the energy stops
// falling.
#include "optimizer/GCbase.h"

#include <cassert>
#include <cstddef>
#include <new>

#include "flow/energy.h"
#include "optimizer/GCinternal.h"

namespace {

const char kMoveTooDense[] = "A site has too many neighbours in one move";

// The move energy's error function: the engine's fatal errors become the
// optimizer's exception, so that a caller can recover instead of the engine
// ending the process. The engine's frames are left safely (flow/graph.h);
// the move's graph is emptied by the next move's reset.
void engineError(char* message) {
  static const char kEngineNoMemory[] = "Not enough memory";
  for (int k = 0; kEngineNoMemory[k] != '\0'; ++k)
    if (message[k] != kEngineNoMemory[k]) throw GCException(kMoveTooDense);
  throw GCException(gc_internal::kNoMemory);
}

// Frees an array on every way out of a scope.
template <typename T>
class ScopedArray {
 public:
  explicit ScopedArray(T* array) : m_array(array) {}
  ~ScopedArray() { delete[] m_array; }
  ScopedArray(const ScopedArray&) = delete;
  ScopedArray& operator=(const ScopedArray&) = delete;

 private:
  T* m_array;
};

}  // namespace

template <typename T>
T* GCoptimization::moveBuffer(T*& buffer, std::size_t count, T*& owned) {
  if (count > std::size_t(m_num_sites)) return owned = allocate<T>(count);
  if (!buffer) buffer = allocate<T>(std::size_t(m_num_sites));
  return buffer;
}

class GCoptimization::MoveScope {
 public:
  MoveScope(GCoptimization* optimizer, int size, int* activeSites)
      : m_energy(nullptr),
        m_variables(nullptr),
        m_own_variables(nullptr),
        m_optimizer(optimizer),
        m_size(size),
        m_active_sites(activeSites) {}
  ~MoveScope() {
    for (int k = 0; k < m_size; k++) m_optimizer->m_site_to_var[m_active_sites[k]] = -1;
    delete[] m_own_variables;
  }
  MoveScope(const MoveScope&) = delete;
  MoveScope& operator=(const MoveScope&) = delete;

  Energy* m_energy;        // the optimizer's m_move_energy, emptied for this move
  void** m_variables;      // variable k belongs to m_active_sites[k]
  void** m_own_variables;  // m_variables when the move had to allocate them

 private:
  GCoptimization* m_optimizer;
  int m_size;
  int* m_active_sites;
};


void GCoptimization::alpha_expansion(int alpha_label) {
  assert(alpha_label >= 0 && alpha_label < m_num_labels);
  int* owned = nullptr;
  int* activeSites = moveBuffer(m_move_sites, std::size_t(m_num_sites), owned);
  ScopedArray<int> hold(owned);
  int size = 0;
  for (int s = 0; s < m_num_sites; s++) {
    if (m_labeling[s] == alpha_label) continue;
    m_site_to_var[s] = size;
    activeSites[size++] = s;
  }
  solveExpansion(size, activeSites, alpha_label);
}

void GCoptimization::alpha_expansion(int alpha_label, int* sites, int num) {
  int* owned = nullptr;
  int* activeSites = moveBuffer(m_move_sites, std::size_t(num), owned);
  ScopedArray<int> hold(owned);
  int size = 0;
  for (int i = 0; i < num; i++) {
    int site = sites[i];
    assert(site >= 0 && site < m_num_sites);
    if (m_labeling[site] == alpha_label) continue;
    m_site_to_var[site] = size;
    activeSites[size++] = site;
  }
  solveExpansion(size, activeSites, alpha_label);
}

void GCoptimization::alpha_beta_swap(int alpha_label, int beta_label) {
  assert(alpha_label >= 0 && alpha_label < m_num_labels && beta_label >= 0 &&
         beta_label < m_num_labels);
  int* owned = nullptr;
  int* activeSites = moveBuffer(m_move_sites, std::size_t(m_num_sites), owned);
  ScopedArray<int> hold(owned);
  int size = 0;
  for (int s = 0; s < m_num_sites; s++) {
    if (m_labeling[s] != alpha_label && m_labeling[s] != beta_label) continue;
    m_site_to_var[s] = size;
    activeSites[size++] = s;
  }
  solveSwap(size, activeSites, alpha_label, beta_label);
}

void GCoptimization::alpha_beta_swap(int alpha_label, int beta_label, int* alphaSites,
                                     int alpha_size, int* betaSites, int beta_size) {
  assert(!(alpha_label < 0 || alpha_label >= m_num_labels || beta_label < 0 ||
           beta_label >= m_num_labels));
  int* owned = nullptr;
  int* activeSites =
      moveBuffer(m_move_sites, std::size_t(alpha_size) + std::size_t(beta_size), owned);
  ScopedArray<int> hold(owned);
  int size = 0;
  for (int i = 0; i < alpha_size; i++, size++) {
    int site = alphaSites[i];
    assert(site >= 0 && site < m_num_sites);
    assert(m_labeling[site] == alpha_label);
    activeSites[size] = site;
  }
  for (int i = 0; i < beta_size; i++, size++) {
    int site = betaSites[i];
    assert(site >= 0 && site < m_num_sites);
    assert(m_labeling[site] == beta_label);
    activeSites[size] = site;
  }
  for (int k = 0; k < size; k++) m_site_to_var[activeSites[k]] = k;
  solveSwap(size, activeSites, alpha_label, beta_label);
}

void GCoptimization::solveExpansion(int size, int* activeSites, int alpha_label) {
  solveMove<false>(size, activeSites, alpha_label, alpha_label);
}

void GCoptimization::solveSwap(int size, int* activeSites, int alpha_label, int beta_label) {
  solveMove<true>(size, activeSites, alpha_label, beta_label);
}

Energy* GCoptimization::emptiedMoveEnergy() {
  if (m_move_energy) {
    m_move_energy->reset();
  } else {
    m_move_energy = new (std::nothrow) Energy(engineError);
    if (!m_move_energy) handleError(gc_internal::kNoMemory);
  }
  m_move_energy->set_interrupt(m_interrupt_fn, m_interrupt_extra);
  return m_move_energy;
}

GridGraph3D* GCoptimization::emptiedGridMove(int dimX, int dimY, int dimZ, const int* siteOf) {
  if (!m_grid_move) {
    m_grid_move = new (std::nothrow) GridGraph3D(engineError);
    if (!m_grid_move) handleError(gc_internal::kNoMemory);
  }
  // The sites were counted and their order checked when the optimizer was
  // made.
  m_grid_move->reset(dimX, dimY, dimZ, siteOf, m_num_sites);
  m_grid_move->set_interrupt(m_interrupt_fn, m_interrupt_extra);
  return m_grid_move;
}

template <bool kSwap>
void GCoptimization::solveMove(int size, int* activeSites, int alpha_label, int beta_label) {
  MoveScope move(this, size, activeSites);
  m_interrupted = false;
  if (!readyToOptimise()) handleError(gc_internal::kSetUpTermsFirst);
  if (size == 0 || interruptRequested()) return;

  move.m_energy = emptiedMoveEnergy();
  move.m_variables = moveBuffer(m_move_variables, std::size_t(size), move.m_own_variables);
  for (int k = 0; k < size; k++) move.m_variables[k] = move.m_energy->add_node();
  if (kSwap) {
    set_up_swap_energy(size, alpha_label, beta_label, move.m_energy, move.m_variables, activeSites);
  } else {
    set_up_expansion_energy(size, alpha_label, move.m_energy, move.m_variables, activeSites);
  }
  if (interruptRequested()) return;
  move.m_energy->maxflow();
  if (move.m_energy->interrupted()) {
    m_interrupted = true;
    return;
  }

  // Source side (0) takes alpha; the sink side keeps its label or takes beta.
  for (int k = 0; k < size; k++) {
    int s = activeSites[k];
    if (move.m_energy->what_segment(move.m_variables[k]) == 0) {
      m_labeling[s] = alpha_label;
    } else if (kSwap) {
      m_labeling[s] = beta_label;
    }
  }
}

void GCoptimization::set_up_expansion_energy(int size, int alpha_label, Energy* e, void** variables,
                                             int* activeSites) {
  (this->*m_expansion_t_links_op)(size, alpha_label, e, variables, activeSites);
  (this->*m_expansion_n_links_op)(size, alpha_label, e, variables, activeSites);
}

void GCoptimization::set_up_swap_energy(int size, int alpha_label, int beta_label, Energy* e,
                                        void** variables, int* activeSites) {
  (this->*m_swap_t_links_op)(size, alpha_label, beta_label, e, variables, activeSites);
  (this->*m_swap_n_links_op)(size, alpha_label, beta_label, e, variables, activeSites);
}

// ---------------------------------------------------------------------------
// The iteration loop: one move per label or label pair until the energy
// stops falling.

bool GCoptimization::interruptRequested() {
  if (m_interrupt_fn && m_interrupt_fn(m_interrupt_extra)) m_interrupted = true;
  return m_interrupted;
}

// The move space goes however the iterations end, an exception included, so
// that memory is given back at once after a failed move.
int GCoptimization::iterate(int max_num_iterations, int (GCoptimization::*oneIteration)()) {
  struct Release {
    GCoptimization* optimizer;
    ~Release() { optimizer->releaseMoveSpace(); }
  } release = {this};
  m_interrupted = false;
  int energy = compute_energy();
  if (m_iteration_fn) m_iteration_fn(0, energy, m_iteration_extra);
  int previous = energy + 1;
  int count = 1;
  while (energy < previous && count <= max_num_iterations) {
    int next = (this->*oneIteration)();
    if (m_interrupted) return next;
    if (m_iteration_fn) m_iteration_fn(count, next, m_iteration_extra);
    count++;
    previous = energy;
    energy = next;
  }
  return energy;
}

int GCoptimization::expansion(int max_num_iterations) {
  return iterate(max_num_iterations, &GCoptimization::oneExpansionIteration);
}

int GCoptimization::swap(int max_num_iterations) {
  return iterate(max_num_iterations, &GCoptimization::oneSwapIteration);
}

int GCoptimization::oneExpansionIteration() {
  m_energy_known = false;
  if (m_scramble_labels) scramble_label_table();
  for (int next = 0; next < m_num_labels && !m_interrupted; next++)
    alpha_expansion(m_label_table[next]);
  return energyAfterMoves();
}

int GCoptimization::oneSwapIteration() {
  if (m_scramble_labels) scramble_label_table();
  for (int i = 0; i < m_num_labels && !m_interrupted; i++) {
    for (int j = m_num_labels - 1; j >= 0 && !m_interrupted; j--) {
      int a = m_label_table[i];
      int b = m_label_table[j];
      if (a < b) alpha_beta_swap(a, b);
    }
  }
  return compute_energy();
}
