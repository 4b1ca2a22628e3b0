// The peer of the max-flow benchmarks: Boost Graph's push_relabel_max_flow
// on a compressed_sparse_row_graph (32-bit vertex and edge indices) with the
// capacities, residual capacities and reverse edges in vectors indexed by
// edge. Building the graph (untimed by the benchmarks) and solving it are
// separate steps, so that a solve can be timed and measured on its own.
#ifndef DTICUT_BENCH_FLOW_BOOST_CSR_PEER_H
#define DTICUT_BENCH_FLOW_BOOST_CSR_PEER_H

#define BOOST_DISABLE_ASSERTS  // the peer runs without its debugging checks
#include <boost/graph/compressed_sparse_row_graph.hpp>
#include <boost/graph/push_relabel_max_flow.hpp>

#include <cstdint>
#include <utility>
#include <vector>

// An arc u -> v with capacity `cap` and its reverse v -> u with `rev_cap`:
// two CSR edges, each the other's reverse edge.
struct PeerPair {
  uint32_t u, v;
  int cap, rev_cap;
};

// Node i of a two-label energy with terminal capacities cs (from the source)
// and ct (to the sink): what every cut pays, min(cs, ct), goes to `constant`,
// and the rest becomes one terminal arc, as the engine keeps it.
inline void add_terminal_pair(uint32_t i, int cs, int ct, uint32_t s, uint32_t t, std::vector<PeerPair>& list,
                              int64_t& constant) {
  const int m = cs < ct ? cs : ct;
  constant += m;
  if (cs > m) list.push_back({s, i, cs - m, 0});
  if (ct > m) list.push_back({i, t, ct - m, 0});
}

class BoostCsrPeer {
 public:
  using Csr = boost::compressed_sparse_row_graph<boost::directedS, boost::no_property, boost::no_property,
                                                 boost::no_property, uint32_t, uint32_t>;
  using Edge = boost::graph_traits<Csr>::edge_descriptor;

  // n vertices, source s, sink t. The edges are sorted by source (stably) here,
  // so an edge's CSR index is its place in that order.
  BoostCsrPeer(uint32_t n, uint32_t s, uint32_t t, const std::vector<PeerPair>& pairs) : s_(s), t_(t) {
    const std::size_t m = 2 * pairs.size();
    std::vector<uint32_t> start(n + 1, 0);
    for (const PeerPair& p : pairs) ++start[p.u + 1], ++start[p.v + 1];
    for (uint32_t v = 0; v < n; ++v) start[v + 1] += start[v];
    std::vector<std::pair<uint32_t, uint32_t>> sorted(m);
    cap_.resize(m);
    res_.resize(m);
    rev_.resize(m);
    for (const PeerPair& p : pairs) {
      const uint32_t a = start[p.u]++, b = start[p.v]++;
      sorted[a] = {p.u, p.v};
      sorted[b] = {p.v, p.u};
      cap_[a] = p.cap;
      cap_[b] = p.rev_cap;
      rev_[a] = Edge(p.v, b);
      rev_[b] = Edge(p.u, a);
    }
    std::vector<uint32_t>().swap(start);
    g_ = Csr(boost::edges_are_sorted, sorted.begin(), sorted.end(), n, static_cast<uint32_t>(m));
  }

  int64_t solve() {
    auto index = get(boost::edge_index, g_);
    return boost::push_relabel_max_flow(g_, s_, t_, boost::make_iterator_property_map(cap_.begin(), index),
                                        boost::make_iterator_property_map(res_.begin(), index),
                                        boost::make_iterator_property_map(rev_.begin(), index),
                                        get(boost::vertex_index, g_));
  }

 private:
  Csr g_;
  uint32_t s_, t_;
  std::vector<int> cap_, res_;
  std::vector<Edge> rev_;
};

#endif  // DTICUT_BENCH_FLOW_BOOST_CSR_PEER_H
