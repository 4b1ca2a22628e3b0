// Cost sources: each installation binds the operations instantiated for its
// type (GCinternal.h), so no evaluation dispatches on the kind of source.
#include "optimizer/GCbase.h"

#include <cassert>
#include <cstddef>
#include <new>
#include <type_traits>

#include "optimizer/GCinternal.h"

namespace {

const char kDataCostsSet[] = "Data Costs are already initialized";
const char kSmoothCostsSet[] = "Smoothness Costs are already initialized";

}  // namespace

template <typename T>
void GCoptimization::deleteFunctor(void* source) {
  delete static_cast<T*>(source);
}

template <typename DataSource>
void GCoptimization::bindDataSource() {
  m_data_energy_op = &GCoptimization::giveDataEnergyInternal<DataSource>;
  m_data_from_table = std::is_same<DataSource, DataCostFnFromArray>::value;
  m_expansion_t_links_op = &GCoptimization::set_up_t_links_expansion<DataSource>;
  m_grid_t_links_op = &GCoptimization::set_up_t_links_grid<DataSource>;
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
  if (!copy) handleError(gc_internal::kNoMemory);
  m_data_source = copy;
  bindDataSource<DataSource>();
  m_data_source_delete = &deleteFunctor<DataSource>;
}

template <typename SmoothSource>
void GCoptimization::specializeSmoothCostFunctor(const SmoothSource source) {
  if (m_smooth_source) handleError(kSmoothCostsSet);
  SmoothSource* copy = new (std::nothrow) SmoothSource(source);
  if (!copy) handleError(gc_internal::kNoMemory);
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
