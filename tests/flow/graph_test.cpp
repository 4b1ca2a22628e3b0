// Graph building and the layout step: terminal bookkeeping, chunk boundaries,
// the order of arcs and references in their ranges, and the fatal limits.
#include "flow/graph.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "tests/flow/flow_check.h"

namespace {

void print_error(char* msg) { std::fprintf(stderr, "error: %s\n", msg); }

// The capacities of a range, which the layout tests use as arc names.
std::vector<int> caps(const std::vector<GraphTestAccess::Arc>& arcs) {
  std::vector<int> c;
  for (const auto& a : arcs) c.push_back(a.res_cap);
  return c;
}

using Caps = std::vector<int>;

TEST(GraphTerminals, AddTweightsKeepsTheDifferenceAndCollectsTheCommonPart) {
  Graph g;
  void* n = g.add_node();
  g.add_tweights(n, 5, 3);
  EXPECT_EQ(GraphTestAccess::total_flow(g), 3);
  EXPECT_EQ(GraphTestAccess::term_cap(n), 2);
  g.add_tweights(n, 0, 4);
  EXPECT_EQ(GraphTestAccess::total_flow(g), 5);
  EXPECT_EQ(GraphTestAccess::term_cap(n), -2);
  // Negative values follow the same two steps.
  g.add_tweights(n, -1, -6);
  EXPECT_EQ(GraphTestAccess::total_flow(g), 5 - 4);
  EXPECT_EQ(GraphTestAccess::term_cap(n), 3);
}

TEST(GraphTerminals, SetTweightsReplacesTheNodeButKeepsWhatWasCollected) {
  Graph g;
  void* n = g.add_node();
  g.add_tweights(n, 5, 3);
  g.set_tweights(n, 1, 7);
  EXPECT_EQ(GraphTestAccess::total_flow(g), 3 + 1);
  EXPECT_EQ(GraphTestAccess::term_cap(n), -6);
}

TEST(GraphChunks, FiveHundredTwelfthNodeOpensASecondChunkThatIsWalkedFirst) {
  Graph g;
  std::vector<void*> nodes;
  for (int k = 0; k < 511; ++k) nodes.push_back(g.add_node());
  EXPECT_EQ(GraphTestAccess::node_chunks(g), 1);
  EXPECT_EQ(GraphTestAccess::node_order(g), nodes);
  nodes.push_back(g.add_node());
  EXPECT_EQ(GraphTestAccess::node_chunks(g), 2);
  std::vector<void*> expected = {nodes[511]};
  expected.insert(expected.end(), nodes.begin(), nodes.begin() + 511);
  EXPECT_EQ(GraphTestAccess::node_order(g), expected);
}

TEST(GraphLayout, ArcsAndReferencesOfThreeNodes) {
  Graph g;
  void* n0 = g.add_node();
  void* n1 = g.add_node();
  void* n2 = g.add_node();
  g.add_edge(n1, n0, 1, 0);
  g.add_edge(n0, n2, 2, 0);
  g.add_edge(n0, n1, 3, 0);
  g.add_edge(n2, n1, 4, 0);
  GraphTestAccess::layout(g);
  EXPECT_EQ(caps(GraphTestAccess::out_arcs(n0)), (Caps{2, 3}));
  EXPECT_EQ(caps(GraphTestAccess::out_arcs(n1)), (Caps{1}));
  EXPECT_EQ(caps(GraphTestAccess::out_arcs(n2)), (Caps{4}));
  EXPECT_EQ(caps(GraphTestAccess::in_arcs(n0)), (Caps{1}));
  EXPECT_EQ(caps(GraphTestAccess::in_arcs(n1)), (Caps{4, 3}));
  EXPECT_EQ(caps(GraphTestAccess::in_arcs(n2)), (Caps{2}));
  for (void* n : {n0, n1, n2}) {
    for (const auto& a : GraphTestAccess::out_arcs(n)) EXPECT_EQ(a.tail, n);
    for (const auto& a : GraphTestAccess::in_arcs(n)) EXPECT_EQ(a.head, n);
  }
}

TEST(GraphLayout, LastNodeOfAChunkReadsItsRangeThroughTheMark) {
  Graph g;
  void* n[4];
  for (auto& x : n) x = g.add_node();
  g.add_edge(n[0], n[1], 1, 0);
  g.add_edge(n[0], n[2], 2, 0);
  g.add_edge(n[0], n[3], 3, 0);
  g.add_edge(n[1], n[2], 4, 0);
  g.add_edge(n[2], n[3], 5, 0);
  GraphTestAccess::layout(g);
  EXPECT_EQ(caps(GraphTestAccess::out_arcs(n[0])), (Caps{2, 3, 1}));
  EXPECT_EQ(caps(GraphTestAccess::out_arcs(n[1])), (Caps{4}));
  EXPECT_EQ(caps(GraphTestAccess::out_arcs(n[2])), (Caps{5}));
  EXPECT_EQ(caps(GraphTestAccess::out_arcs(n[3])), (Caps{}));
  EXPECT_EQ(caps(GraphTestAccess::in_arcs(n[2])), (Caps{4, 2}));
  EXPECT_EQ(caps(GraphTestAccess::in_arcs(n[3])), (Caps{3, 5}));
}

TEST(GraphLayout, GraphWithoutArcsGainsTwoNodesAndOneArc) {
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
  auto extra = GraphTestAccess::out_arcs(order[2]);
  ASSERT_EQ(extra.size(), 1u);
  EXPECT_EQ(extra[0].head, order[3]);
  EXPECT_EQ(extra[0].res_cap, 1);
  EXPECT_EQ(extra[0].res_rev_cap, 0);

  Graph empty;
  EXPECT_EQ(empty.maxflow(), 0);
}

// Node 0 sends `out` arcs to node 1 and receives `in` arcs from node 2.
void build_star(Graph& g, int out, int in) {
  void* hub = g.add_node();
  void* a = g.add_node();
  void* b = g.add_node();
  g.add_tweights(hub, 2 * out, 0);
  g.add_tweights(a, 0, out);
  g.add_tweights(b, in, 0);
  for (int k = 0; k < out; ++k) g.add_edge(hub, a, 1, 0);
  for (int k = 0; k < in; ++k) g.add_edge(b, hub, 1, 0);
}

TEST(GraphLimits, NodeWithExactly1024ArcsEachWayIsAccepted) {
  Graph g;
  build_star(g, 1024, 1024);
  EXPECT_EQ(g.maxflow(), 1024);
}

TEST(GraphLimits, ArcsFromANodeToItselfAreDroppedAndDoNotCount) {
  FlowProblem p;
  p.nodes = 3;
  p.terminals = {{0, 9, 0, false}, {2, 0, 9, false}};
  for (int k = 0; k < 1024; ++k) p.edges.push_back({0, 1 + k % 2, 1, 0});
  p.edges.push_back({0, 0, 5, 5});
  p.edges.push_back({2, 2, 7, 0});
  Graph g;
  std::vector<void*> h = p.build(g);
  EXPECT_EQ(g.maxflow(), 9);
  verify_solved(g, p, h);
  EXPECT_EQ(GraphTestAccess::out_arcs(h[0]).size(), 1024u);
  EXPECT_EQ(GraphTestAccess::out_arcs(h[2]).size(), 0u);
}

TEST(GraphLimitsDeathTest, MoreThan1024ArcsAtANodeEndTheProcess) {
  const char* msg = "error: # of arcs per node exceeds block size!";
  EXPECT_EXIT(
      {
        Graph g(print_error);
        build_star(g, 1025, 1);
        g.maxflow();
      },
      ::testing::ExitedWithCode(1), msg);
  EXPECT_EXIT(
      {
        Graph g(print_error);
        build_star(g, 1, 1025);
        g.maxflow();
      },
      ::testing::ExitedWithCode(1), msg);
  // Without an error function the exit is silent.
  EXPECT_EXIT(
      {
        Graph g;
        build_star(g, 1025, 1);
        g.maxflow();
      },
      ::testing::ExitedWithCode(1), "^$");
}

TEST(GraphLimitsDeathTest, NodesTooFarApartForAnArcOffsetEndTheProcess) {
  EXPECT_EXIT(
      {
        Graph g(print_error);
        void* a = g.add_node();
        // A handle 4 GiB away: the check comes before anything is read or
        // written through it.
        void* far = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(a) + (std::uintptr_t{1} << 32));
        g.add_edge(a, far, 1, 1);
      },
      ::testing::ExitedWithCode(1), "error: Node records too far apart for a 32-bit arc offset!");
}

TEST(GraphLayout, RangesThatDoNotFitOpenNewChunks) {
  // Three nodes with 600 outgoing arcs each need three chunks, where the
  // 1800 arcs came in two: the layout opens one. The 450 references of each
  // of the four heads fit into the two reference chunks.
  FlowProblem p;
  p.nodes = 7;
  for (int v = 0; v < 3; ++v) {
    p.terminals.push_back({v, 700, 0, false});
    for (int k = 0; k < 600; ++k) p.edges.push_back({v, 3 + k % 4, 1, k % 3});
  }
  for (int v = 3; v < 7; ++v) p.terminals.push_back({v, 0, 300, false});
  Graph g;
  std::vector<void*> h = p.build(g);
  EXPECT_EQ(GraphTestAccess::arc_chunks(g), 2);
  EXPECT_EQ(g.maxflow(), 1200);
  EXPECT_EQ(GraphTestAccess::arc_chunks(g), 3);
  EXPECT_EQ(GraphTestAccess::ref_chunks(g), 2);
  verify_solved(g, p, h);
}

}  // namespace
