#include "optimizer/GCoptimization.h"

#include <cassert>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include "flow/energy.h"

namespace {

const char kNoMemory[] = "Not enough memory";
const char kDataCostsSet[] = "Data Costs are already initialized";
const char kSmoothCostsSet[] = "Smoothness Costs are already initialized";
const char kNeighborhoodSet[] = "Already set up neighborhood system";
const char kSetUpTermsFirst[] = "Set up data and smoothness terms first. ";
const char kNotReady[] = "Not ready to optimize yet. Set up data and smooth costs first";

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

void GCException::Report() {
  printf("\n%s\n", message);
  exit(1);
}

// ---------------------------------------------------------------------------
// Core

GCoptimization::GCoptimization(int nSites, int nLabels)
    : m_num_labels(0),
      m_num_sites(0),
      m_labeling(nullptr),
      m_site_to_var(nullptr),
      m_label_table(nullptr),
      m_scramble_labels(false),
      m_entry_data_costs(nullptr),
      m_entry_smooth_costs(nullptr),
      m_data_source(nullptr),
      m_smooth_source(nullptr),
      m_data_energy_op(nullptr),
      m_smooth_energy_op(nullptr),
      m_expansion_n_links_op(nullptr),
      m_expansion_t_links_op(nullptr),
      m_swap_n_links_op(nullptr),
      m_swap_t_links_op(nullptr),
      m_data_source_delete(nullptr),
      m_smooth_source_delete(nullptr),
      m_move_sites(nullptr),
      m_move_variables(nullptr),
      m_move_energy(nullptr) {
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

template <typename T>
T* GCoptimization::allocate(std::size_t count) {
  T* items = new (std::nothrow) T[count];
  if (!items) handleError(kNoMemory);
  return items;
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
  handleError(kNoMemory);
}

template <typename T>
T* GCoptimization::moveBuffer(T*& buffer, std::size_t count, T*& owned) {
  if (count > std::size_t(m_num_sites)) return owned = allocate<T>(count);
  if (!buffer) buffer = allocate<T>(std::size_t(m_num_sites));
  return buffer;
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

int GCoptimization::giveDataEnergy() {
  if (!readyToOptimise()) handleError(kNotReady);
  return (this->*m_data_energy_op)();
}

int GCoptimization::giveSmoothEnergy() {
  if (!readyToOptimise()) handleError(kNotReady);
  return (this->*m_smooth_energy_op)();
}

int GCoptimization::whatLabel(int site) {
  assert(site >= 0 && site < m_num_sites);
  return m_labeling[site];
}

// ---------------------------------------------------------------------------
// Cost sources: each installation binds the operations instantiated for its
// type, so no evaluation dispatches on the kind of source.

template <typename T>
void GCoptimization::deleteFunctor(void* source) {
  delete static_cast<T*>(source);
}

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

template <typename DataSource>
void GCoptimization::bindDataSource() {
  m_data_energy_op = &GCoptimization::giveDataEnergyInternal<DataSource>;
  m_expansion_t_links_op = &GCoptimization::set_up_t_links_expansion<DataSource>;
  m_swap_t_links_op = &GCoptimization::set_up_t_links_swap<DataSource>;
}

template <typename SmoothSource>
void GCoptimization::bindSmoothSource() {
  m_smooth_energy_op = &GCoptimization::giveSmoothEnergyInternal<SmoothSource>;
  m_expansion_n_links_op = &GCoptimization::set_up_n_links_expansion<SmoothSource>;
  m_swap_n_links_op = &GCoptimization::set_up_n_links_swap<SmoothSource>;
}

template <typename DataSource>
void GCoptimization::specializeDataCostFunctor(const DataSource source) {
  if (m_data_source) handleError(kDataCostsSet);
  DataSource* copy = new (std::nothrow) DataSource(source);
  if (!copy) handleError(kNoMemory);
  m_data_source = copy;
  bindDataSource<DataSource>();
  m_data_source_delete = &deleteFunctor<DataSource>;
}

template <typename SmoothSource>
void GCoptimization::specializeSmoothCostFunctor(const SmoothSource source) {
  if (m_smooth_source) handleError(kSmoothCostsSet);
  SmoothSource* copy = new (std::nothrow) SmoothSource(source);
  if (!copy) handleError(kNoMemory);
  m_smooth_source = copy;
  bindSmoothSource<SmoothSource>();
  m_smooth_source_delete = &deleteFunctor<SmoothSource>;
}

void GCoptimization::setDataCost(int* dataArray) {
  DataCostFnFromArray source = {dataArray, m_num_labels};
  specializeDataCostFunctor(source);
}

void GCoptimization::setDataCost(DataCostFn fn) {
  DataCostFnFromFunction source = {fn};
  specializeDataCostFunctor(source);
}

void GCoptimization::setDataCost(DataCostFnExtra fn, void* extraData) {
  DataCostFnFromFunctionExtra source = {fn, extraData};
  specializeDataCostFunctor(source);
}

void GCoptimization::setDataCostFunctor(DataCostFunctor* f) {
  if (m_data_source) handleError(kDataCostsSet);
  m_data_source = f;
  bindDataSource<DataCostFunctor>();
}

void GCoptimization::setSmoothCost(int* smoothArray) {
  SmoothCostFnFromArray source = {smoothArray, m_num_labels};
  specializeSmoothCostFunctor(source);
}

void GCoptimization::setSmoothCost(SmoothCostFn fn) {
  SmoothCostFnFromFunction source = {fn};
  specializeSmoothCostFunctor(source);
}

void GCoptimization::setSmoothCost(SmoothCostFnExtra fn, void* extraData) {
  SmoothCostFnFromFunctionExtra source = {fn, extraData};
  specializeSmoothCostFunctor(source);
}

void GCoptimization::setSmoothCostFunctor(SmoothCostFunctor* f) {
  if (m_smooth_source) handleError(kSmoothCostsSet);
  m_smooth_source = f;
  bindSmoothSource<SmoothCostFunctor>();
}

int* GCoptimization::newEntryTable(bool installed, const char* message, std::size_t size) {
  if (installed) handleError(message);
  int* table = allocate<int>(size);
  for (std::size_t k = 0; k < size; k++) table[k] = 0;
  return table;
}

void GCoptimization::setDataCost(int site, int label, int e) {
  if (!m_entry_data_costs) {
    std::size_t size = std::size_t(m_num_sites) * std::size_t(m_num_labels);
    m_entry_data_costs = newEntryTable(m_data_source != nullptr, kDataCostsSet, size);
    setDataCost(m_entry_data_costs);
  }
  // An index outside the table would write into foreign memory.
  assert(site >= 0 && site < m_num_sites && label >= 0 && label < m_num_labels);
  m_entry_data_costs[std::ptrdiff_t(site) * m_num_labels + label] = e;
}

void GCoptimization::setSmoothCost(int l1, int l2, int e) {
  if (!m_entry_smooth_costs) {
    std::size_t size = std::size_t(m_num_labels) * std::size_t(m_num_labels);
    m_entry_smooth_costs = newEntryTable(m_smooth_source != nullptr, kSmoothCostsSet, size);
    setSmoothCost(m_entry_smooth_costs);
  }
  assert(l1 >= 0 && l1 < m_num_labels && l2 >= 0 && l2 < m_num_labels);
  m_entry_smooth_costs[l1 * m_num_labels + l2] = e;
}

// ---------------------------------------------------------------------------
// Moves

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

  Energy* m_energy;         // the optimizer's m_move_energy, emptied for this move
  void** m_variables;       // variable k belongs to m_active_sites[k]
  void** m_own_variables;   // m_variables when the move had to allocate them

 private:
  GCoptimization* m_optimizer;
  int m_size;
  int* m_active_sites;
};

int GCoptimization::iterate(int max_num_iterations, int (GCoptimization::*oneIteration)()) {
  int energy = compute_energy();
  int previous = energy + 1;
  int count = 1;
  while (energy < previous && count <= max_num_iterations) {
    count++;
    int next = (this->*oneIteration)();
    previous = energy;
    energy = next;
  }
  return energy;
}

int GCoptimization::expansion(int max_num_iterations) {
  int energy = iterate(max_num_iterations, &GCoptimization::oneExpansionIteration);
  releaseMoveSpace();
  return energy;
}

int GCoptimization::swap(int max_num_iterations) {
  int energy = iterate(max_num_iterations, &GCoptimization::oneSwapIteration);
  releaseMoveSpace();
  return energy;
}

void GCoptimization::releaseMoveSpace() {
  delete m_move_energy;
  m_move_energy = nullptr;
  delete[] m_move_sites;
  m_move_sites = nullptr;
  delete[] m_move_variables;
  m_move_variables = nullptr;
}

int GCoptimization::oneExpansionIteration() {
  if (m_scramble_labels) scramble_label_table();
  for (int next = 0; next < m_num_labels; next++) alpha_expansion(m_label_table[next]);
  return compute_energy();
}

int GCoptimization::oneSwapIteration() {
  if (m_scramble_labels) scramble_label_table();
  for (int i = 0; i < m_num_labels; i++) {
    for (int j = m_num_labels - 1; j >= 0; j--) {
      int a = m_label_table[i];
      int b = m_label_table[j];
      if (a < b) alpha_beta_swap(a, b);
    }
  }
  return compute_energy();
}

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
  int* activeSites = moveBuffer(m_move_sites, std::size_t(alpha_size) + std::size_t(beta_size), owned);
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

template <bool kSwap>
void GCoptimization::solveMove(int size, int* activeSites, int alpha_label, int beta_label) {
  MoveScope move(this, size, activeSites);
  if (!readyToOptimise()) handleError(kSetUpTermsFirst);
  if (size == 0) return;

  if (m_move_energy) {
    m_move_energy->reset();
  } else {
    m_move_energy = new (std::nothrow) Energy(nullptr);
    if (!m_move_energy) handleError(kNoMemory);
  }
  move.m_energy = m_move_energy;
  move.m_variables = moveBuffer(m_move_variables, std::size_t(size), move.m_own_variables);
  for (int k = 0; k < size; k++) move.m_variables[k] = move.m_energy->add_node();
  if (kSwap) {
    set_up_swap_energy(size, alpha_label, beta_label, move.m_energy, move.m_variables, activeSites);
  } else {
    set_up_expansion_energy(size, alpha_label, move.m_energy, move.m_variables, activeSites);
  }
  move.m_energy->maxflow();

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

template <typename DataSource>
void GCoptimization::set_up_t_links_expansion(int size, int alpha_label, Energy* e,
                                              void** variables, int* activeSites) {
  addUnaryTerms<DataSource, false>(size, alpha_label, alpha_label, e, variables, activeSites);
}

template <typename SmoothSource>
void GCoptimization::set_up_n_links_expansion(int size, int alpha_label, Energy* e,
                                              void** variables, int* activeSites) {
  addPairTerms<SmoothSource, false>(size, alpha_label, alpha_label, e, variables, activeSites);
}

template <typename DataSource>
void GCoptimization::set_up_t_links_swap(int size, int alpha_label, int beta_label, Energy* e,
                                         void** variables, int* activeSites) {
  addUnaryTerms<DataSource, true>(size, alpha_label, beta_label, e, variables, activeSites);
}

template <typename SmoothSource>
void GCoptimization::set_up_n_links_swap(int size, int alpha_label, int beta_label, Energy* e,
                                         void** variables, int* activeSites) {
  addPairTerms<SmoothSource, true>(size, alpha_label, beta_label, e, variables, activeSites);
}

// The sink side costs the label kept (or beta), the source side alpha's cost;
// alpha's cost is evaluated first.
template <typename DataSource, bool kSwap>
void GCoptimization::addUnaryTerms(int size, int alpha_label, int beta_label, Energy* e,
                                   void** variables, int* activeSites) {
  DataSource* dc = static_cast<DataSource*>(m_data_source);
  for (int k = 0; k < size; k++) {
    int s = activeSites[k];
    int other = kSwap ? beta_label : m_labeling[s];
    int to_alpha = dc->computeCost(s, alpha_label);
    int to_other = dc->computeCost(s, other);
    e->add_tweights(variables[k], to_other, to_alpha);
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

// ---------------------------------------------------------------------------
// General neighbourhood

GCoptimizationGeneralGraph::GCoptimizationGeneralGraph(int num_sites, int num_labels)
    : GCoptimization(num_sites, num_labels),
      m_neighbors_pending(true),
      m_num_neighbors(nullptr),
      m_neighbor_sites(nullptr),
      m_neighbor_weights(nullptr),
      m_owns_neighbor_arrays(true),
      m_pair_chunks(nullptr),
      m_pair_chunk_count(0),
      m_pair_chunk_capacity(0),
      m_pair_count(0),
      m_pair_free(nullptr),
      m_pair_end(nullptr),
      m_declared(false),
      m_packed(nullptr) {
  assert(num_sites > 1 && num_labels > 1);
}

GCoptimizationGeneralGraph::~GCoptimizationGeneralGraph() {
  releasePairs();
  if (m_owns_neighbor_arrays) {
    delete[] m_packed;
    delete[] m_num_neighbors;
    delete[] m_neighbor_sites;
    delete[] m_neighbor_weights;
  }
}

void GCoptimizationGeneralGraph::newPairChunk() {
  if (m_pair_chunk_count == m_pair_chunk_capacity) {
    int capacity = m_pair_chunk_capacity ? 2 * m_pair_chunk_capacity : 16;
    DeclaredPair** table = allocate<DeclaredPair*>(std::size_t(capacity));
    for (int k = 0; k < m_pair_chunk_count; k++) table[k] = m_pair_chunks[k];
    delete[] m_pair_chunks;
    m_pair_chunks = table;
    m_pair_chunk_capacity = capacity;
  }
  std::size_t size = pairChunkSize(m_pair_chunk_count);
  DeclaredPair* chunk = allocate<DeclaredPair>(size);
  m_pair_chunks[m_pair_chunk_count++] = chunk;
  m_pair_free = chunk;
  m_pair_end = chunk + size;
}

void GCoptimizationGeneralGraph::releasePairs() {
  for (int k = 0; k < m_pair_chunk_count; k++) delete[] m_pair_chunks[k];
  delete[] m_pair_chunks;
  m_pair_chunks = nullptr;
  m_pair_chunk_count = m_pair_chunk_capacity = 0;
  m_pair_count = 0;
  m_pair_free = m_pair_end = nullptr;
}

template <typename F>
void GCoptimizationGeneralGraph::forEachPair(F f) const {
  for (int k = 0; k < m_pair_chunk_count; k++) {
    const DeclaredPair* p = m_pair_chunks[k];
    const DeclaredPair* end = k + 1 == m_pair_chunk_count ? m_pair_free : p + pairChunkSize(k);
    for (; p < end; p++) f(*p);
  }
}

void GCoptimizationGeneralGraph::setNeighbors(int site1, int site2, int weight) {
  assert(site1 < m_num_sites && site1 >= 0 && site2 < m_num_sites && site2 >= 0);
  if (!m_neighbors_pending) handleError(kNeighborhoodSet);
  if (m_pair_free == m_pair_end) newPairChunk();
  m_declared = true;
  DeclaredPair* p = m_pair_free++;
  p->site1 = site1;
  p->site2 = site2;
  p->weight = weight;
  m_pair_count++;
}

void GCoptimizationGeneralGraph::setAllNeighbors(int* numNeighbors, int** neighborsIndexes,
                                                 int** neighborsWeights) {
  if (m_declared) handleError(kNeighborhoodSet);
  m_num_neighbors = numNeighbors;
  m_neighbor_sites = neighborsIndexes;
  m_neighbor_weights = neighborsWeights;
  m_neighbors_pending = false;
  m_owns_neighbor_arrays = false;
}

bool GCoptimizationGeneralGraph::readyToOptimise() {
  GCoptimization::readyToOptimise();
  if (m_neighbors_pending) finishSettingNeighbors();
  return true;
}

void GCoptimizationGeneralGraph::giveNeighborInfo(int site, int* numSites, int** neighbors,
                                                  int** weights) {
  *numSites = m_num_neighbors[site];
  *neighbors = m_neighbor_sites[site];
  *weights = m_neighbor_weights[site];
}

namespace {

// Where the j-th entry (from 0) of a site with n entries is packed. Entries
// fill blocks of four in declaration order, and blocks are read from the
// newest: the newest block (b = (n - 1) / 4, holding n - 4b entries) first,
// then blocks b - 1, ..., 0, four entries each, every block in order.
inline int packedPosition(int j, int n) {
  int newest = (n - 1) / 4;
  int block = j / 4;
  if (block == newest) return j % 4;
  return (n - 4 * newest) + 4 * (newest - 1 - block) + j % 4;
}

}  // namespace

// Two passes over the declared pairs: the first counts every site's entries,
// the second puts each entry at its packed place, which its rank among its
// site's entries and their count determine. Each pair (a, b, w) gives a its
// entry before b, as declaring did. A site's weights follow its indices in
// m_packed, so while the entries are placed m_neighbor_weights[s] serves as
// the site's cursor, m_neighbor_sites[s] + rank, and it ends where the
// weights begin: no temporary memory and no pass to set the pointers.
void GCoptimizationGeneralGraph::finishSettingNeighbors() {
  m_neighbors_pending = false;
  m_declared = true;
  m_num_neighbors = allocate<int>(std::size_t(m_num_sites));
  m_neighbor_sites = allocate<int*>(std::size_t(m_num_sites));
  m_neighbor_weights = allocate<int*>(std::size_t(m_num_sites));
  int* count = m_num_neighbors;
  for (int s = 0; s < m_num_sites; s++) count[s] = 0;
  forEachPair([count](const DeclaredPair& p) {
    count[p.site1]++;
    count[p.site2]++;
  });
  if (m_pair_count > 0) m_packed = allocate<int>(4 * m_pair_count);
  int** sites = m_neighbor_sites;
  int** cursor = m_neighbor_weights;
  int* next = m_packed;
  for (int s = 0; s < m_num_sites; s++) {
    if (count[s] == 0) {
      sites[s] = cursor[s] = nullptr;
      continue;
    }
    sites[s] = cursor[s] = next;
    next += 2 * std::size_t(count[s]);
  }
  auto put = [count, sites, cursor](int s, int t, int w) {
    int n = count[s];
    int* first = sites[s];
    int k = packedPosition(int(cursor[s]++ - first), n);
    first[k] = t;
    first[n + k] = w;
  };
  forEachPair([&put](const DeclaredPair& p) {
    put(p.site1, p.site2, p.weight);
    put(p.site2, p.site1, p.weight);
  });
  releasePairs();
}

// ---------------------------------------------------------------------------
// Grid neighbourhood

namespace {

// width * height, refusing a grid whose site count does not fit an int.
int gridSiteCount(int width, int height) {
  assert(static_cast<long long>(width) * height <= INT_MAX);
  return width * height;
}

}  // namespace

GCoptimizationGridGraph::GCoptimizationGridGraph(int width, int height, int num_labels)
    : GCoptimization(gridSiteCount(width, height), num_labels),
      m_var_weights(false),
      m_width(width),
      m_height(height),
      m_num_neighbors(nullptr),
      m_neighbor_sites(nullptr),
      m_neighbor_weights(nullptr) {
  // The assertion's text, blank included, is part of the diagnostics.
  // clang-format off
  assert((width > 1) && (height > 1) && (num_labels > 1 ));
  // clang-format on
  for (int k = 0; k < 4; k++) m_unit_weights[k] = 1;
  int** arrays[] = {&m_num_neighbors, &m_neighbor_sites};
  const std::size_t counts[] = {std::size_t(m_num_sites), 4 * std::size_t(m_num_sites)};
  allocateAll(2, arrays, counts);

  int w = width;
  int h = height;
  int interior[] = {-1, 1, -w, w};
  int left[] = {1, -w, w};
  int right[] = {-1, -w, w};
  int top[] = {1, -1, w};
  int bottom[] = {1, -1, -w};
  int top_left[] = {1, w};
  int top_right[] = {-1, w};
  int bottom_left[] = {1, -w};
  int bottom_right[] = {-1, -w};
  setupNeighbData(1, h - 1, 1, w - 1, 4, interior);
  setupNeighbData(1, h - 1, 0, 1, 3, left);
  setupNeighbData(1, h - 1, w - 1, w, 3, right);
  setupNeighbData(0, 1, 1, w - 1, 3, top);
  setupNeighbData(h - 1, h, 1, w - 1, 3, bottom);
  setupNeighbData(0, 1, 0, 1, 2, top_left);
  setupNeighbData(0, 1, w - 1, w, 2, top_right);
  setupNeighbData(h - 1, h, 0, 1, 2, bottom_left);
  setupNeighbData(h - 1, h, w - 1, w, 2, bottom_right);
}

GCoptimizationGridGraph::~GCoptimizationGridGraph() {
  delete[] m_num_neighbors;
  delete[] m_neighbor_sites;
  delete[] m_neighbor_weights;
}

void GCoptimizationGridGraph::setupNeighbData(int startY, int endY, int startX, int endX, int count,
                                              int* offsets) {
  for (int y = startY; y < endY; y++) {
    for (int x = startX; x < endX; x++) {
      int p = x + y * m_width;
      m_num_neighbors[p] = count;
      for (int k = 0; k < count; k++) m_neighbor_sites[4 * std::size_t(p) + k] = p + offsets[k];
    }
  }
}

void GCoptimizationGridGraph::setSmoothCostVH(int* smoothArray, int* V, int* H) {
  setSmoothCost(smoothArray);
  // The weights exist before the flag announces them.
  computeNeighborWeights(V, H);
  m_var_weights = true;
}

void GCoptimizationGridGraph::computeNeighborWeights(int* V, int* H) {
  delete[] m_neighbor_weights;
  m_neighbor_weights = nullptr;
  m_neighbor_weights = allocate<int>(4 * std::size_t(m_num_sites));
  for (int p = 0; p < m_num_sites; p++) {
    for (int k = 0; k < m_num_neighbors[p]; k++) {
      std::size_t slot = 4 * std::size_t(p) + k;
      int q = m_neighbor_sites[slot];
      int d = p - q;
      if (d == 1) {
        m_neighbor_weights[slot] = H[q];
      } else if (d == -1) {
        m_neighbor_weights[slot] = H[p];
      } else if (d == m_width) {
        m_neighbor_weights[slot] = V[q];
      } else {
        m_neighbor_weights[slot] = V[p];
      }
    }
  }
}

bool GCoptimizationGridGraph::readyToOptimise() {
  GCoptimization::readyToOptimise();
  return true;
}

void GCoptimizationGridGraph::giveNeighborInfo(int site, int* numSites, int** neighbors,
                                               int** weights) {
  std::size_t first = 4 * std::size_t(site);
  *numSites = m_num_neighbors[site];
  *neighbors = m_neighbor_sites + first;
  *weights = m_var_weights ? m_neighbor_weights + first : m_unit_weights;
}
