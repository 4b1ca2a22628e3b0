// Test-only helpers for the engine: read access to a graph's internals, a
// recorded problem that can be built into a Graph, a deliberately simple
// reference max-flow (Edmonds-Karp on an adjacency matrix), and a verifier
// run after the solves.
#ifndef DTICUT_TESTS_FLOW_FLOW_CHECK_H
#define DTICUT_TESTS_FLOW_FLOW_CHECK_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "flow/graph.h"

class GraphTestAccess {
 public:
  struct Arc {
    const void* record;  // the arc's slot, to match outgoing and incoming lists
    uint32_t other;      // number of the head (outgoing list) or the tail (incoming)
    int res_cap, res_rev_cap;
  };

  static int total_flow(const Graph& g) { return g.total_flow; }
  static int term_cap(void* node) { return static_cast<Graph::node_st*>(node)->term_cap; }
  static uint32_t node_count(const Graph& g) { return g.node_count; }

  // The outgoing (or incoming) arcs of node number i, in the order the search
  // scans them.
  static std::vector<Arc> arcs(const Graph& g, uint32_t i, bool incoming) {
    std::vector<Arc> result;
    const Graph::node_st* n = g.node_at(i);
    for (uint32_t k = incoming ? n->first_in : n->first_out; k != Graph::NO_ARC;) {
      const Graph::arc_st* a = g.arc_at(k);
      k = incoming ? a->next_in : a->next_out;
      result.push_back({a, incoming ? i - a->head_offset : i + a->head_offset, a->res_cap, a->res_rev_cap});
    }
    return result;
  }

  // maxflow with the scan counter started at `stamp` instead of 0.
  static int maxflow_from_stamp(Graph& g, int stamp) {
    g.prepare_graph();
    g.maxflow_init();
    g.cur_stamp = stamp;
    return g.run_search();
  }
};

// A problem recorded as it is built, so that it can be checked independently.
struct FlowProblem {
  struct Edge {
    int from, to, cap, rev_cap;
  };
  struct Terminal {
    int node, cap_source, cap_sink;
    bool set;  // set_tweights instead of add_tweights
  };
  int nodes = 0;
  std::vector<Edge> edges;
  std::vector<Terminal> terminals;

  // Adds all nodes (node v gets number v), then the edges and terminal
  // updates, each list in its order: edges first, or interleaved at random
  // when `rng` is given.
  std::vector<void*> build(Graph& g, std::mt19937* rng = nullptr) const {
    std::vector<void*> h(nodes);
    for (void*& node : h) node = g.add_node();
    for (size_t e = 0, t = 0; e < edges.size() || t < terminals.size();) {
      if (t < terminals.size() && (e == edges.size() || (rng && (*rng)() % 2))) {
        const Terminal& x = terminals[t++];
        (g.*(x.set ? &Graph::set_tweights : &Graph::add_tweights))(h[x.node], x.cap_source, x.cap_sink);
      } else {
        const Edge& x = edges[e++];
        g.add_edge(h[x.from], h[x.to], x.cap, x.rev_cap);
      }
    }
    return h;
  }

  // Net terminal capacity of every node (source minus sink) and the constant
  // that every cut pays, as the terminal operations define them.
  void terminal_sums(std::vector<int64_t>& net, int64_t& constant) const {
    std::vector<int64_t> src(nodes, 0), snk(nodes, 0);
    constant = 0;
    for (const Terminal& x : terminals) {
      if (x.set) {
        constant += std::min(src[x.node], snk[x.node]);
        src[x.node] = snk[x.node] = 0;
      }
      src[x.node] += x.cap_source;
      snk[x.node] += x.cap_sink;
    }
    net.assign(nodes, 0);
    for (int v = 0; v < nodes; ++v) {
      constant += std::min(src[v], snk[v]);
      net[v] = src[v] - snk[v];
    }
  }
};

// Edmonds-Karp on an adjacency matrix of capacities. Returns the flow value;
// `reached` tells which nodes the source reaches in the final residual graph.
inline int64_t matrix_maxflow(std::vector<std::vector<int64_t>> cap, int s, int t,
                              std::vector<bool>& reached) {
  const int n = static_cast<int>(cap.size());
  std::vector<std::vector<int>> adj(n);
  for (int u = 0; u < n; ++u) {
    for (int v = 0; v < n; ++v) {
      if (u != v && (cap[u][v] > 0 || cap[v][u] > 0)) adj[u].push_back(v);
    }
  }
  for (int64_t flow = 0;;) {
    std::vector<int> prev(n, -1);
    prev[s] = s;
    for (std::deque<int> queue{s}; !queue.empty(); queue.pop_front()) {
      for (int v : adj[queue.front()]) {
        if (prev[v] < 0 && cap[queue.front()][v] > 0) prev[v] = queue.front(), queue.push_back(v);
      }
    }
    if (prev[t] < 0) {
      reached.assign(n, false);
      for (int v = 0; v < n; ++v) reached[v] = prev[v] >= 0;
      return flow;
    }
    int64_t b = INT64_MAX;
    for (int v = t; v != s; v = prev[v]) b = std::min(b, cap[prev[v]][v]);
    for (int v = t; v != s; v = prev[v]) cap[prev[v]][v] -= b, cap[v][prev[v]] += b;
    flow += b;
  }
}

