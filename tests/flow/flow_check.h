// Test-only helpers for the engine: read access to a graph's internals, a
// recorded problem that can be built into a Graph, a deliberately simple
// reference max-flow (Edmonds-Karp on an adjacency matrix), and a verifier
// run after every solve.
#ifndef DTICUT_TESTS_FLOW_FLOW_CHECK_H
#define DTICUT_TESTS_FLOW_FLOW_CHECK_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <tuple>
#include <vector>

#include "flow/graph.h"

// Reads what the engine keeps private: chunks, node order, ranges, residuals.
class GraphTestAccess {
 public:
  struct Arc {
    const void* record;  // the arc's slot, to match outgoing and incoming ranges
    void* tail;
    void* head;
    int res_cap;
    int res_rev_cap;
  };

  static int total_flow(const Graph& g) { return g.total_flow; }
  static int term_cap(void* node) { return static_cast<Graph::node_st*>(node)->term_cap; }

  template <class Chunk>
  static int count(const Chunk* c) {
    int n = 0;
    for (; c; c = c->next_chunk) ++n;
    return n;
  }
  static int node_chunks(const Graph& g) { return count(g.node_blocks); }
  static int arc_chunks(const Graph& g) { return count(g.arc_blocks); }
  static int ref_chunks(const Graph& g) { return count(g.ref_blocks); }

  // Every node, in the order in which the engine walks them.
  static std::vector<void*> node_order(const Graph& g) {
    std::vector<void*> order;
    for (Graph::node_chunk* nc = g.node_blocks; nc; nc = nc->next_chunk) {
      for (Graph::node_st* i = nc->nodes; i < nc->first_free; ++i) order.push_back(i);
    }
    return order;
  }

  // The outgoing arcs of a laid-out node, in range order.
  static std::vector<Arc> out_arcs(void* node) {
    Graph::node_st* i = static_cast<Graph::node_st*>(node);
    Graph::arc_st* a;
    Graph::arc_st* end;
    Graph::out_range(i, a, end);
    std::vector<Arc> arcs;
    for (; a < end; ++a) arcs.push_back({a, i, Graph::shift(i, a->head_offset), a->res_cap, a->res_rev_cap});
    return arcs;
  }

  // The arcs entering a laid-out node, in range order.
  static std::vector<Arc> in_arcs(void* node) {
    Graph::node_st* i = static_cast<Graph::node_st*>(node);
    Graph::arc_ref_st* r;
    Graph::arc_ref_st* end;
    Graph::in_range(i, r, end);
    std::vector<Arc> arcs;
    for (; r < end; ++r) {
      Graph::arc_st* a = r->arc;
      arcs.push_back({a, Graph::unshift(i, a->head_offset), i, a->res_cap, a->res_rev_cap});
    }
    return arcs;
  }

  static void layout(Graph& g) { g.prepare_graph(); }

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

