// Graph building and the layout step: chunk and segment boundaries, the order
// in which a node's arc lists are read, and the fatal limits.
#include "flow/graph.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "tests/flow/flow_check.h"

namespace {

void print_error(char* msg) { std::fprintf(stderr, "error: %s\n", msg); }

using Caps = std::vector<int>;

// The forward capacities of a node's list, which the layout tests use as arc
// names.
Caps caps(const Graph& g, void* node, bool incoming) {
  Caps c;
  for (const auto& a : GraphTestAccess::arcs(g, node, incoming)) c.push_back(a.res_cap);
  return c;
}

TEST(GraphLayout, NodesAreWalkedInTheOrderTheyWereAddedAcrossChunks) {
  Graph g;
  std::vector<void*> nodes;
  for (int k = 0; k < 1024; ++k) nodes.push_back(g.add_node());
  EXPECT_EQ(GraphTestAccess::node_order(g), nodes);
  nodes.push_back(g.add_node());  // the first node of the second chunk
  nodes.push_back(g.add_node());
  EXPECT_EQ(GraphTestAccess::node_order(g), nodes);
}

// Lays out arcs k = 1, 2, ... (capacity k) between `nodes` fresh nodes and
// compares every node's lists.
void expect_layout(int nodes, const std::vector<std::pair<int, int>>& arcs, const std::vector<Caps>& out,
                   const std::vector<Caps>& in) {
  Graph g;
  std::vector<void*> n;
  for (int k = 0; k < nodes; ++k) n.push_back(g.add_node());
  for (size_t k = 0; k < arcs.size(); ++k) g.add_edge(n[arcs[k].first], n[arcs[k].second], int(k) + 1, 0);
  GraphTestAccess::layout(g);
  for (int k = 0; k < nodes; ++k) {
    EXPECT_EQ(caps(g, n[k], false), out[k]) << "outgoing of " << k;
    EXPECT_EQ(caps(g, n[k], true), in[k]) << "incoming of " << k;
  }
}

TEST(GraphLayout, ListsReadNewestArcFirst) {
  expect_layout(3, {{1, 0}, {0, 2}, {0, 1}, {2, 1}}, {{3, 2}, {1}, {4}}, {{1}, {4, 3}, {2}});
  expect_layout(4, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {2, 3}}, {{3, 2, 1}, {4}, {5}, {}},
                {{}, {1}, {4, 2}, {5, 3}});
}

TEST(GraphLayout, GraphWithoutArcsIsSolvedByItsTerminals) {
  Graph g;
  void* a = g.add_node();
  void* b = g.add_node();
  g.add_tweights(a, 4, 1);
  g.add_tweights(b, 0, 2);
  EXPECT_EQ(g.maxflow(), 1);
  EXPECT_EQ(g.what_segment(a), 0);
  EXPECT_EQ(g.what_segment(b), 1);
  EXPECT_EQ(GraphTestAccess::node_order(g).size(), 2u);
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

}  // namespace
