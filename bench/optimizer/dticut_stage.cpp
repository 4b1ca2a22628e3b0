// dticut's optimisation stage on real volumes against Boost Graph's
// push-relabel (CSR) on one max-flow of the same energy, in the same run.
//
//   dticut-bench-stage [--data-lambda X] [--repetitions N] L1 V1x V1y V1z
//                      L2 V2x V2y V2z L3 V3x V3y V3z SCALAR
//
// Reads the volumes as dticut does, then alternately times, N times
// (default 5):
//   stage  the optimisation stage of dticut's own pipeline (runSegmentation):
//          declaring every pair, packing, the energy before, the expansion
//          iterations and the energy after: what `dticut -v` reports as
//          "optimisation"; its parts (declaring and packing with the first
//          energy, each iteration, the last energy) from the pipeline's
//          observer;
//   peer   the graph of the stage's largest move, the expansion of label 1
//          over every voxel from the all-0 labeling (each voxel's data costs
//          as its terminal pair, each pair's weight as capacity both ways),
//          built as a CSR graph (untimed) from the same costs and solved by
//          push_relabel_max_flow.
// The engine's maxflow of that graph is checked against Boost's once, and
// its time printed. Times are processor time of this process (std::clock),
// which other programs on a shared machine disturb much less than wall time.
//
// On the 128 x 128 x 70 phantom:
//   build/tools/phantom/dticut-phantom --size 128x128x70 /tmp/ph > /tmp/ph/args
//   build/bench/optimizer/dticut-bench-stage --data-lambda 100 $(cat /tmp/ph/args)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "app/command/inputFiles.h"
#include "app/segmentation/neighbourhood.h"
#include "app/segmentation/pipeline.h"
#include "app/segmentation/segmentation.h"
#include "bench/flow/boost_csr_peer.h"
#include "flow/graph.h"

namespace {

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The first move's binary energy: variable p at 1 keeps label 0 and pays
// D(p, 0), at 0 it takes label 1 and pays D(p, 1); a pair of different
// labels pays its weight.
int64_t engine_flow(const SegmentationCosts& c, const Neighbourhood& shape) {
  Graph g;
  std::vector<void*> node(c.numSites());
  for (int p = 0; p < c.numSites(); ++p) {
    node[p] = g.add_node();
    g.add_tweights(node[p], c.dataCosts[2 * p], c.dataCosts[2 * p + 1]);
  }
  long long k = 0;
  shape.walk([](int, int) {}, [&](int, int, int p, int q) {
    g.add_edge(node[p], node[q], c.weights[k], c.weights[k]);
    ++k;
  });
  const double start = cpu_seconds();
  int flow = g.maxflow();
  std::printf("engine maxflow of the same graph: %.3f s\n", cpu_seconds() - start);
  return flow;
}

// The stage and its parts, in processor time, from the pipeline's events.
class StageClock : public SegmentationObserver {
 public:
  void stageDone(const char* stage, const char*, double) override {
    const double now = cpu_seconds();
    if (std::strcmp(stage, "building the energy") == 0) start = last = now;
    if (std::strcmp(stage, "optimisation") == 0) total = now - start;
  }
  void energyBefore(int) override { part("declaring, packing and first energy"); }
  void iterationDone(int, int) override { part("iteration"); }
  void energyAfter(int) override { part("last energy"); }

  double start = 0, last = 0, total = 0;
  std::vector<std::pair<const char*, double>> parts;

 private:
  void part(const char* name) {
    const double now = cpu_seconds();
    parts.push_back({name, now - last});
    last = now;
  }
};

int64_t boost_flow(const SegmentationCosts& c, const Neighbourhood& shape, double& solve_s) {
  const uint32_t s = static_cast<uint32_t>(c.numSites()), t = s + 1;
  int64_t constant = 0;
  BoostCsrPeer* peer;
  {
    std::vector<PeerPair> list;
    list.reserve(c.weights.size() + static_cast<std::size_t>(c.numSites()));
    for (int p = 0; p < c.numSites(); ++p) {
      add_terminal_pair(static_cast<uint32_t>(p), c.dataCosts[2 * p], c.dataCosts[2 * p + 1], s, t, list, constant);
    }
    long long k = 0;
    shape.walk([](int, int) {}, [&](int, int, int p, int q) {
      list.push_back({static_cast<uint32_t>(p), static_cast<uint32_t>(q), c.weights[k], c.weights[k]});
      ++k;
    });
    peer = new BoostCsrPeer(t + 1, s, t, list);
  }
  const double start = cpu_seconds();
  int64_t flow = constant + peer->solve();
  solve_s = cpu_seconds() - start;
  delete peer;
  return flow;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: dticut-bench-stage [--data-lambda X] [--repetitions N] L1 V1x V1y V1z L2 V2x V2y V2z "
               "L3 V3x V3y V3z SCALAR\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  EnergyWeights weights;
  int repetitions = 5;
  int first = 1;
  for (; first + 1 < argc && argv[first][0] == '-'; first += 2) {
    if (std::strcmp(argv[first], "--data-lambda") == 0) {
      weights.data = std::strtof(argv[first + 1], nullptr);
    } else if (std::strcmp(argv[first], "--repetitions") == 0) {
      repetitions = std::max(1, std::atoi(argv[first + 1]));
    } else {
      usage();
    }
  }
  if (argc - first != 13) usage();
  LoadChecks checks;
  checks.requireShape = [](const Image& shape) { requireSegmentable(shape); };
  TensorVolumes loaded = loadTensorVolumes(InputFiles::thirteen(argv + first), checks);
  const SegmentationVolumes& volumes = loaded.volumes;
  // The costs the pipeline builds, for the peer's graph.
  const Eigenvector principal = extractPrincipalEigenvector(volumes.sets[0], volumes.sets[1], volumes.sets[2]);
  const Neighbourhood grid(principal.eigenvalue);
  SegmentationCosts costs = buildSegmentationCosts(principal, volumes.scalar, weights, grid);
  limitSegmentationCosts(costs);

  std::vector<double> stage, peer, ratio;
  int64_t checked = -1;
  StageClock clock;
  for (int r = 0; r < repetitions; ++r) {
    clock = StageClock();
    runSegmentation(volumes, EnergyModel::kScalar, weights, &clock);  // a copy: the records share the voxels
    const double stage_s = clock.total;
    double peer_s;
    int64_t flow = boost_flow(costs, grid, peer_s);
    if (checked < 0) {
      checked = engine_flow(costs, grid);
      if (checked != flow) {
        std::fprintf(stderr, "dticut-bench-stage: the engine's flow %lld differs from Boost's %lld\n",
                     static_cast<long long>(checked), static_cast<long long>(flow));
        return 1;
      }
    }
    stage.push_back(stage_s);
    peer.push_back(peer_s);
    ratio.push_back(peer_s / stage_s);
    std::printf("run %d: optimisation stage %.3f s, Boost one max-flow %.3f s (flow %lld), ratio %.2f\n", r + 1,
                stage_s, peer_s, static_cast<long long>(flow), peer_s / stage_s);
  }
  std::printf("breakdown of the last run:");
  for (const auto& part : clock.parts) std::printf(" %s %.3f s;", part.first, part.second);
  std::printf("\n");
  std::printf("median: optimisation stage %.3f s, Boost one max-flow %.3f s, ratio %.2f (%d sites, %zu pairs)\n",
              median(stage), median(peer), median(ratio), costs.numSites(), costs.weights.size());
  return 0;
}