// The reference for a recorded problem: the flow value without the constant,
// and the nodes on the source side of the smallest minimum cut.
inline int64_t reference_maxflow(const FlowProblem& p, std::vector<bool>& source_side) {
  const int s = p.nodes, t = p.nodes + 1;
  std::vector<std::vector<int64_t>> cap(p.nodes + 2, std::vector<int64_t>(p.nodes + 2, 0));
  std::vector<int64_t> net;
  int64_t constant;
  p.terminal_sums(net, constant);
  for (int v = 0; v < p.nodes; ++v) (net[v] > 0 ? cap[s][v] : cap[v][t]) += std::abs(net[v]);
  for (const FlowProblem::Edge& e : p.edges) {
    cap[e.from][e.to] += e.cap;
    cap[e.to][e.from] += e.rev_cap;
  }
  int64_t flow = matrix_maxflow(cap, s, t, source_side);
  source_side.resize(p.nodes);
  return flow;
}

// Checks a graph solved after `p.build`: every arc stored once, in its tail's
// outgoing list and its head's incoming list, with the capacities it was
// added with (as the sum of its residuals); residuals within bounds; flow
// conserved; the reported source side exactly what the source reaches in the
// residual graph, with no residual link to the sink, and a cut value equal to
// the flow. Returns the flow pushed (without the constant).
inline int64_t verify_solved(Graph& g, const FlowProblem& p, const std::vector<void*>& h) {
  const int n = p.nodes;
  std::vector<int64_t> net, excess(n, 0);
  int64_t constant, flow = 0, cut = 0;
  p.terminal_sums(net, constant);
  std::multiset<std::tuple<int, int, int64_t>> stored, added;
  std::multiset<std::tuple<const void*, int, int>> listed_out, listed_in;  // (arc, tail, head)
  std::vector<std::vector<int>> residual(n);
  for (int v = 0; v < n; ++v) {
    const int64_t res = GraphTestAccess::term_cap(h[v]);
    EXPECT_TRUE(net[v] >= 0 ? res >= 0 && res <= net[v] : res <= 0 && res >= net[v]) << v;
    excess[v] += net[v] - res;
    if (net[v] > 0) flow += net[v] - res;
    for (const auto& a : GraphTestAccess::arcs(g, v, false)) {
      const int w = static_cast<int>(a.other);
      EXPECT_TRUE(a.res_cap >= 0 && a.res_rev_cap >= 0) << v << "->" << w;
      stored.insert({v, w, int64_t{a.res_cap} + a.res_rev_cap});
      listed_out.insert({a.record, v, w});
      excess[v] += a.res_cap;
      excess[w] -= a.res_cap;
      if (a.res_cap) residual[v].push_back(w);
      if (a.res_rev_cap) residual[w].push_back(v);
    }
    for (const auto& a : GraphTestAccess::arcs(g, v, true)) listed_in.insert({a.record, static_cast<int>(a.other), v});
  }
  for (const auto& e : p.edges) {
    if (e.from == e.to) continue;
    added.insert({e.from, e.to, int64_t{e.cap} + e.rev_cap});
    excess[e.from] -= e.cap;
    excess[e.to] += e.cap;
  }
  EXPECT_TRUE(stored == added) << "stored arcs differ from the added ones";
  EXPECT_TRUE(listed_out == listed_in) << "outgoing and incoming lists disagree";
  for (int v = 0; v < n; ++v) EXPECT_EQ(excess[v], 0) << "flow not conserved at " << v;
  EXPECT_EQ(GraphTestAccess::total_flow(g), constant + flow);

  std::vector<bool> reach(n, false);
  std::deque<int> queue;
  for (int v = 0; v < n; ++v) {
    if (GraphTestAccess::term_cap(h[v]) > 0) reach[v] = true, queue.push_back(v);
  }
  for (; !queue.empty(); queue.pop_front()) {
    EXPECT_GE(GraphTestAccess::term_cap(h[queue.front()]), 0) << "augmenting path left";
    for (int w : residual[queue.front()]) {
      if (!reach[w]) reach[w] = true, queue.push_back(w);
    }
  }
  for (int v = 0; v < n; ++v) {
    EXPECT_EQ(g.what_segment(h[v]) == 0, reach[v]) << "node " << v;
    cut += reach[v] ? std::max<int64_t>(-net[v], 0) : std::max<int64_t>(net[v], 0);
  }
  for (const auto& e : p.edges) cut += reach[e.from] && !reach[e.to] ? e.cap : !reach[e.from] && reach[e.to] ? e.rev_cap : 0;
  EXPECT_EQ(cut, flow) << "cut value differs from the flow";
  return flow;
}

#endif  // DTICUT_TESTS_FLOW_FLOW_CHECK_H
