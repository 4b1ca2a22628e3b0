// Max-flow engine against Boost Graph's push-relabel on a CSR graph, on
// segmentation-like grid energies, in the same run and on the same graphs.
//
// Families: 2-D 512 x 512 and 2048 x 2048 (4-connected), 3-D 64^3 and
// 128 x 128 x 70 (6-connected). Each is built with its neighbour pairs added
// in three orders: ascending tail (the order in which DIMACS files list their
// arcs), descending tail (the order of the optimizer's moves), and a fixed
// random permutation. One benchmark per family and order; every iteration
// builds and solves the engine's graph and then Boost's, and checks that the
// flows are equal. Reported (medians over the iterations of one run):
//   engine_solve_ms  maxflow() of the engine: layout step, initialisation and
//                    search (the benchmark's Time column is this)
//   layout_ms, layout_%  the layout step alone and its share of the solve
//   boost_solve_ms   push_relabel_max_flow alone (building the CSR graph,
//                    sorting its edges and filling its property vectors is
//                    not timed, like the engine's add_node/add_edge)
//   speedup          boost_solve_ms / engine_solve_ms, per iteration
//   build_ms         the engine's add_node/add_tweights/add_edge calls
//   engine_B/pair    peak bytes allocated while the engine's graph was built
//                    and solved, per neighbour pair (one engine arc carries
//                    both directions of a pair)
//   boost_B/pair     peak bytes allocated by the peer from the end of its
//                    build to the end of its solve: the CSR graph, its property
//                    vectors and the solver's own arrays (the edge list it was
//                    built from is freed before); boost_build_B/pair also
//                    counts the build
//   mem_ratio        boost_B/pair / engine_B/pair
// Bytes are counted through the global allocation operators, replaced below.
//
// Solve and layout times are processor time of this process (std::clock),
// which other programs on a shared machine disturb much less than wall time;
// on an idle machine the two agree. Build times are wall time.
//
// Run (Release build; the whole run takes a few minutes):
//   build/bench/flow/dticut-bench-flow
//   build/bench/flow/dticut-bench-flow --benchmark_filter='3D/128'  # one family
// Compare the engine and the peer only within one run, as the counters here
// do.
#if defined(DTICUT_BENCH_LEMON)
#define LEMON_DISABLE_ASSERTS  // the peers run without their debugging checks
// g++ 12 reports a maybe-uninitialized value inside LEMON's arc storage.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <lemon/preflow.h>
#include <lemon/smart_graph.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif
#if defined(DTICUT_BENCH_BOOST)
#include "bench/flow/boost_csr_peer.h"
#endif

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bench/flow/grid_energy.h"
#include "flow/graph.h"

// ---- allocation accounting -------------------------------------------------

namespace {
std::size_t live_bytes = 0;
std::size_t peak_bytes = 0;
constexpr std::size_t kHeader = 16;  // keeps the caller's block 16-byte aligned

void* counted_alloc(std::size_t n) noexcept {
  char* p = static_cast<char*>(std::malloc(n + kHeader));
  if (!p) return nullptr;
  *reinterpret_cast<std::size_t*>(p) = n;
  live_bytes += n;
  peak_bytes = std::max(peak_bytes, live_bytes);
  return p + kHeader;
}
void counted_free(void* q) noexcept {
  if (!q) return;
  char* p = static_cast<char*>(q) - kHeader;
  live_bytes -= *reinterpret_cast<std::size_t*>(p);
  std::free(p);
}
void* counted_alloc_or_throw(std::size_t n) {
  void* p = counted_alloc(n);
  if (!p) throw std::bad_alloc();
  return p;
}
}  // namespace

