// dticut-maxflow's engine against Boost Graph's push-relabel (CSR) on one
// DIMACS max-flow file, in the same run, and a writer of such files for the
// grid families of dticut-bench-flow.
//
//   dticut-bench-dimacs write NX NY NZ FILE [--terminals-last]
//       writes the grid family NX x NY x NZ (nz = 1 for 2-D) as a DIMACS
//       max-flow instance, arcs in ascending tail order as generators list
//       them, each neighbour pair as two arcs, each node's terminal
//       capacities reduced to one arc: source 1, sink 2 and grid node i as
//       i + 3; or, with --terminals-last, grid node i as i + 1 and the source
//       and sink as the last two nodes. (dticut-maxflow's reader numbers the
//       nodes in the order arcs first name them, so the first form, whose
//       source arcs come first, numbers the grid out of order.)
//   dticut-bench-dimacs compare FILE [REPETITIONS]
//       reads FILE with the reader of dticut-maxflow, then alternately solves
//       it as dticut-maxflow does (build_dimacs_graph into a fresh Graph,
//       maxflow timed) and with Boost (CSR graph of every arc and a reverse
//       arc of capacity 0, built untimed, push_relabel_max_flow timed);
//       checks the flows are equal and prints the median solve times
//       (processor time of this process, which other programs on a shared
//       machine disturb less than wall time).
//   dticut-bench-dimacs boost FILE
//       one Boost solve, printed as "flow=<value> solve_s=<seconds>", the
//       format of dticut-maxflow's output, in wall time as dticut-maxflow
//       measures it (see dimacs_compare.sh).
//
// The 128 x 128 x 70 family (about 150 MB):
//   build/bench/flow/dticut-bench-dimacs write 128 128 70 /tmp/grid128x128x70.max
//   build/bench/flow/dticut-bench-dimacs compare /tmp/grid128x128x70.max 5
//   bench/flow/dimacs_compare.sh build /tmp/grid128x128x70.max 5
// and the same with the terminals last (grid128x128x70-tl.max).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/flow/boost_csr_peer.h"
#include "bench/flow/grid_energy.h"
#include "flow/graph.h"
#include "tools/dimacs.h"

namespace {

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "dticut-bench-dimacs: %s\n", message.c_str());
  std::exit(1);
}

// Processor time of this process: other programs on a shared machine disturb
// it much less than wall time; on an idle machine the two agree.
double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

void write_family(int nx, int ny, int nz, const char* path, bool terminals_last) {
  bench::GridEnergy e = bench::grid_family(nx, ny, nz);
  // Each node's outgoing arcs: its pairs in both directions, then the sink.
  std::vector<std::vector<std::pair<int, int>>> out(e.nodes);
  for (const auto& pr : e.pairs) {
    out[pr.p].push_back({pr.q, pr.w});
    out[pr.q].push_back({pr.p, pr.w});
  }
  std::vector<int> cs(e.nodes), ct(e.nodes);
  long long arcs = 2 * static_cast<long long>(e.pairs.size());
  for (int i = 0; i < e.nodes; ++i) {
    const int m = std::min(e.cap_source[i], e.cap_sink[i]);
    cs[i] = e.cap_source[i] - m;
    ct[i] = e.cap_sink[i] - m;
    arcs += (cs[i] > 0) + (ct[i] > 0);
  }
  FILE* f = std::fopen(path, "w");
  if (!f) fail(std::string("cannot create ") + path);
  const int first = terminals_last ? 1 : 3, s = terminals_last ? e.nodes + 1 : 1, t = s + 1;
  std::fprintf(f, "c grid family %d x %d x %d of dticut-bench-flow\np max %d %lld\nn %d s\nn %d t\n", nx, ny, nz,
               e.nodes + 2, arcs, s, t);
  auto source_arcs = [&] {
    for (int i = 0; i < e.nodes; ++i) {
      if (cs[i] > 0) std::fprintf(f, "a %d %d %d\n", s, i + first, cs[i]);
    }
  };
  if (!terminals_last) source_arcs();
  for (int i = 0; i < e.nodes; ++i) {
    std::sort(out[i].begin(), out[i].end());
    for (const auto& a : out[i]) std::fprintf(f, "a %d %d %d\n", i + first, a.first + first, a.second);
    if (ct[i] > 0) std::fprintf(f, "a %d %d %d\n", i + first, t, ct[i]);
  }
  if (terminals_last) source_arcs();
  if (std::fclose(f) != 0) fail(std::string("cannot write ") + path);
}

DimacsProblem read_problem(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(std::string("cannot open ") + path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DimacsProblem problem;
  DimacsError error;
  if (!parse_dimacs(text.data(), text.size(), problem, error)) {
    fail(std::string(path) + ":" + std::to_string(error.line) + ": " + error.message);
  }
  return problem;
}

// As dticut-maxflow: the graph is built, then maxflow is timed.
int64_t solve_engine(const DimacsProblem& problem, double& solve_s) {
  Graph g;
  int64_t direct = build_dimacs_graph(problem, g);
  const double start = cpu_seconds();
  int64_t flow = direct + g.maxflow();
  solve_s = cpu_seconds() - start;
  return flow;
}

// `wall_s`, if given, receives the solve's wall time.
int64_t solve_boost(const DimacsProblem& problem, double& solve_s, double* wall_s = nullptr) {
  BoostCsrPeer* peer;
  {
    std::vector<PeerPair> list;
    list.reserve(problem.arcs.size());
    for (const DimacsArc& a : problem.arcs) {
      if (a.from != a.to) list.push_back({uint32_t(a.from), uint32_t(a.to), a.cap, 0});
    }
    peer = new BoostCsrPeer(uint32_t(problem.nodes), uint32_t(problem.source), uint32_t(problem.sink), list);
  }
  const auto wall_start = std::chrono::steady_clock::now();
  const double start = cpu_seconds();
  int64_t flow = peer->solve();
  solve_s = cpu_seconds() - start;
  if (wall_s) *wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  delete peer;
  return flow;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && (argc == 6 || (argc == 7 && std::string(argv[6]) == "--terminals-last"))) {
    write_family(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), argv[5], argc == 7);
    return 0;
  }
  if (mode == "boost" && argc == 3) {
    double cpu, s;
    int64_t flow = solve_boost(read_problem(argv[2]), cpu, &s);
    std::printf("flow=%lld solve_s=%.6f\n", static_cast<long long>(flow), s);
    return 0;
  }
  if (mode == "compare" && (argc == 3 || argc == 4)) {
    const int repetitions = argc == 4 ? std::max(1, std::atoi(argv[3])) : 5;
    DimacsProblem problem = read_problem(argv[2]);
    std::vector<double> engine, peer, ratio;
    for (int k = 0; k < repetitions; ++k) {
      double e, b;
      int64_t flow = solve_engine(problem, e);
      if (solve_boost(problem, b) != flow) fail("the flows differ");
      engine.push_back(e);
      peer.push_back(b);
      ratio.push_back(b / e);
      std::printf("run %d: flow=%lld engine_solve_s=%.4f boost_solve_s=%.4f speedup=%.2f\n", k + 1,
                  static_cast<long long>(flow), e, b, b / e);
    }
    std::printf("median: engine_solve_s=%.4f boost_solve_s=%.4f speedup=%.2f\n", median(engine), median(peer),
                median(ratio));
    return 0;
  }
  std::fprintf(stderr,
               "usage: dticut-bench-dimacs write NX NY NZ FILE [--terminals-last]\n"
               "       dticut-bench-dimacs compare FILE [REPETITIONS]\n"
               "       dticut-bench-dimacs boost FILE\n");
  return 2;
}
