// The general neighbourhood: pairs declared one by one, packed per site.
#include "optimizer/GCgeneralGraph.h"

#include <cassert>
#include <cstddef>

#include "optimizer/GCinternal.h"

namespace {

const char kNeighborhoodSet[] = "Already set up neighborhood system";

}  // namespace

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
