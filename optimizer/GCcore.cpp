// The optimizer's core: construction, errors, the label table, the energy
// and the working space the moves keep.
#include "optimizer/GCbase.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include "flow/energy.h"
#include "optimizer/GCinternal.h"

namespace {

const char kNotReady[] = "Not ready to optimize yet. Set up data and smooth costs first";

}  // namespace

void GCException::Report() {
  printf("\n%s\n", message);
  exit(1);
}

GCoptimization::GCoptimization(int nSites, int nLabels)
    : m_num_labels(0),
      m_num_sites(0),
      m_labeling(nullptr),
      m_site_to_var(nullptr),
      m_label_table(nullptr),
      m_scramble_labels(false),
      m_iteration_fn(nullptr),
      m_iteration_extra(nullptr),
      m_interrupt_fn(nullptr),
      m_interrupt_extra(nullptr),
      m_interrupted(false),
      m_energy_known(false),
      m_known_energy(0),
      m_data_from_table(false),
      m_entry_data_costs(nullptr),
      m_entry_smooth_costs(nullptr),
      m_data_source(nullptr),
      m_smooth_source(nullptr),
      m_data_energy_op(nullptr),
      m_smooth_energy_op(nullptr),
      m_expansion_n_links_op(nullptr),
      m_expansion_t_links_op(nullptr),
      m_grid_t_links_op(nullptr),
      m_swap_n_links_op(nullptr),
      m_swap_t_links_op(nullptr),
      m_data_source_delete(nullptr),
      m_smooth_source_delete(nullptr),
      m_move_sites(nullptr),
      m_move_variables(nullptr),
      m_move_energy(nullptr),
      m_grid_move(nullptr) {
  assert(nLabels > 1 && nSites > 0);
  m_num_labels = nLabels;
  m_num_sites = nSites;
  int** arrays[] = {&m_site_to_var, &m_label_table, &m_labeling};
  const std::size_t counts[] = {std::size_t(nSites), std::size_t(nLabels), std::size_t(nSites)};
  allocateAll(3, arrays, counts);
  for (int k = 0; k < nLabels; k++) m_label_table[k] = k;
  for (int s = 0; s < nSites; s++) {
    m_labeling[s] = 0;
    m_site_to_var[s] = -1;
  }
  srand(static_cast<unsigned>(time(nullptr)));
}

GCoptimization::~GCoptimization() {
  releaseMoveSpace();
  delete[] m_label_table;
  delete[] m_site_to_var;
  delete[] m_labeling;
  if (m_data_source_delete) m_data_source_delete(m_data_source);
  if (m_smooth_source_delete) m_smooth_source_delete(m_smooth_source);
  delete[] m_entry_data_costs;
  delete[] m_entry_smooth_costs;
}

void GCoptimization::handleError(const char* message) {
  throw GCException(message);
}

void GCoptimization::allocateAll(int num, int** arrays[], const std::size_t counts[]) {
  bool failed = false;
  for (int k = 0; k < num; k++) {
    *arrays[k] = new (std::nothrow) int[counts[k]];
    failed = failed || !*arrays[k];
  }
  if (!failed) return;
  for (int k = 0; k < num; k++) {
    delete[] * arrays[k];
    *arrays[k] = nullptr;
  }
  handleError(gc_internal::kNoMemory);
}

void GCoptimization::scramble_label_table() {
  int n = m_num_labels;
  for (int k = 0; k < n; k++) {
    int i = rand() % m_num_labels;
    int j = rand() % m_num_labels;
    int label = m_label_table[i];
    m_label_table[i] = m_label_table[j];
    m_label_table[j] = label;
  }
}

bool GCoptimization::readyToOptimise() {
  if (!m_smooth_source) handleError("Smoothness term is not set up yet!");
  if (!m_data_source) handleError("Data term is not set up yet!");
  return true;
}

int GCoptimization::compute_energy() {
  if (!readyToOptimise()) handleError(kNotReady);
  int data = (this->*m_data_energy_op)();
  return data + (this->*m_smooth_energy_op)();
}

int GCoptimization::energyAfterMoves() {
  if (!m_energy_known) return compute_energy();
  m_energy_known = false;
  if (!readyToOptimise()) handleError(kNotReady);
  return m_known_energy;
}

int GCoptimization::giveDataEnergy() {
  if (!readyToOptimise()) handleError(kNotReady);
  return (this->*m_data_energy_op)();
}

int GCoptimization::giveSmoothEnergy() {
  if (!readyToOptimise()) handleError(kNotReady);
  return (this->*m_smooth_energy_op)();
}

void GCoptimization::releaseMoveSpace() {
  delete m_move_energy;
  m_move_energy = nullptr;
  delete m_grid_move;
  m_grid_move = nullptr;
  delete[] m_move_sites;
  m_move_sites = nullptr;
  delete[] m_move_variables;
  m_move_variables = nullptr;
}
