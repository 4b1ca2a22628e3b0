// The six-connected 3-D grid: the walk over its pairs, the energy and the
// expansion built from it, and the neighbour lists on demand.
#include "optimizer/GCgrid3DGraph.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstddef>
#include <type_traits>

#include "flow/gridGraph3D.h"
#include "optimizer/GCinternal.h"

namespace {

// Sites handed to the unary-term operation at a time: few enough for two
// small arrays on the stack, enough that the call costs nothing.
const int kUnaryBlock = 256;

// The number of sites, checking the grid and the site map: every dimension
// positive, the voxels countable by an int, and the map numbering its
// num_sites voxels 0, 1, ... in voxel order (every voxel when it is null).
int checkedSites(int dimX, int dimY, int dimZ, const int* siteOf, int num_sites) {
  assert(dimX > 0 && dimY > 0 && dimZ > 0);
  assert(static_cast<long long>(dimX) * dimY * dimZ <= INT_MAX);
  const int voxels = dimX * dimY * dimZ;
  int next = 0;
  bool ordered = true;
  for (int v = 0; siteOf != nullptr && v < voxels; v++) {
    if (siteOf[v] < 0) continue;
    ordered = ordered && siteOf[v] == next;
    next++;
  }
  assert(ordered && (siteOf != nullptr ? next : voxels) == num_sites);
  (void)ordered;
  assert(num_sites > 1);
  return num_sites;
}

}  // namespace

GCoptimizationGrid3DGraph::GCoptimizationGrid3DGraph(int dimX, int dimY, int dimZ, int num_labels)
    : GCoptimizationGrid3DGraph(dimX, dimY, dimZ, nullptr,
                                static_cast<int>(static_cast<long long>(dimX) * dimY * dimZ),
                                num_labels) {}

GCoptimizationGrid3DGraph::GCoptimizationGrid3DGraph(int dimX, int dimY, int dimZ,
                                                     const int* siteOf, int num_sites,
                                                     int num_labels)
    : GCoptimization(checkedSites(dimX, dimY, dimZ, siteOf, num_sites), num_labels),
      m_dims{dimX, dimY, dimZ},
      m_site_of(siteOf),
      m_voxel_of(nullptr),
      m_weights{nullptr, nullptr, nullptr} {}

GCoptimizationGrid3DGraph::~GCoptimizationGrid3DGraph() { delete[] m_voxel_of; }

void GCoptimizationGrid3DGraph::setSmoothCostXYZ(int* smoothArray, int* WX, int* WY, int* WZ) {
  assert(WX && WY && WZ);
  setSmoothCost(smoothArray);
  m_weights[0] = WX;
  m_weights[1] = WY;
  m_weights[2] = WZ;
  // The smoothness is the table just installed: the energy is summed over
  // the grid, each weight read from its direction.
  m_smooth_energy_op = static_cast<EnergyOp>(&GCoptimizationGrid3DGraph::smoothEnergyXYZ);
}

template <typename OnSite, typename OnPair, typename SiteOf>
void GCoptimizationGrid3DGraph::walkGrid(OnSite site, OnPair pair, SiteOf siteOf,
                                         const bool* stop) const {
  const int dimX = m_dims[0], dimY = m_dims[1], dimZ = m_dims[2];
  const int step[3] = {1, dimX, dimX * dimY};
  int v = 0;
  for (int z = 0; z < dimZ; z++) {
    for (int y = 0; y < dimY; y++) {
      for (int x = 0; x < dimX; x++, v++) {
        const int s = siteOf(v);
        if (s < 0) continue;
        site(s, v);
        if (stop && *stop) return;
        // The direction a constant of each call, so that `pair`, given it
        // as its own type, is compiled for it: its weight array, the
        // engine's direction and neighbour.
        int t;
        if (x > 0 && (t = siteOf(v - step[0])) >= 0) pair(s, t, std::integral_constant<int, 0>());
        if (y > 0 && (t = siteOf(v - step[1])) >= 0) pair(s, t, std::integral_constant<int, 1>());
        if (z > 0 && (t = siteOf(v - step[2])) >= 0) pair(s, t, std::integral_constant<int, 2>());
      }
    }
  }
}

template <typename OnSite, typename OnPair>
void GCoptimizationGrid3DGraph::walkNodes(const GridGraph3D* g, OnSite site, OnPair pair,
                                          const bool* stop) const {
  for (int s = 0; s < m_num_sites; s++) {
    site(s);
    if (stop && *stop) return;
    const uint32_t node = uint32_t(s);
    const unsigned around = g->neighbours(node);
    if (around >> GridGraph3D::MINUS_X & 1) pair(s, s - 1, std::integral_constant<int, 0>());
    if (around >> GridGraph3D::MINUS_Y & 1)
      pair(s, int(g->neighbour(node, GridGraph3D::MINUS_Y)), std::integral_constant<int, 1>());
    if (around >> GridGraph3D::MINUS_Z & 1)
      pair(s, int(g->neighbour(node, GridGraph3D::MINUS_Z)), std::integral_constant<int, 2>());
  }
}