void* operator new(std::size_t n) { return counted_alloc_or_throw(n); }
void* operator new[](std::size_t n) { return counted_alloc_or_throw(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc(n); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_free(p); }

// The steps of Graph::maxflow(), run in its order, with the layout step timed
// apart.
double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

class GraphBenchAccess {
 public:
  static int maxflow(Graph& g, double& layout_s) {
    const double t0 = cpu_seconds();
    g.prepare_graph();
    layout_s = cpu_seconds() - t0;
    g.maxflow_init();
    return g.run_search();
  }
};

namespace {

using bench::GridEnergy;


enum Order { kAscending, kDescending, kRandom };

// The energy of a family, its pairs in ascending tail order (as make_grid
// lists them).
GridEnergy& energy(int nx, int ny, int nz) {
  static std::map<std::tuple<int, int, int>, GridEnergy> cache;
  auto key = std::make_tuple(nx, ny, nz);
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.emplace(key, bench::grid_family(nx, ny, nz)).first;
  return it->second;
}

// The family's pairs in the given insertion order.
std::vector<GridEnergy::Pair> ordered_pairs(const GridEnergy& e, Order order) {
  std::vector<GridEnergy::Pair> pairs = e.pairs;
  if (order == kDescending) std::reverse(pairs.begin(), pairs.end());
  if (order == kRandom) std::shuffle(pairs.begin(), pairs.end(), std::mt19937(271828));
  return pairs;
}

// ---- solvers -----------------------------------------------------------------

struct EngineRun {
  int64_t flow;
  double build_s, solve_s, layout_s;
  std::size_t peak;  // bytes
};

EngineRun run_engine(const GridEnergy& e, const std::vector<GridEnergy::Pair>& pairs) {
  std::vector<void*> node(e.nodes);
  const std::size_t base = live_bytes;
  peak_bytes = live_bytes;
  EngineRun r;
  {
    auto t0 = std::chrono::steady_clock::now();
    Graph g;
    for (int i = 0; i < e.nodes; ++i) {
      node[i] = g.add_node();
      g.add_tweights(node[i], e.cap_source[i], e.cap_sink[i]);
    }
    for (const auto& pr : pairs) g.add_edge(node[pr.p], node[pr.q], pr.w, pr.w);
    r.build_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double t1 = cpu_seconds();
    r.flow = GraphBenchAccess::maxflow(g, r.layout_s);
    r.solve_s = cpu_seconds() - t1;
  }
  r.peak = peak_bytes - base;
  return r;
}

#if defined(DTICUT_BENCH_BOOST)
struct PeerRun {
  int64_t flow;
  double solve_s;
  std::size_t peak, build_peak;  // bytes: solve phase, and build plus solve
};

PeerRun run_boost(const GridEnergy& e, const std::vector<GridEnergy::Pair>& pairs) {
  const std::size_t base = live_bytes;
  peak_bytes = live_bytes;
  PeerRun r;
  int64_t constant = 0;
  std::unique_ptr<BoostCsrPeer> peer;
  {
    const uint32_t s = static_cast<uint32_t>(e.nodes), t = s + 1;
    std::vector<PeerPair> list;
    list.reserve(pairs.size() + static_cast<std::size_t>(e.nodes));
    for (int i = 0; i < e.nodes; ++i) {
      add_terminal_pair(static_cast<uint32_t>(i), e.cap_source[i], e.cap_sink[i], s, t, list, constant);
    }
    for (const auto& pr : pairs) {
      list.push_back({static_cast<uint32_t>(pr.p), static_cast<uint32_t>(pr.q), pr.w, pr.w});
    }
    peer.reset(new BoostCsrPeer(t + 1, s, t, list));
  }
  r.build_peak = peak_bytes - base;
  peak_bytes = live_bytes;
  const double t0 = cpu_seconds();
  r.flow = constant + peer->solve();
  r.solve_s = cpu_seconds() - t0;
  r.peak = peak_bytes - base;
  r.build_peak = std::max(r.build_peak, r.peak);
  return r;
}
#endif

#if defined(DTICUT_BENCH_LEMON)
// LEMON gets the terminal capacities already reduced to their difference
// (what the engine keeps per node), with the common part added to the result.
int64_t common_part(const GridEnergy& e, int i, int& cs, int& ct) {
  int m = std::min(e.cap_source[i], e.cap_sink[i]);
  cs = e.cap_source[i] - m;
  ct = e.cap_sink[i] - m;
  return m;
}

int64_t solve_lemon(const GridEnergy& e, double& build_s, double& solve_s) {
  int64_t constant = 0;
  using lemon::SmartDigraph;
  auto t0 = std::chrono::steady_clock::now();
  SmartDigraph g;
  g.reserveNode(e.nodes + 2);
  g.reserveArc(static_cast<int>(2 * e.pairs.size()) + e.nodes);
  SmartDigraph::ArcMap<int> cap(g);
  std::vector<SmartDigraph::Node> node(e.nodes);
  for (int i = 0; i < e.nodes; ++i) node[i] = g.addNode();
  SmartDigraph::Node s = g.addNode(), t = g.addNode();
  for (int i = 0; i < e.nodes; ++i) {
    int cs, ct;
    constant += common_part(e, i, cs, ct);
    if (cs > 0) cap.set(g.addArc(s, node[i]), cs);
    if (ct > 0) cap.set(g.addArc(node[i], t), ct);
  }
  for (const auto& pr : e.pairs) {
    cap.set(g.addArc(node[pr.p], node[pr.q]), pr.w);
    cap.set(g.addArc(node[pr.q], node[pr.p]), pr.w);
  }
  auto t1 = std::chrono::steady_clock::now();
  // The first phase gives the maximum flow value and the minimum cut, which
  // is what a segmentation needs.
  lemon::Preflow<SmartDigraph, SmartDigraph::ArcMap<int>> preflow(g, cap, s, t);
  preflow.runMinCut();
  int64_t flow = constant + preflow.flowValue();
  auto t2 = std::chrono::steady_clock::now();
  build_s = std::chrono::duration<double>(t1 - t0).count();
  solve_s = std::chrono::duration<double>(t2 - t1).count();
  return flow;
}
#endif

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One family in one order: engine and peer alternately, flows compared.
void BM_Solve(benchmark::State& state, int nx, int ny, int nz, Order order) {
  GridEnergy& e = energy(nx, ny, nz);
  const std::vector<GridEnergy::Pair> pairs = ordered_pairs(e, order);
  const double n_pairs = static_cast<double>(pairs.size());
  std::vector<double> solve, layout, layout_share, build, engine_mem;
#if defined(DTICUT_BENCH_BOOST)
  std::vector<double> peer_solve, speedup, peer_mem, peer_build_mem, mem_ratio;
#endif
  for (auto _ : state) {
    EngineRun r = run_engine(e, pairs);
    state.SetIterationTime(r.solve_s);
    solve.push_back(1000 * r.solve_s);
    layout.push_back(1000 * r.layout_s);
    layout_share.push_back(100 * r.layout_s / r.solve_s);
    build.push_back(1000 * r.build_s);
    engine_mem.push_back(static_cast<double>(r.peak) / n_pairs);
#if defined(DTICUT_BENCH_BOOST)
    PeerRun p = run_boost(e, pairs);
    if (p.flow != r.flow) {
      state.SkipWithError("Boost's flow differs from the engine's");
      break;
    }
    peer_solve.push_back(1000 * p.solve_s);
    speedup.push_back(p.solve_s / r.solve_s);
    peer_mem.push_back(static_cast<double>(p.peak) / n_pairs);
    peer_build_mem.push_back(static_cast<double>(p.build_peak) / n_pairs);
    mem_ratio.push_back(static_cast<double>(p.peak) / static_cast<double>(r.peak));
#endif
    state.counters["flow"] = static_cast<double>(r.flow);
  }
  if (solve.empty()) return;
  state.counters["engine_solve_ms"] = median(solve);
  state.counters["layout_ms"] = median(layout);
  state.counters["layout_%"] = median(layout_share);
  state.counters["build_ms"] = median(build);
  state.counters["engine_B/pair"] = median(engine_mem);
#if defined(DTICUT_BENCH_BOOST)
  if (peer_solve.empty()) return;
  state.counters["boost_solve_ms"] = median(peer_solve);
  state.counters["speedup"] = median(speedup);
  state.counters["boost_B/pair"] = median(peer_mem);
  state.counters["boost_build_B/pair"] = median(peer_build_mem);
  state.counters["mem_ratio"] = median(mem_ratio);
#endif
}

void register_family(const char* family, int nx, int ny, int nz, int iterations) {
  const char* names[] = {"ascending", "descending", "random"};
  for (int order = kAscending; order <= kRandom; ++order) {
    std::string name = std::string("BM_Solve/") + family + "/" + names[order];
    benchmark::RegisterBenchmark(name.c_str(), BM_Solve, nx, ny, nz, static_cast<Order>(order))
        ->Iterations(iterations)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
}

#if defined(DTICUT_BENCH_LEMON)
// LEMON's Preflow, when installed: build plus solve, ascending order only
// (it needs about a minute on the 512 x 512 grid).
void BM_LemonGrid(benchmark::State& state, int nx, int ny, int nz) {
  GridEnergy& e = energy(nx, ny, nz);
  for (auto _ : state) {
    double build_s, solve_s;
    int64_t flow = solve_lemon(e, build_s, solve_s);
    state.counters["build_ms"] = 1000 * build_s;
    state.counters["solve_ms"] = 1000 * solve_s;
    state.counters["flow"] = static_cast<double>(flow);
  }
}
#endif

}  // namespace

int main(int argc, char** argv) {
  register_family("2D/512", 512, 512, 1, 5);
  register_family("2D/2048", 2048, 2048, 1, 3);
  register_family("3D/64", 64, 64, 64, 5);
  register_family("3D/128x128x70", 128, 128, 70, 5);
#if defined(DTICUT_BENCH_LEMON)
  benchmark::RegisterBenchmark("BM_LemonGrid/2D/512", BM_LemonGrid, 512, 512, 1)->Iterations(1)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_LemonGrid/3D/64", BM_LemonGrid, 64, 64, 64)->Iterations(1)->Unit(benchmark::kMillisecond);
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
