// The two-tree search: hand-made cases whose trees are known, and random
// graphs checked against Edmonds-Karp and the full verifier.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <vector>

#include "flow/graph.h"
#include "tests/flow/flow_check.h"

namespace {

TEST(MaxflowCases, NoTerminalCapacityLeavesEveryNodeOnTheSinkSide) {
  Graph g;
  void* a = g.add_node();
  void* b = g.add_node();
  g.add_edge(a, b, 3, 4);
  g.add_tweights(b, 2, 2);
  EXPECT_EQ(g.maxflow(), 2);
  EXPECT_EQ(g.what_segment(a), 1);
  EXPECT_EQ(g.what_segment(b), 1);
}

TEST(MaxflowCases, BothEndsOfAnUnsaturatedPathStayInTheSourceTree) {
  Graph g;
  void* a = g.add_node();
  void* b = g.add_node();
  g.add_tweights(a, 5, 0);
  g.add_tweights(b, 0, 3);
  g.add_edge(a, b, 4, 0);
  EXPECT_EQ(g.maxflow(), 3);
  EXPECT_EQ(g.what_segment(a), 0);
  EXPECT_EQ(g.what_segment(b), 0);
  EXPECT_EQ(GraphTestAccess::term_cap(a), 2);
  auto arcs = GraphTestAccess::out_arcs(a);
  ASSERT_EQ(arcs.size(), 1u);
  EXPECT_EQ(arcs[0].res_cap, 1);
  EXPECT_EQ(arcs[0].res_rev_cap, 3);
}

TEST(MaxflowCases, NodeWithoutArcsSidesWithItsTerminal) {
  Graph g;
  void* pos = g.add_node();
  void* neg = g.add_node();
  g.add_tweights(pos, 2, 0);
  g.add_tweights(neg, 0, 2);
  EXPECT_EQ(g.maxflow(), 0);
  EXPECT_EQ(g.what_segment(pos), 0);
  EXPECT_EQ(g.what_segment(neg), 1);
}

TEST(MaxflowCases, ArcWithoutResidualInTheNeededDirectionJoinsNothing) {
  Graph g;
  void* s = g.add_node();
  void* x = g.add_node();
  void* t = g.add_node();
  g.add_tweights(s, 5, 0);
  g.add_tweights(t, 0, 5);
  g.add_edge(s, x, 0, 5);
  g.add_edge(x, t, 0, 5);
  EXPECT_EQ(g.maxflow(), 0);
  EXPECT_EQ(g.what_segment(s), 0);
  EXPECT_EQ(g.what_segment(x), 1);
  EXPECT_EQ(g.what_segment(t), 1);
}

TEST(MaxflowCases, SinkNodeMeetingTheSourceTreeTwiceAugmentsThroughItsIncomingArc) {
  // t is activated first and grows: its outgoing arc reaches s1, then its
  // incoming arc reaches s2; the sink link (3) is used up by the path
  // through s2 alone.
  Graph g;
  void* t = g.add_node();
  void* s1 = g.add_node();
  void* s2 = g.add_node();
  g.add_tweights(t, 0, 3);
  g.add_tweights(s1, 5, 0);
  g.add_tweights(s2, 5, 0);
  g.add_edge(t, s1, 0, 5);
  g.add_edge(s2, t, 5, 0);
  EXPECT_EQ(g.maxflow(), 3);
  EXPECT_EQ(GraphTestAccess::term_cap(s1), 5);
  EXPECT_EQ(GraphTestAccess::term_cap(s2), 2);
}

TEST(MaxflowCases, ScanCounterStartsAgainBeforeItOverflows) {
  // Random graphs solved with the counter a few steps below its limit give
  // the same flow and cut as a normal run.
  for (uint32_t seed = 1; seed <= 50; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    FlowProblem p;
    p.nodes = 30;
    for (int v = 0; v < p.nodes; ++v) {
      p.terminals.push_back({v, static_cast<int>(rng() % 20), static_cast<int>(rng() % 20), false});
    }
    for (int k = 0; k < 90; ++k) {
      p.edges.push_back({static_cast<int>(rng() % 30), static_cast<int>(rng() % 30),
                         static_cast<int>(rng() % 10), static_cast<int>(rng() % 10)});
    }
    Graph g;
    std::vector<void*> h = p.build(g);
    int flow = GraphTestAccess::maxflow_from_stamp(g, INT_MAX - 3);
    std::vector<bool> ref_side;
    int64_t constant;
    std::vector<int64_t> net;
    p.terminal_sums(net, constant);
    EXPECT_EQ(flow, constant + reference_maxflow(p, ref_side));
    verify_solved(g, p, h);
  }
}

// Random graphs: mostly small, with parallel arcs, zero capacities, arcs
// from a node to itself, isolated nodes and positive and negative terminal
// updates; every 500th spans several node and arc chunks with hub nodes whose
// ranges do not fit into what is left of a chunk.
FlowProblem random_problem(std::mt19937& rng, bool large) {
  auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
  FlowProblem p;
  p.nodes = large ? pick(500, 1600) : pick(0, 12);
  if (p.nodes == 0) return p;
  const int max_cap = pick(0, 3) == 0 ? 1 : 20;
  auto cap = [&] { return pick(0, 3) == 0 ? 0 : pick(0, max_cap); };
  int edges = large ? pick(p.nodes, 3 * p.nodes) : pick(0, 3 * p.nodes);
  for (int k = 0; k < edges; ++k) {
    FlowProblem::Edge e = {pick(0, p.nodes - 1), pick(0, p.nodes - 1), cap(), cap()};
    p.edges.push_back(e);
    if (pick(0, 5) == 0) p.edges.push_back(e);  // a parallel arc
  }
  if (large) {
    std::vector<int> nodes(p.nodes);
    for (int v = 0; v < p.nodes; ++v) nodes[v] = v;
    std::shuffle(nodes.begin(), nodes.end(), rng);
    for (int hub = pick(3, 10); hub > 0; --hub) {
      int v = nodes[hub];
      for (int k = pick(500, 1000); k > 0; --k) {
        int w = pick(0, p.nodes - 1);
        p.edges.push_back(pick(0, 1) ? FlowProblem::Edge{v, w, cap(), cap()}
                                     : FlowProblem::Edge{w, v, cap(), cap()});
      }
    }
    std::shuffle(p.edges.begin(), p.edges.end(), rng);
  }
  int updates = large ? pick(p.nodes / 10, p.nodes / 3) : pick(0, 2 * p.nodes);
  for (int k = 0; k < updates; ++k) {
    p.terminals.push_back({pick(0, p.nodes - 1), pick(-max_cap, 2 * max_cap),
                           pick(-max_cap, 2 * max_cap), pick(0, 15) == 0});
  }
  return p;
}

TEST(MaxflowRandom, MatchesEdmondsKarpAndLeavesTheSmallestSourceSide) {
  const uint32_t base_seed = 20240611;
  std::printf("random max-flow graphs: base seed %u\n", base_seed);
  for (int k = 0; k < 10000; ++k) {
    const uint32_t seed = base_seed + static_cast<uint32_t>(k);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    FlowProblem p = random_problem(rng, k % 500 == 0);
    // Terminal updates interleaved with the arcs at random.
    std::vector<bool> order;
    for (size_t i = 0; i < p.edges.size() + p.terminals.size(); ++i) order.push_back(rng() % 2);

    Graph g;
    std::vector<void*> h = p.build(g, order);
    int flow = g.maxflow();

    std::vector<int64_t> net;
    int64_t constant;
    p.terminal_sums(net, constant);
    std::vector<bool> ref_side;
    int64_t ref_flow = reference_maxflow(p, ref_side);
    ASSERT_EQ(flow, constant + ref_flow);
    for (int v = 0; v < p.nodes; ++v) {
      ASSERT_EQ(g.what_segment(h[v]), ref_side[v] ? 0 : 1) << "node " << v;
    }
    ASSERT_EQ(verify_solved(g, p, h), ref_flow);
    if (::testing::Test::HasFailure()) break;
  }
}

}  // namespace
