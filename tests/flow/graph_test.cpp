// Graph building and the layout step: chunk boundaries, the order of arcs
// and references in their ranges, and the fatal limits.
#include "flow/graph.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "tests/flow/flow_check.h"

namespace {

void print_error(char* msg) { std::fprintf(stderr, "error: %s\n", msg); }

using Caps = std::vector<int>;

// The forward capacities of a node's range, which the layout tests use as
// arc names.
Caps caps(void* node, bool incoming) {
  Caps c;
  for (const auto& a : GraphTestAccess::arcs(node, incoming)) c.push_back(a.res_cap);
  return c;
}

TEST(GraphLayout, FiveHundredTwelfthNodeOpensASecondChunkThatIsWalkedFirst) {
  Graph g;
  std::vector<void*> nodes;
  for (int k = 0; k < 511; ++k) nodes.push_back(g.add_node());
  EXPECT_EQ(GraphTestAccess::node_order(g), nodes);
  nodes.insert(nodes.begin(), g.add_node());
  EXPECT_EQ(GraphTestAccess::node_order(g), nodes);
}

// Lays out arcs k = 1, 2, ... (capacity k) between `nodes` fresh nodes and
// compares every node's ranges.
void expect_layout(int nodes, const std::vector<std::pair<int, int>>& arcs, const std::vector<Caps>& out,
                   const std::vector<Caps>& in) {
  Graph g;
  std::vector<void*> n;
  for (int k = 0; k < nodes; ++k) n.push_back(g.add_node());
  for (size_t k = 0; k < arcs.size(); ++k) g.add_edge(n[arcs[k].first], n[arcs[k].second], int(k) + 1, 0);
  GraphTestAccess::layout(g);
  for (int k = 0; k < nodes; ++k) {
    EXPECT_EQ(caps(n[k], false), out[k]) << "outgoing of " << k;
    EXPECT_EQ(caps(n[k], true), in[k]) << "incoming of " << k;
  }
}

TEST(GraphLayout, RangesReadInTheOrderTheLayoutProduces) {
  expect_layout(3, {{1, 0}, {0, 2}, {0, 1}, {2, 1}}, {{2, 3}, {1}, {4}}, {{1}, {4, 3}, {2}});
  // The last node of the chunk reads its empty range through the mark.
  expect_layout(4, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {2, 3}}, {{2, 3, 1}, {4}, {5}, {}},
                {{}, {1}, {4, 2}, {3, 5}});
}

TEST(GraphLayout, GraphWithoutArcsGainsTwoNodesAndOneArcThatCarryNothing) {
  Graph g;
  void* a = g.add_node();
  void* b = g.add_node();
  g.add_tweights(a, 4, 1);
  g.add_tweights(b, 0, 2);
  EXPECT_EQ(g.maxflow(), 1);
  EXPECT_EQ(g.what_segment(a), 0);
  EXPECT_EQ(g.what_segment(b), 1);
  std::vector<void*> order = GraphTestAccess::node_order(g);
  ASSERT_EQ(order.size(), 4u);
  auto extra = GraphTestAccess::arcs(order[2], false);
  ASSERT_EQ(extra.size(), 1u);
  EXPECT_EQ(extra[0].head, order[3]);
  EXPECT_EQ(extra[0].res_cap, 1);
  EXPECT_EQ(extra[0].res_rev_cap, 0);
  Graph empty;
  EXPECT_EQ(empty.maxflow(), 0);
}

// Node 0 sends `out` arcs to node 1 and receives `in` arcs from node 2; arcs
// from node 0 to itself come on top.
FlowProblem star(int out, int in, int loops) {
  FlowProblem p;
  p.nodes = 3;
  p.terminals = {{0, 2 * out, 0, false}, {1, 0, out, false}, {2, in, 0, false}};
  for (int k = 0; k < out; ++k) p.edges.push_back({0, 1, 1, 0});
  for (int k = 0; k < in; ++k) p.edges.push_back({2, 0, 1, 0});
  for (int k = 0; k < loops; ++k) p.edges.push_back({0, 0, 5, 5});
  return p;
}

TEST(GraphLimits, ExactlyFullRangesAreAcceptedAndArcsToItselfAreDropped) {
  FlowProblem p = star(1024, 1024, 10);
  Graph g;
  std::vector<void*> h = p.build(g);
  EXPECT_EQ(g.maxflow(), 1024);
  verify_solved(g, p, h);
}

TEST(GraphLimitsDeathTest, MoreThan1024ArcsAtANodeEndTheProcess) {
  auto solve = [](FlowProblem p, void (*on_error)(char*)) {
    Graph g(on_error);
    p.build(g);
    g.maxflow();
  };
  EXPECT_EXIT(solve(star(1025, 1, 0), print_error), ::testing::ExitedWithCode(1),
              "^error: # of arcs per node exceeds block size!\n$");
  EXPECT_EXIT(solve(star(1, 1025, 0), nullptr), ::testing::ExitedWithCode(1), "^$");
}

TEST(GraphLimitsDeathTest, NodesTooFarApartForAnArcOffsetEndTheProcess) {
  Graph g(print_error);
  void* a = g.add_node();
  // A handle 4 GiB away: the check comes before anything is read or written
  // through it.
  void* far = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(a) + (std::uintptr_t{1} << 32));
  EXPECT_EXIT(g.add_edge(a, far, 1, 1), ::testing::ExitedWithCode(1),
              "error: Node records too far apart for a 32-bit arc offset!");
}

}  // namespace
