// The two-tree search: a hand-made case whose trees are known, and random
// graphs, solved one after another on one graph, checked against
// Edmonds-Karp and the full verifier.
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
// 500th spans several node chunks and arc slabs, with hub nodes whose lists
// span many arc pieces, its arcs shuffled or in ascending or descending tail order.
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
  for (int h = large ? pick(3, 10) : 0; h > 0; --h) {
    for (int k = pick(500, 1000), hub = h * p.nodes / 11; k > 0; --k) {
      const int w = node();
      p.edges.push_back(pick(0, 1) ? FlowProblem::Edge{hub, w, cap(), cap()}
                                   : FlowProblem::Edge{w, hub, cap(), cap()});
    }
  }
  if (large) std::shuffle(p.edges.begin(), p.edges.end(), rng);
  const int order = large ? pick(0, 2) : 0;  // shuffled, ascending or descending tails
  if (order > 0) {
    std::stable_sort(p.edges.begin(), p.edges.end(),
                     [&](auto& a, auto& b) { return order == 1 ? a.from < b.from : a.from > b.from; });
  }
  for (int k = large ? pick(p.nodes / 10, p.nodes / 3) : pick(0, 2 * p.nodes); k > 0; --k) {
    p.terminals.push_back({node(), pick(-max_cap, 2 * max_cap), pick(-max_cap, 2 * max_cap), pick(0, 15) == 0});
  }
  return p;
}

// One graph, emptied by reset, solves them all, each larger or smaller than
// the one before; every 7th is first built and emptied without a solve. Every
// 10th search, and every large one, starts its scan counter just below the
// top of its range, where it must start again instead of overflowing. Every
// other large search is interrupted at every check and resumed until done.
TEST(MaxflowRandom, MatchesEdmondsKarpAndLeavesTheSmallestSourceSide) {
  const uint32_t base_seed = 20240611;
  std::printf("random max-flow graphs: base seed %u\n", base_seed);
  Graph g;
  int stops = 0;  // interruptions, which the large searches must have met
  for (int k = 0; k < 10000 && !::testing::Test::HasFailure(); ++k) {
    const uint32_t seed = base_seed + static_cast<uint32_t>(k);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const bool large = k % 500 == 0;
    FlowProblem p = random_problem(rng, large);
    g.reset();
    if (k % 7 == 3) p.build(g), g.reset();
    std::vector<void*> h = p.build(g, &rng);
    const Graph::InterruptFn stop_always = [](void* n) { return ++*static_cast<int*>(n) > 0; };
    g.set_interrupt(large && k % 1000 == 0 ? stop_always : nullptr, &stops);
    int flow = k % 10 == 1 || large ? GraphTestAccess::maxflow_from_stamp(g, INT_MAX - (large ? 100 : 3))
                                    : g.maxflow();
    while (g.interrupted()) flow = g.maxflow();
    std::vector<bool> ref_side;
    const int64_t ref_flow = reference_maxflow(p, ref_side);
    ASSERT_EQ(flow, GraphTestAccess::total_flow(g));
    ASSERT_EQ(verify_solved(g, p, h), ref_flow);
    for (int v = 0; v < p.nodes; ++v) ASSERT_EQ(g.what_segment(h[v]), ref_side[v] ? 0 : 1) << "node " << v;
  }
  EXPECT_GT(stops, 5);
}

}  // namespace
