// Graph building: the order in which a node's arc lists are read, and the
// limit on the arcs of a node.
#include "flow/graph.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "tests/flow/flow_check.h"

namespace {

// Arcs named by their capacities 1, 2, 3, 4, added in the order n1->n0,
// n0->n2, n0->n1, n2->n1: every list reads its newest arc first.
TEST(GraphLayout, ListsReadNewestArcFirst) {
  Graph g;
  std::vector<void*> n = {g.add_node(), g.add_node(), g.add_node()};
  const int arcs[][2] = {{1, 0}, {0, 2}, {0, 1}, {2, 1}};
  for (int k = 0; k < 4; ++k) g.add_edge(n[arcs[k][0]], n[arcs[k][1]], k + 1, 0);
  const std::vector<std::vector<int>> out = {{3, 2}, {1}, {4}}, in = {{1}, {4, 3}, {2}};
  for (uint32_t v = 0; v < 3; ++v) {
    for (bool incoming : {false, true}) {
      std::vector<int> caps;
      for (const auto& a : GraphTestAccess::arcs(g, v, incoming)) caps.push_back(a.res_cap);
      EXPECT_EQ(caps, (incoming ? in : out)[v]) << (incoming ? "incoming of " : "outgoing of ") << v;
    }
  }
}

void print_error(char* msg) { std::fprintf(stderr, "error: %s\n", msg); }

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