  // Builds into g in the order recorded: all nodes, then edges and terminal
  // updates interleaved as given by `order` (false = next edge, true = next
  // terminal update; remaining ones follow).
  std::vector<void*> build(Graph& g, const std::vector<bool>& order = {}) const {
    std::vector<void*> h(nodes);
    for (int v = 0; v < nodes; ++v) h[v] = g.add_node();
    size_t e = 0, t = 0;
    auto edge = [&] {
      const Edge& x = edges[e++];
      g.add_edge(h[x.from], h[x.to], x.cap, x.rev_cap);
    };
    auto term = [&] {
      const Terminal& x = terminals[t++];
      if (x.set) {
        g.set_tweights(h[x.node], x.cap_source, x.cap_sink);
      } else {
        g.add_tweights(h[x.node], x.cap_source, x.cap_sink);
      }
    };
    for (bool is_term : order) {
      if (is_term && t < terminals.size()) term();
      if (!is_term && e < edges.size()) edge();
    }
    while (e < edges.size()) edge();
    while (t < terminals.size()) term();
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
  int64_t flow = 0;
  std::vector<int> prev(n);
  for (;;) {
    std::fill(prev.begin(), prev.end(), -1);
    prev[s] = s;
    std::deque<int> queue{s};
    while (!queue.empty()) {
      int u = queue.front();
      queue.pop_front();
      for (int v : adj[u]) {
        if (prev[v] < 0 && cap[u][v] > 0) {
          prev[v] = u;
          queue.push_back(v);
        }
      }
    }
    if (prev[t] < 0) break;
    int64_t b = INT64_MAX;
    for (int v = t; v != s; v = prev[v]) b = std::min(b, cap[prev[v]][v]);
    for (int v = t; v != s; v = prev[v]) {
      cap[prev[v]][v] -= b;
      cap[v][prev[v]] += b;
    }
    flow += b;
  }
  reached.assign(n, false);
  for (int v = 0; v < n; ++v) reached[v] = prev[v] >= 0;
  return flow;
}

// The reference for a recorded problem: node `nodes` is the source, `nodes`+1
// the sink, with the net terminal capacities. Returns the flow value without
// the constant, and the nodes on the source side of the smallest minimum cut.
inline int64_t reference_maxflow(const FlowProblem& p, std::vector<bool>& source_side) {
  const int s = p.nodes, t = p.nodes + 1;
  std::vector<std::vector<int64_t>> cap(p.nodes + 2, std::vector<int64_t>(p.nodes + 2, 0));
  std::vector<int64_t> net;
  int64_t constant;
  p.terminal_sums(net, constant);
  for (int v = 0; v < p.nodes; ++v) {
    if (net[v] > 0) cap[s][v] += net[v];
    if (net[v] < 0) cap[v][t] -= net[v];
  }
  for (const FlowProblem::Edge& e : p.edges) {
    cap[e.from][e.to] += e.cap;
    cap[e.to][e.from] += e.rev_cap;
  }
  int64_t flow = matrix_maxflow(cap, s, t, source_side);
  source_side.resize(p.nodes);
  return flow;
}

// Checks a solved graph against its problem: every arc stored once in its
// tail's and its head's range, residuals within bounds, flow conserved, no
// augmenting path left, the reported cut is the residual-reachable set and its
// value equals the flow. Returns the flow value pushed (without the constant).
inline int64_t verify_solved(const Graph& g, const FlowProblem& p, const std::vector<void*>& h) {
  const int n = p.nodes;
  std::map<void*, int> index;
  for (int v = 0; v < n; ++v) index[h[v]] = v;

  // Every arc once in its tail's range and once in its head's range.
  std::multiset<std::tuple<int, int, int64_t>> stored, added;
  std::map<const void*, int> seen_in;
  std::vector<std::vector<GraphTestAccess::Arc>> out(n);
  for (int v = 0; v < n; ++v) {
    out[v] = GraphTestAccess::out_arcs(h[v]);
    for (const auto& a : out[v]) {
      EXPECT_EQ(a.tail, h[v]);
      EXPECT_TRUE(index.count(a.head)) << "arc of node " << v << " leaves the graph";
      EXPECT_GE(a.res_cap, 0);
      EXPECT_GE(a.res_rev_cap, 0);
      stored.insert({v, index[a.head], int64_t{a.res_cap} + a.res_rev_cap});
      seen_in[a.record] = 0;
    }
  }
  for (int v = 0; v < n; ++v) {
    for (const auto& a : GraphTestAccess::in_arcs(h[v])) {
      EXPECT_EQ(a.head, h[v]);
      auto it = seen_in.find(a.record);
      if (it == seen_in.end()) {
        ADD_FAILURE() << "node " << v << " references an arc of no outgoing range";
      } else {
        ++it->second;
      }
    }
  }
  for (const auto& kv : seen_in) EXPECT_EQ(kv.second, 1) << "arc referenced from heads";
  std::vector<int64_t> cap_out(n, 0), cap_in(n, 0);
  for (const auto& e : p.edges) {
    if (e.from == e.to) continue;
    added.insert({e.from, e.to, int64_t{e.cap} + e.rev_cap});
    cap_out[e.from] += e.cap;
    cap_in[e.to] += e.cap;
  }
  EXPECT_TRUE(stored == added) << "stored arcs differ from the added ones";

  // Terminal residuals within their capacity, conservation, flow value.
  std::vector<int64_t> net;
  int64_t constant;
  p.terminal_sums(net, constant);
  int64_t flow = 0;
  std::vector<int64_t> balance(n, 0);
  for (int v = 0; v < n; ++v) {
    int64_t res = GraphTestAccess::term_cap(h[v]);
    if (net[v] >= 0) {
      EXPECT_TRUE(res >= 0 && res <= net[v]) << "node " << v << " source residual " << res;
    } else {
      EXPECT_TRUE(res <= 0 && res >= net[v]) << "node " << v << " sink residual " << res;
    }
    if (net[v] > 0) flow += net[v] - res;
    balance[v] += net[v] - res;
    // Flow on an arc is its capacity minus its residual; parallel arcs only
    // matter through their sums.
    for (const auto& a : out[v]) {
      balance[v] += a.res_cap;
      balance[index[a.head]] -= a.res_cap;
    }
    balance[v] -= cap_out[v];
    balance[v] += cap_in[v];
  }
  for (int v = 0; v < n; ++v) EXPECT_EQ(balance[v], 0) << "flow not conserved at node " << v;
  EXPECT_EQ(GraphTestAccess::total_flow(g), constant + flow);

  // The source side is exactly what the source reaches in the residual graph;
  // it contains no node with residual capacity to the sink.
  std::vector<bool> reach(n, false);
  std::deque<int> queue;
  for (int v = 0; v < n; ++v) {
    if (GraphTestAccess::term_cap(h[v]) > 0) {
      reach[v] = true;
      queue.push_back(v);
    }
  }
  std::vector<std::vector<int>> residual(n);
  for (int v = 0; v < n; ++v) {
    for (const auto& a : out[v]) {
      int w = index[a.head];
      if (a.res_cap > 0) residual[v].push_back(w);
      if (a.res_rev_cap > 0) residual[w].push_back(v);
    }
  }
  while (!queue.empty()) {
    int v = queue.front();
    queue.pop_front();
    EXPECT_GE(GraphTestAccess::term_cap(h[v]), 0) << "augmenting path left through node " << v;
    for (int w : residual[v]) {
      if (!reach[w]) {
        reach[w] = true;
        queue.push_back(w);
      }
    }
  }
  Graph& mg = const_cast<Graph&>(g);
  int64_t cut = 0;
  for (int v = 0; v < n; ++v) {
    bool src = mg.what_segment(h[v]) == 0;
    EXPECT_EQ(src, reach[v]) << "node " << v;
    if (src && net[v] < 0) cut -= net[v];
    if (!src && net[v] > 0) cut += net[v];
  }
  for (const auto& e : p.edges) {
    bool a = mg.what_segment(h[e.from]) == 0, b = mg.what_segment(h[e.to]) == 0;
    if (a && !b) cut += e.cap;
    if (!a && b) cut += e.rev_cap;
  }
  EXPECT_EQ(cut, flow) << "cut value differs from the flow";
  return flow;
}

#endif  // DTICUT_TESTS_FLOW_FLOW_CHECK_H
