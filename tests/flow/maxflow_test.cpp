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
    std::vector<void*> h = p.build(g, [&] { return rng() % 2 == 0; });
    int flow = k % 10 == 1 ? GraphTestAccess::maxflow_from_stamp(g, INT_MAX - 3) : g.maxflow();

    std::vector<int64_t> net;
    int64_t constant;
    p.terminal_sums(net, constant);
    std::vector<bool> ref_side;
    int64_t ref_flow = reference_maxflow(p, ref_side);
    ASSERT_EQ(flow, constant + ref_flow);
    for (int v = 0; v < p.nodes; ++v) ASSERT_EQ(g.what_segment(h[v]), ref_side[v] ? 0 : 1) << "node " << v;
    ASSERT_EQ(verify_solved(g, p, h), ref_flow);
  }
}


// Grid energies of a few thousand nodes, so that the nodes span several
// chunks and the arcs many pieces and slabs, built with the pairs added in
// ascending tail order, descending, and shuffled. Every order gives the same
// flow, each solve passes the full verifier (which certifies the flow maximal
// and the reported side the smallest minimum-cut side), and every third graph
// restarts its scan counter during the search.
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

TEST(MaxflowOrders, GridsGiveTheSameVerifiedFlowInEveryInsertionOrder) {
  const uint32_t base_seed = 4242;
  for (uint32_t k = 0; k < 12 && !::testing::Test::HasFailure(); ++k) {
    SCOPED_TRACE("seed " + std::to_string(base_seed + k));
    std::mt19937 rng(base_seed + k);
    FlowProblem p = k % 2 ? grid_problem(rng, 90, 70, 1) : grid_problem(rng, 21, 17, 13);
    int64_t first = -1;
    for (int order = 0; order < 3; ++order) {
      SCOPED_TRACE("order " + std::to_string(order));
      FlowProblem q = p;
      if (order == 1) std::reverse(q.edges.begin(), q.edges.end());
      if (order == 2) std::shuffle(q.edges.begin(), q.edges.end(), rng);
      Graph g;
      std::vector<void*> h = q.build(g);
      int flow = order == 2 && k % 3 == 0 ? GraphTestAccess::maxflow_from_stamp(g, INT_MAX - 100) : g.maxflow();
      std::vector<int64_t> net;
      int64_t constant;
      q.terminal_sums(net, constant);
      ASSERT_EQ(constant + verify_solved(g, q, h), flow);
      if (first < 0) first = flow;
      ASSERT_EQ(flow, first);
    }
  }
}

// One graph solves a series of problems, emptied by reset between them:
// larger and smaller than the one before, across chunk boundaries, and reset
// also before any maxflow. Each solve matches a fresh graph's and passes the
// verifier.
TEST(MaxflowReuse, AResetGraphSolvesEachProblemAsAFreshOne) {
  std::mt19937 rng(99);
  Graph reused;
  const int sizes[][3] = {{30, 30, 3}, {5, 4, 1}, {40, 35, 2}, {1, 1, 1}, {23, 19, 7}};
  for (int k = 0; k < 5 && !::testing::Test::HasFailure(); ++k) {
    SCOPED_TRACE("problem " + std::to_string(k));
    FlowProblem p = grid_problem(rng, sizes[k][0], sizes[k][1], sizes[k][2]);
    if (k == 3) {
      p.build(reused);  // built, never solved, then emptied
      reused.reset();
      p = grid_problem(rng, 12, 11, 10);
    }
    std::vector<void*> h = p.build(reused);
    Graph fresh;
    p.build(fresh);
    ASSERT_EQ(reused.maxflow(), fresh.maxflow());
    verify_solved(reused, p, h);
    reused.reset();
  }
}

}  // namespace