template <typename OnSite, typename OnPair>
void GCoptimizationGrid3DGraph::walk(OnSite site, OnPair pair) const {
  if (m_site_of) {
    const int* siteOf = m_site_of;
    walkGrid(site, pair, [siteOf](int v) { return siteOf[v]; });
  } else {
    walkGrid(site, pair, [](int v) { return v; });
  }
}

int GCoptimizationGrid3DGraph::smoothEnergyXYZ() {
  const SmoothCostFnFromArray* sc = static_cast<SmoothCostFnFromArray*>(m_smooth_source);
  const int* labels = m_labeling;
  // One label throughout (as every labeling starts) pays V(l, l) on every
  // pair: nothing, when that is 0.
  const int l0 = labels[0];
  if (sc->computeCost(0, 0, l0, l0) == 0 &&
      std::all_of(labels, labels + m_num_sites, [l0](int l) { return l == l0; }))
    return 0;
  int eng = 0;
  if (m_site_of) {
    walk([](int, int) {},
         [&](int s, int t, auto d) {
           eng = eng + m_weights[d][t] * sc->computeCost(s, t, labels[s], labels[t]);
         });
    return eng;
  }
  // Every voxel a site: each direction's pairs are runs of consecutive
  // sites, summed one direction at a time.
  const int dimX = m_dims[0], slice = dimX * m_dims[1], voxels = slice * m_dims[2];
  auto run = [&](int d, int step, int first, int end) {
    const int* w = m_weights[d];
    for (int s = first; s < end; s++)
      eng = eng + w[s - step] * sc->computeCost(s, s - step, labels[s], labels[s - step]);
  };
  for (int row = 0; row < voxels; row += dimX) run(0, 1, row + 1, row + dimX);
  for (int plane = 0; plane < voxels; plane += slice) run(1, dimX, plane + dimX, plane + slice);
  run(2, slice, slice, voxels);
  return eng;
}

// The move's terms in one walk over the grid engine, whose node s is site s:
// each site not labelled alpha is a variable, its data terms are added a
// block at a time through the installed source, and its pairs towards -x,
// -y and -z become terms at once. Sites labelled alpha are nodes without
// terms, which the cut leaves alone.
template <typename Walk>
int GCoptimizationGrid3DGraph::addExpansionTerms(int alpha, GridGraph3D* g, Walk walkSites) {
  const SmoothCostFnFromArray* sc = static_cast<SmoothCostFnFromArray*>(m_smooth_source);
  const int* V = sc->m_array;
  const int n = sc->m_row_length;
  const int* toAlpha = V + std::ptrdiff_t(alpha) * n;  // V(alpha, l)
  const int* const W[3] = {m_weights[0], m_weights[1], m_weights[2]};
  const int* labels = m_labeling;
  int listed = 0, variables = 0;
  bool interrupted = false;  // by the check asked at every kInterruptSites-th variable
  int list_sites[kUnaryBlock];
  uint32_t list_nodes[kUnaryBlock];
  uint32_t node = 0;    // the site walked,
  int ls = 0;           // its label,
  const int* from = V;  // V(ls, l),
  bool xs = false;      // and whether it is a variable
  walkSites(
      [&](int s) {
        node = g->add_node();
        ls = labels[s];
        from = V + std::ptrdiff_t(ls) * n;
        xs = false;
        if (ls == alpha) return;
        if ((variables & gc_internal::kInterruptSites) == 0 && m_interrupt_fn &&
            interruptRequested()) {
          interrupted = true;
          return;
        }
        variables++;
        xs = true;
        list_sites[listed] = s;
        list_nodes[listed] = node;
        if (++listed == kUnaryBlock) {
          (this->*m_grid_t_links_op)(listed, alpha, g, list_nodes, list_sites);
          listed = 0;
        }
      },
      [&](int, int t, auto d) {
        const int w = W[d][t];
        if (w == 0) return;
        const int lt = labels[t];
        if (lt == alpha) {
          if (xs) g->add_tweights(node, w * from[lt], w * toAlpha[lt]);
          return;
        }
        if (!xs) {
          g->add_tweights(uint32_t(t), w * V[std::ptrdiff_t(lt) * n + ls], w * toAlpha[ls]);
          return;
        }
        const int e00 = w * toAlpha[alpha], e01 = w * toAlpha[lt], e10 = w * from[alpha],
                  e11 = w * from[lt];
        const GridGraph3D::Direction towards = static_cast<GridGraph3D::Direction>(2 * d);
        // The common term (a metric's, between two labels as they are) is
        // one arc; add_term2 would first add nothing to the terminals.
        if (e00 == 0 && e11 == 0 && e01 >= 0 && e10 >= 0)
          g->add_edge(node, towards, e01, e10);
        else
          g->add_term2(node, towards, e00, e01, e10, e11);
      },
      &interrupted);
  if (interrupted) return variables;
  if (listed > 0) (this->*m_grid_t_links_op)(listed, alpha, g, list_nodes, list_sites);
  return variables;
}

