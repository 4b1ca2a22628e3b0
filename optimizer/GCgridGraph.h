// The optimizer over a width x height grid, four-connected; pixel (x, y) is
// site x + y * width. Neighbours are fixed at construction in a flat table of
// four slots per pixel; pair weights are 1, or per pixel after
// setSmoothCostVH (horizontal pair of p and p+1 weighs H[p], vertical pair of
// p and p+width weighs V[p]). A neighbourhood query is a few index
// computations.
#ifndef OPTIMIZER_GCGRIDGRAPH_H_
#define OPTIMIZER_GCGRIDGRAPH_H_

#include "optimizer/GCbase.h"

class GCoptimizationGridGraph : public GCoptimization {
 public:
  // ---- Construction ------------------------------------------------------
  GCoptimizationGridGraph(int width, int height, int num_labels);  // asserts all > 1
  ~GCoptimizationGridGraph() override;

  // ---- Building ----------------------------------------------------------
  // Installs smoothArray as by setSmoothCost(int*) (refused when a smoothness
  // cost exists, before any weight changes), then takes per-pixel weights
  // from V and H, which are read only during the call.
  void setSmoothCostVH(int* smoothArray, int* V, int* H);
  // Pixels of rows [startY, endY) and columns [startX, endX) get `count`
  // neighbours p + offsets[k], in slot order.
  void setupNeighbData(int startY, int endY, int startX, int endX, int count, int* offsets);
  // Fills the per-slot weight table from V and H.
  void computeNeighborWeights(int* V, int* H);

  // ---- Queries -----------------------------------------------------------
  void giveNeighborInfo(int site, int* numSites, int** neighbors, int** weights) override;
  bool readyToOptimise() override;

 protected:
  int m_unit_weights[4];  // reported for every pixel while m_var_weights is false
  bool m_var_weights;     // per-pixel weights are set
  int m_width;
  int m_height;
  int* m_num_neighbors;     // 4 inside, 3 on an edge, 2 at a corner
  int* m_neighbor_sites;    // 4 slots per pixel, the first m_num_neighbors[p] used
  int* m_neighbor_weights;  // parallel to m_neighbor_sites; null until weights are set
};

#endif  // OPTIMIZER_GCGRIDGRAPH_H_
