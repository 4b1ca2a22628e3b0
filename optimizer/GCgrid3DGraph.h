// The optimizer over a dimX x dimY x dimZ voxel grid, six-connected; voxel
// (x, y, z) is v = x + y * dimX + z * dimX * dimY. Every voxel is a site
// (site v), or, given a site map, only the voxels it numbers: siteOf[v] is
// the voxel's site or -1, and the sites are numbered 0, 1, ... in voxel
// order. Two sites are paired when their voxels are neighbours along x, y or
// z. Pair weights are 1, or per site and direction after setSmoothCostXYZ:
// the pair of site s and the site of the next voxel along x weighs WX[s],
// along y WY[s], along z WZ[s] (entries without such a pair are never read).
//
// Nothing is stored per site or pair beyond what the caller lends: every
// neighbour is found from the grid, every weight read from its direction's
// array. With per-direction weights the energy is summed straight from the
// grid, and an expansion over every site builds its move in one pass in
// voxel order on the engine's grid form (flow/gridGraph3D.h), node s being
// site s (with a site map, its pairs found in the records the engine
// prepared from the map), so that a move needs no site list, no table of
// variables and no arc records: 44 bytes a site, 60 with a site map. A pair of weight 0 adds
// nothing to a move. Such a move over every site holds every term of the
// energy, so with data costs from a table the expansion iteration it ends
// takes its energy from the move's flow instead of summing it again. Every
// other use (swaps, expansions over given sites, unit weights) goes through
// giveNeighborInfo, whose lists are made on demand into one buffer; with a
// site map it first makes a table of the sites' voxels (4 bytes per site),
// once.
#ifndef OPTIMIZER_GCGRID3DGRAPH_H_
#define OPTIMIZER_GCGRID3DGRAPH_H_

#include "optimizer/GCbase.h"

class GCoptimizationGrid3DGraph : public GCoptimization {
 public:
  // ---- Construction ------------------------------------------------------
  // Every voxel a site; asserts every dimension > 0, at least 2 voxels, no
  // more than an int counts, and num_labels > 1.
  GCoptimizationGrid3DGraph(int dimX, int dimY, int dimZ, int num_labels);
  // The sites of `siteOf` (dimX * dimY * dimZ entries, borrowed: it must
  // stay unchanged and outlive the optimizer), which must number num_sites
  // >= 2 voxels in voxel order (asserted); a null map makes every voxel a
  // site, as above.
  GCoptimizationGrid3DGraph(int dimX, int dimY, int dimZ, const int* siteOf, int num_sites,
                            int num_labels);
  ~GCoptimizationGrid3DGraph() override;

  // ---- Building ----------------------------------------------------------
  // Installs smoothArray as by setSmoothCost(int*) (refused when a smoothness
  // cost exists, before any weight changes) and borrows WX, WY and WZ (one
  // entry per site each; unchanged, outliving the optimizer) as the pair
  // weights.
  void setSmoothCostXYZ(int* smoothArray, int* WX, int* WY, int* WZ);

  // ---- Solving -----------------------------------------------------------
  using GCoptimization::alpha_expansion;
  // With per-direction weights built from the grid (above); otherwise the
  // general move.
  void alpha_expansion(int alpha_label) override;

  // ---- Queries -----------------------------------------------------------
  // Neighbours towards -x, +x, -y, +y, -z, +z, those that are sites.
  void giveNeighborInfo(int site, int* numSites, int** neighbors, int** weights) override;

 private:
  // Calls site(s, v) for every site s (voxel v) in voxel order, then pair(s, t, d) for each
  // of its neighbours t towards -x, -y, -z (d = 0, 1, 2, as std::integral_constant) that is
  // a site.
  // walkGrid stops after the site call that sets *stop, when given.
  template <typename OnSite, typename OnPair>
  void walk(OnSite site, OnPair pair) const;
  template <typename OnSite, typename OnPair, typename SiteOf>
  void walkGrid(OnSite site, OnPair pair, SiteOf siteOf, const bool* stop = nullptr) const;
  // The same order over the nodes of a move on g: site(s) for every site s,
  // which must add node s, then pair(s, t, d) for its neighbours towards
  // -x, -y, -z, found in the engine's records.
  template <typename OnSite, typename OnPair>
  void walkNodes(const GridGraph3D* g, OnSite site, OnPair pair, const bool* stop) const;
  int smoothEnergyXYZ();
  // Builds the move with walkSites(site, pair, stop), one of the walks
  // above; returns the number of variables (sites not labelled alpha).
  template <typename Walk>
  int addExpansionTerms(int alpha, GridGraph3D* g, Walk walkSites);
  int voxelOf(int site);

  int m_dims[3];
  const int* m_site_of;  // the caller's site map, or null: every voxel is a site
  int* m_voxel_of;       // with a site map, each site's voxel once giveNeighborInfo needs it
  int* m_weights[3];     // the caller's WX, WY, WZ; null without per-direction weights
  int m_list_sites[6];   // giveNeighborInfo's lists
  int m_list_weights[6];
};

#endif  // OPTIMIZER_GCGRID3DGRAPH_H_