// The terms are those of the general move (GCinternal.h): data costs through
// the installed source, a pair of two variables as one pairwise term at its
// larger site, a pair with a site outside the move as a unary term of the
// variable, all on the grid engine (flow/gridGraph3D.h), which finds the
// same cut as the general engine with no arc records to build.
void GCoptimizationGrid3DGraph::alpha_expansion(int alpha_label) {
  m_energy_known = false;
  if (!m_weights[0]) {
    GCoptimization::alpha_expansion(alpha_label);
    return;
  }
  assert(alpha_label >= 0 && alpha_label < m_num_labels);
  m_interrupted = false;
  if (!readyToOptimise()) handleError(gc_internal::kSetUpTermsFirst);
  const int alpha = alpha_label;
  if (std::all_of(m_labeling, m_labeling + m_num_sites, [alpha](int l) { return l == alpha; }))
    return;
  if (interruptRequested()) return;
  GridGraph3D* g = emptiedGridMove(m_dims[0], m_dims[1], m_dims[2], m_site_of);
  // Over a site map the pairs are found in the engine's own records, which
  // it prepared from the map ahead of the nodes, instead of walking the
  // map's voxels a second time; every voxel a site, the grid is walked.
  int variables;
  if (m_site_of) {
    variables = addExpansionTerms(alpha, g, [this, g](auto site, auto pair, const bool* stop) {
      walkNodes(g, site, pair, stop);
    });
  } else {
    variables = addExpansionTerms(alpha, g, [this](auto site, auto pair, const bool* stop) {
      walkGrid([&site](int s, int) { site(s); }, pair, [](int v) { return v; }, stop);
    });
  }
  // An interrupted move changes no label.
  if (interruptRequested()) return;
  const int flow = g->maxflow();
  if (g->interrupted()) {
    m_interrupted = true;
    return;
  }

  // Source side (0) takes alpha; the sink side keeps its label.
  for (int s = 0; s < m_num_sites; s++)
    if (g->what_segment(uint32_t(s)) == 0) m_labeling[s] = alpha;
  // With every site a variable, the move's binary energy holds every term
  // of the energy (no site and no pair stayed out), so its minimum, the
  // flow, is the energy of the labeling the cut gives, the same integer
  // compute_energy sums within the 32-bit contract. The iteration then
  // need not sum it again, when nobody can see the costs read: from a
  // table, as the smoothness always is here.
  if (variables == m_num_sites && m_data_from_table) {
    m_energy_known = true;
    m_known_energy = flow;
  }
}

int GCoptimizationGrid3DGraph::voxelOf(int site) {
  if (!m_site_of) return site;
  if (!m_voxel_of) {
    int* voxels = allocate<int>(std::size_t(m_num_sites));
    const int count = m_dims[0] * m_dims[1] * m_dims[2];
    for (int v = 0; v < count; v++)
      if (m_site_of[v] >= 0) voxels[m_site_of[v]] = v;
    m_voxel_of = voxels;
  }
  return m_voxel_of[site];
}

void GCoptimizationGrid3DGraph::giveNeighborInfo(int site, int* numSites, int** neighbors,
                                                 int** weights) {
  assert(site >= 0 && site < m_num_sites);
  const int v = voxelOf(site);
  const int dimX = m_dims[0], slice = dimX * m_dims[1];
  const int at[3] = {v % dimX, v / dimX % m_dims[1], v / slice};
  const int step[3] = {1, dimX, slice};
  int n = 0;
  for (int d = 0; d < 3; d++) {
    for (int side = -1; side <= 1; side += 2) {
      if (side < 0 ? at[d] == 0 : at[d] == m_dims[d] - 1) continue;
      const int u = v + side * step[d];
      const int t = m_site_of ? m_site_of[u] : u;
      if (t < 0) continue;
      m_list_sites[n] = t;
      // A pair's weight lies with its smaller site.
      m_list_weights[n] = m_weights[0] ? m_weights[d][side < 0 ? t : site] : 1;
      n++;
    }
  }
  *numSites = n;
  *neighbors = m_list_sites;
  *weights = m_list_weights;
}
