// The four-connected grid neighbourhood and its per-pixel weights.
#include "optimizer/GCgridGraph.h"

#include <cassert>
#include <climits>
#include <cstddef>

#include "optimizer/GCinternal.h"

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
