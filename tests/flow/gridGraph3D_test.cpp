// The grid engine: random grids, whole or over a site map, against the
// reference max-flow, with restarted scan counters and interruptions; large
// grids against the general engine; binary energies against enumeration;
// and its refusal of a grid too large to number or of a wrong site count.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "flow/energy.h"
#include "flow/gridGraph3D.h"
#include "tests/flow/flow_check.h"

class GridGraph3DTestAccess {
 public:
  static int maxflow_from_stamp(GridGraph3D& g, int stamp) {
    g.maxflow_init();
    g.cur_stamp = stamp;
    return g.run_search();
  }
};

namespace {

// A grid of dims with, optionally, a random part of its voxels as sites;
// its network as a FlowProblem over the nodes (site numbers) with the grid
// direction of each edge, so that the same network can be built into both.
struct GridNetwork {
  int dims[3];
  std::vector<int> siteOf;  // empty: every voxel a node
  FlowProblem p;
  std::vector<GridGraph3D::Direction> towards;  // per edge: from its `from` to its `to`
};

GridNetwork random_network(std::mt19937& rng, int max_dim, bool masked, int min_dim = 1) {
  auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
  GridNetwork n;
  for (int& d : n.dims) d = pick(min_dim, max_dim);
  const int voxels = n.dims[0] * n.dims[1] * n.dims[2];
  std::vector<int> node(voxels);
  int nodes = 0;
  for (int v = 0; v < voxels; v++) node[v] = !masked || pick(0, 3) ? nodes++ : -1;
  if (masked) n.siteOf = node;
  n.p.nodes = nodes;
  const int max_cap = pick(0, 3) == 0 ? 1 : 20;
  auto cap = [&] { return pick(0, 3) == 0 ? 0 : pick(0, max_cap); };
  const int step[3] = {1, n.dims[0], n.dims[0] * n.dims[1]};
  for (int v = 0; v < voxels; v++) {
    const int at[3] = {v % n.dims[0], v / n.dims[0] % n.dims[1], v / step[2]};
    for (int axis = 0; axis < 3; axis++) {
      if (at[axis] == 0 || node[v] < 0 || node[v - step[axis]] < 0) continue;
      // None, one or two edges per pair, either way round.
      for (int k = pick(0, 2); k > 0; --k) {
        const bool down = pick(0, 1);
        const int a = node[v], b = node[v - step[axis]];
        n.p.edges.push_back({down ? a : b, down ? b : a, cap(), cap()});
        n.towards.push_back(GridGraph3D::Direction(2 * axis + (down ? 0 : 1)));
      }
    }
  }
  for (int k = pick(0, 2 * nodes); k > 0; --k)
    n.p.terminals.push_back({pick(0, nodes - 1), pick(-max_cap, 2 * max_cap), pick(-max_cap, 2 * max_cap), false});
  return n;
}

// The nodes in order, each edge and terminal update added, in a random
// interleaving, as soon as its nodes are: the engine meets terms between
// add_node calls, as when a network is written in node order.
// A site map's sites are counted by the engine, or for every other network
// given to reset as a caller that has counted them does.
void build(GridGraph3D& g, const GridNetwork& n, std::mt19937& rng) {
  g.reset(n.dims[0], n.dims[1], n.dims[2], n.siteOf.empty() ? nullptr : n.siteOf.data(),
          n.p.nodes % 2 ? n.p.nodes : -1);
  const FlowProblem& p = n.p;
  // Per node, the edges (k >= 0) and terminal updates (~t) it completes.
  std::vector<std::vector<int>> ready(p.nodes);
  for (int e = 0; e < int(p.edges.size()); e++) ready[std::max(p.edges[e].from, p.edges[e].to)].push_back(e);
  for (int t = 0; t < int(p.terminals.size()); t++) ready[p.terminals[t].node].push_back(~t);
  for (int k = 0; k < p.nodes; k++) {
    ASSERT_EQ(g.add_node(), uint32_t(k));
    std::shuffle(ready[k].begin(), ready[k].end(), rng);
    for (int item : ready[k]) {
      if (item < 0) {
        const FlowProblem::Terminal& x = p.terminals[~item];
        g.add_tweights(uint32_t(x.node), x.cap_source, x.cap_sink);
      } else {
        const FlowProblem::Edge& x = p.edges[item];
        g.add_edge(uint32_t(x.from), n.towards[item], x.cap, x.rev_cap);
      }
    }
  }
}

// One engine, reset for each, solves them all; every 10th search starts its
// scan counter just below the top of its range.
TEST(GridGraph3DRandom, MatchesEdmondsKarpAndLeavesTheSmallestSourceSide) {
  GridGraph3D g;
  for (int k = 0; k < 4000 && !::testing::Test::HasFailure(); ++k) {
    const uint32_t seed = 7000u + uint32_t(k);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const GridNetwork n = random_network(rng, k % 50 == 0 ? 6 : 4, k % 2 == 1);
    if (n.p.nodes == 0) continue;
    build(g, n, rng);
    const int flow = k % 10 == 1 ? GridGraph3DTestAccess::maxflow_from_stamp(g, INT_MAX - 3) : g.maxflow();
    std::vector<bool> side;
    std::vector<int64_t> net;
    int64_t constant;
    n.p.terminal_sums(net, constant);
    ASSERT_EQ(flow, constant + reference_maxflow(n.p, side));
    for (int v = 0; v < n.p.nodes; ++v) ASSERT_EQ(g.what_segment(uint32_t(v)), side[v] ? 0 : 1) << "node " << v;
  }
}

// Grids of thousands of nodes, beyond the reference's reach: the flow and
// every node's side equal the general engine's on the same network, also
// when every check interrupts the search and it is resumed until done, and
// when its scan counter starts near the top of its range. The last grids
// are large enough for their records to be prepared ahead on a thread while
// they are built, the first of them after a reset left unbuilt while its
// records were prepared; an engine is also destroyed while it prepares.
TEST(GridGraph3DRandom, LargeGridsCutAsTheGeneralEngine) {
  GridGraph3D g;
  int stops = 0;
  {
    GridGraph3D abandoned;
    abandoned.reset(100, 100, 30);
  }
  for (int k = 0; k < 20; ++k) {
    SCOPED_TRACE("seed " + std::to_string(k));
    std::mt19937 rng(900u + uint32_t(k));
    const bool large = k >= 16;
    const GridNetwork n = random_network(rng, large ? 64 : 24, k % 2 == 1, large ? 56 : 1);
    if (k == 16) g.reset(n.dims[0], n.dims[1], n.dims[2]);
    build(g, n, rng);
    const GridGraph3D::InterruptFn stop_always = [](void* c) { return ++*static_cast<int*>(c) > 0; };
    g.set_interrupt(k % 4 < 2 ? stop_always : nullptr, &stops);
    int flow = k % 4 == 3 ? GridGraph3DTestAccess::maxflow_from_stamp(g, INT_MAX - 100) : g.maxflow();
    while (g.interrupted()) flow = g.maxflow();
    Graph general;
    const std::vector<void*> h = n.p.build(general);
    ASSERT_EQ(flow, general.maxflow());
    for (int v = 0; v < n.p.nodes; ++v) ASSERT_EQ(g.what_segment(uint32_t(v)), general.what_segment(h[v])) << v;
  }
  EXPECT_GT(stops, 5);
}

// Binary energies on 2 x 2 x 2 grids, unary and pairwise terms of every
// kind (regular, with negative entries): the flow is the least energy and
// a node reads 0 exactly when it is 0 in every minimiser.
TEST(GridGraph3DEnergy, MinimisesAsEnumerationSays) {
  GridGraph3D g;
  for (unsigned seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
    struct Term {
      int x, y, A, B, C, D;
      GridGraph3D::Direction d;
    };
    std::vector<int> e0(8), e1(8);
    std::vector<Term> terms;
    g.reset(2, 2, 2);
    for (int v = 0; v < 8; v++) {
      g.add_node();
      e0[v] = pick(-5, 10);
      e1[v] = pick(-5, 10);
      g.add_tweights(uint32_t(v), e1[v], e0[v]);
      for (int axis = 0; axis < 3; axis++) {
        const int step = 1 << axis;
        if (!(v & step) || pick(0, 2) == 0) continue;
        Term t{v, v - step, pick(-5, 10), pick(-5, 10), pick(-5, 10), 0, GridGraph3D::Direction(2 * axis)};
        t.D = pick(-20, t.B + t.C - t.A);  // regular: A + D <= B + C
        g.add_term2(uint32_t(t.x), t.d, t.A, t.B, t.C, t.D);
        terms.push_back(t);
      }
    }
    int best = INT_MAX;
    unsigned zeros = 0;  // the nodes 0 in every minimiser
    for (unsigned m = 0; m < 256; m++) {
      int e = 0;
      for (int v = 0; v < 8; v++) e += m >> v & 1 ? e1[v] : e0[v];
      for (const Term& t : terms) {
        const int a = m >> t.x & 1, b = m >> t.y & 1;
        e += a ? (b ? t.D : t.C) : (b ? t.B : t.A);
      }
      if (e < best) best = e, zeros = ~m & 255u;
      else if (e == best) zeros &= ~m;
    }
    ASSERT_EQ(g.maxflow(), best);
    for (int v = 0; v < 8; v++) EXPECT_EQ(g.what_segment(uint32_t(v)), zeros >> v & 1 ? 0 : 1) << v;
  }
}

// A site count that is not the map's, given to reset, fails an assertion
// before any record would name a node outside the grid; so does a map out
// of voxel order that reaches past the last node.
TEST(GridGraph3DLimits, ASiteCountOtherThanTheMapsFailsAnAssertion) {
  const std::vector<int> map = {-1, 0, -1, 1, 2, -1};  // 6 x 1 x 1, three sites
  EXPECT_DEATH(GridGraph3D().reset(6, 1, 1, map.data(), 4), "fewer sites than the grid's nodes");
  EXPECT_DEATH(GridGraph3D().reset(6, 1, 1, map.data(), 2), "more sites than the grid's nodes");
  GridGraph3D g;
  g.reset(6, 1, 1, map.data(), 3);
  for (int k = 0; k < 3; k++) g.add_node();
  EXPECT_EQ(g.neighbours(0), 0u);
  EXPECT_EQ(g.neighbours(1), 1u << GridGraph3D::PLUS_X);
  EXPECT_EQ(g.neighbours(2), 1u << GridGraph3D::MINUS_X);
  EXPECT_EQ(g.neighbour(2, GridGraph3D::MINUS_X), 1u);
}

TEST(GridGraph3DLimits, AGridOfTwoToTheThirtyTwoNodesIsRefusedThroughTheErrorFunction) {
  GridGraph3D g([](char* message) { throw std::runtime_error(message); });
  try {
    g.reset(65536, 65536, 1);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Not enough memory!");
  }
  g.reset(3, 1, 1);  // still usable
  for (int k = 0; k < 3; k++) g.add_node();
  g.add_tweights(0, 5, 0);
  g.add_tweights(2, 0, 4);
  g.add_edge(1, GridGraph3D::MINUS_X, 0, 3);
  g.add_edge(2, GridGraph3D::MINUS_X, 0, 7);
  EXPECT_EQ(g.maxflow(), 3);
  EXPECT_EQ(g.what_segment(0), 0);
  EXPECT_EQ(g.what_segment(1), 1);
}

}  // namespace
