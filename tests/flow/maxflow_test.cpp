// The two-tree search: a hand-made case whose trees are known, and random
// graphs checked against Edmonds-Karp and the full verifier.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "flow/graph.h"
#include "tests/flow/flow_check.h"

namespace {

TEST(MaxflowCases, SinkNodeMeetingTheSourceTreeTwiceAugmentsThroughItsIncomingArc) {
  // The arcs' tails do not rise overall, so the nodes are activated in
  // ascending order and t grows first: its outgoing arc reaches s1, then its
  // incoming arc reaches s2, and its sink link (3) goes to the path through
  // s2 alone.
  Graph g;
  void* t = g.add_node();
  void* s1 = g.add_node();
  void* s2 = g.add_node();
  g.add_tweights(t, 0, 3);
  g.add_tweights(s1, 5, 0);
  g.add_tweights(s2, 5, 0);
  g.add_edge(s2, t, 5, 0);
  g.add_edge(t, s1, 0, 5);
  EXPECT_EQ(g.maxflow(), 3);
  EXPECT_EQ(GraphTestAccess::term_cap(s1), 5);
  EXPECT_EQ(GraphTestAccess::term_cap(s2), 2);
}

// Mostly small graphs with parallel arcs, zero capacities, arcs from a node to
// itself, isolated nodes, and positive and negative terminal updates; every
// 500th spans several node and arc chunks, with hub nodes whose ranges do not
// fit into what is left of a chunk.
FlowProblem random_problem(std::mt19937& rng, bool large) {
  auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
  FlowProblem p;
  p.nodes = large ? pick(500, 1600) : pick(0, 12);
  if (p.nodes == 0) return p;
  const int max_cap = pick(0, 3) == 0 ? 1 : 20;
  auto cap = [&] { return pick(0, 3) == 0 ? 0 : pick(0, max_cap); };
  auto node = [&] { return pick(0, p.nodes - 1); };
  for (int k = large ? pick(p.nodes, 3 * p.nodes) : pick(0, 3 * p.nodes); k > 0; --k) {
    p.edges.push_back({node(), node(), cap(), cap()});
    if (pick(0, 5) == 0) p.edges.push_back(p.edges.back());
  }
  if (large) {
    std::vector<int> hubs(p.nodes);
    for (int v = 0; v < p.nodes; ++v) hubs[v] = v;
    std::shuffle(hubs.begin(), hubs.end(), rng);
    for (int h = pick(3, 10); h > 0; --h) {
      for (int k = pick(500, 1000); k > 0; --k) {
        int w = node();
        p.edges.push_back(pick(0, 1) ? FlowProblem::Edge{hubs[h], w, cap(), cap()}
                                     : FlowProblem::Edge{w, hubs[h], cap(), cap()});
      }
    }
    std::shuffle(p.edges.begin(), p.edges.end(), rng);
  }
  for (int k = large ? pick(p.nodes / 10, p.nodes / 3) : pick(0, 2 * p.nodes); k > 0; --k) {
    p.terminals.push_back({node(), pick(-max_cap, 2 * max_cap), pick(-max_cap, 2 * max_cap), pick(0, 15) == 0});
  }
  return p;
}

// Every 10th graph starts its scan counter just below the top of its range,
// where it must start again instead of overflowing.
TEST(MaxflowRandom, MatchesEdmondsKarpAndLeavesTheSmallestSourceSide) {
  const uint32_t base_seed = 20240611;
  std::printf("random max-flow graphs: base seed %u\n", base_seed);
  for (int k = 0; k < 10000 && !::testing::Test::HasFailure(); ++k) {
    const uint32_t seed = base_seed + static_cast<uint32_t>(k);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    FlowProblem p = random_problem(rng, k % 500 == 0);
    Graph g;
    std::vector<void*> h = p.build(g, &rng);
    int flow = k % 10 == 1 ? GraphTestAccess::maxflow_from_stamp(g, INT_MAX - 3) : g.maxflow();
    std::vector<bool> ref_side;
    const int64_t ref_flow = reference_maxflow(p, ref_side);
    ASSERT_EQ(flow, GraphTestAccess::total_flow(g));
    ASSERT_EQ(verify_solved(g, p, h), ref_flow);
    for (int v = 0; v < p.nodes; ++v) ASSERT_EQ(g.what_segment(h[v]), ref_side[v] ? 0 : 1) << "node " << v;
  }
}

// Grid energies of up to a few thousand nodes, so that the nodes span several
// chunks and the arcs many pieces and slabs, solved one after another on one
// graph that reset empties: larger and smaller than the one before, and once
// after a graph that was built but never solved. The pairs come in ascending
// tail order, descending (so that the nodes are activated in either
// direction) or shuffled, and every third search restarts its scan counter
// while it runs. The verifier certifies each flow maximal and the reported
// side the smallest minimum-cut side.
FlowProblem grid_problem(std::mt19937& rng, int nx, int ny, int nz) {
  auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
  FlowProblem p;
  p.nodes = nx * ny * nz;
  for (int v = 0; v < p.nodes; ++v) p.terminals.push_back({v, pick(0, 40), pick(0, 40), false});
  for (int v = 0; v < p.nodes; ++v) {
    const int x = v % nx, y = (v / nx) % ny, z = v / (nx * ny);
    const int w = pick(0, 25);
    if (x + 1 < nx) p.edges.push_back({v, v + 1, w, w});
    if (y + 1 < ny) p.edges.push_back({v, v + nx, pick(0, 25), pick(0, 25)});
    if (z + 1 < nz) p.edges.push_back({v, v + nx * ny, pick(0, 25), 0});
  }
  return p;
}

TEST(MaxflowGrids, AResetGraphSolvesGridsWhateverTheOrderOfTheirArcs) {
  const int sizes[][3] = {{21, 17, 13}, {5, 4, 1}, {90, 70, 1}, {1, 1, 1}, {30, 30, 3}, {12, 11, 10}};
  std::mt19937 rng(4242);
  Graph g;
  for (int k = 0; k < 18 && !::testing::Test::HasFailure(); ++k) {
    SCOPED_TRACE("problem " + std::to_string(k));
    if (k == 9) {
      grid_problem(rng, 40, 35, 2).build(g);
      g.reset();
    }
    FlowProblem p = grid_problem(rng, sizes[k % 6][0], sizes[k % 6][1], sizes[k % 6][2]);
    const int order = (k + k / 6) % 3;  // every size in every order
    if (order == 1) std::reverse(p.edges.begin(), p.edges.end());
    if (order == 2) std::shuffle(p.edges.begin(), p.edges.end(), rng);
    std::vector<void*> h = p.build(g);
    k % 3 == 0 ? GraphTestAccess::maxflow_from_stamp(g, INT_MAX - 100) : g.maxflow();
    verify_solved(g, p, h);
    g.reset();
  }
}

}  // namespace
