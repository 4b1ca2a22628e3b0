// dticut's optimisation stage on real volumes against the engine's own
// max-flows of the same moves (the general engine's and its grid form's),
// and against Boost Graph's push-relabel (CSR) on one max-flow of the same
// energy, in the same run.
//
//   dticut-bench-stage [--data-lambda X] [--repetitions N] [--mask FILE] [--wall]
//                      L1 V1x V1y V1z L2 V2x V2y V2z L3 V3x V3y V3z SCALAR
//
// Reads the volumes as dticut does, then alternately times, N times
// (default 5):
//   stage   the optimisation stage of dticut's own pipeline (runSegmentation):
//           the energy before, the expansion iterations and the energy
//           after: what `dticut -v` reports as "optimisation"; its parts
//           (the first energy, each iteration, the last energy) from the
//           pipeline's observer;
//   engine  the stage's moves replayed: the first iteration's expansions
//           of labels 0 and 1 from the all-0 labeling (the pipeline runs no
//           second iteration: from the first's exact minimum it would move
//           nothing), each move's graph built as the optimizer's 3-D grid
//           builds it (variables in voxel order, each with its data terms
//           and then its pairs towards -x, -y, -z) and only the engine's
//           maxflow() timed, its building apart; the labels it reaches are
//           checked against the stage's;
//   grid    the same moves on the engine's grid form (GridGraph3D), which
//           the stage itself uses: its maxflow() timed, its building apart;
//           its labels are checked against the general engine's;
//   peer    the graph of the stage's first move, the expansion of label 1
//           over every voxel from the all-0 labeling, built as a CSR graph
//           (untimed) from the same costs and solved by
//           push_relabel_max_flow; its flow is checked against the engine's.
// Times are processor time of this process (std::clock), which other
// programs on a shared machine disturb much less than wall time; with
// --wall, wall time (the stage's work on the second core, where it has
// some, then counts as the time it takes, not twice).
//
// On the 128 x 128 x 70 phantom:
//   build/tools/phantom/dticut-phantom --size 128x128x70 /tmp/ph > /tmp/ph/args
//   build/bench/optimizer/dticut-bench-stage --data-lambda 100 $(cat /tmp/ph/args)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "app/command/inputFiles.h"
#include "app/command/run.h"
#include "app/segmentation/neighbourhood.h"
#include "app/segmentation/pipeline.h"
#include "app/segmentation/segmentation.h"
#include "bench/flow/boost_csr_peer.h"
#include "flow/energy.h"
#include "flow/gridGraph3D.h"

namespace {

// Processor time of the process by default; wall time with --wall, which
// counts work on the second core once, as a user waits for it.
bool wall_clock = false;

double now_seconds() {
  if (wall_clock)
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The stage's moves over the costs (the first iteration's), replayed with
// the engine: each move's graph as the optimizer builds it (a variable per
// site not labelled alpha, in voxel order; its data terms; a pair of two
// variables as one pairwise term at its later site, a pair with a fixed site
// as a unary term), only maxflow() timed, and the building apart in
// `build_seconds`. Leaves the labels in `labels` and returns the seconds;
// `first_flow` gets the first move's flow.
double engine_moves(const SegmentationCosts& c, const Neighbourhood& grid, std::vector<int>& labels,
                    int64_t& first_flow, double& build_seconds) {
  const int n = c.numSites();
  labels.assign(n, 0);
  double seconds = 0;
  build_seconds = 0;
  first_flow = -1;
  std::vector<int> number(n);
  auto move = [&](int alpha) {
    const double built = now_seconds();
    Energy e;
    std::fill(number.begin(), number.end(), -1);
    int variables = 0;
    std::vector<void*> var;
    grid.walk(
        [&](int, int s) {
          if (labels[s] == alpha) return;
          number[s] = variables++;
          var.push_back(e.add_node());
          e.add_tweights(var.back(), c.dataCosts[2 * s + labels[s]], c.dataCosts[2 * s + alpha]);
        },
        [&](int, int, int s, int t, long long k) {
          const int w = c.weights[k];
          if (w == 0 || (number[s] < 0 && number[t] < 0)) return;
          if (number[s] >= 0 && number[t] >= 0) {
            e.add_term2(var[number[s]], var[number[t]], 0, w * (alpha != labels[t]), w * (labels[s] != alpha),
                        w * (labels[s] != labels[t]));
          } else if (number[s] >= 0) {
            e.add_tweights(var[number[s]], w * (labels[s] != labels[t]), w * (alpha != labels[t]));
          } else {
            e.add_tweights(var[number[t]], w * (labels[t] != labels[s]), w * (alpha != labels[s]));
          }
        });
    if (variables == 0) return;
    const double start = now_seconds();
    build_seconds += start - built;
    const int flow = e.maxflow();
    seconds += now_seconds() - start;
    if (first_flow < 0) first_flow = flow;
    for (int s = 0; s < n; ++s)
      if (number[s] >= 0 && e.what_segment(var[number[s]]) == 0) labels[s] = alpha;
  };
  move(0);
  move(1);
  return seconds;
}

// The same moves replayed on the grid engine (node s is site s, over the
// neighbourhood's site map when it has one): each move's network written
// in voxel order, only maxflow() timed, the building apart in
// `build_seconds`. Leaves the labels in `labels`.
double grid_engine_moves(const SegmentationCosts& c, const Neighbourhood& grid, std::vector<int>& labels,
                         double& build_seconds) {
  const int n = c.numSites();
  labels.assign(n, 0);
  double seconds = 0;
  build_seconds = 0;
  GridGraph3D g;
  auto move = [&](int alpha) {
    if (std::all_of(labels.begin(), labels.end(), [alpha](int l) { return l == alpha; })) return;
    const double built = now_seconds();
    g.reset(grid.dimX(), grid.dimY(), grid.dimZ(), grid.siteMap());
    grid.walk(
        [&](int, int s) {
          g.add_node();
          if (labels[s] != alpha) g.add_tweights(uint32_t(s), c.dataCosts[2 * s + labels[s]], c.dataCosts[2 * s + alpha]);
        },
        [&](int p, int q, int s, int t, long long k) {
          const int w = c.weights[k];
          if (w == 0 || (labels[s] == alpha && labels[t] == alpha)) return;
          const GridGraph3D::Direction d = q == p - 1 ? GridGraph3D::MINUS_X
                                           : q == p - grid.dimX() ? GridGraph3D::MINUS_Y : GridGraph3D::MINUS_Z;
          if (labels[s] != alpha && labels[t] != alpha) {
            g.add_term2(uint32_t(s), d, 0, w * (alpha != labels[t]), w * (labels[s] != alpha), w * (labels[s] != labels[t]));
          } else if (labels[s] != alpha) {
            g.add_tweights(uint32_t(s), w * (labels[s] != labels[t]), w * (alpha != labels[t]));
          } else {
            g.add_tweights(uint32_t(t), w * (labels[t] != labels[s]), w * (alpha != labels[s]));
          }
        });
    const double start = now_seconds();
    build_seconds += start - built;
    g.maxflow();
    seconds += now_seconds() - start;
    for (int s = 0; s < n; ++s)
      if (g.what_segment(uint32_t(s)) == 0) labels[s] = alpha;
  };
  move(0);
  move(1);
  return seconds;
}

// The stage and its parts, in processor time, from the pipeline's events.
class StageClock : public SegmentationObserver {
 public:
  void stageDone(const char* stage, const char*, double) override {
    const double now = now_seconds();
    if (std::strcmp(stage, "building the energy") == 0) start = last = now;
    if (std::strcmp(stage, "optimisation") == 0) total = now - start;
  }
  void energyBefore(int) override { part("first energy"); }
  void iterationDone(int, int) override { part("iteration"); }
  void energyAfter(int) override { part("last energy"); }

  double start = 0, last = 0, total = 0;
  std::vector<std::pair<const char*, double>> parts;

 private:
  void part(const char* name) {
    const double now = now_seconds();
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
    list.reserve(static_cast<std::size_t>(shape.numPairs()) + static_cast<std::size_t>(c.numSites()));
    for (int p = 0; p < c.numSites(); ++p) {
      add_terminal_pair(static_cast<uint32_t>(p), c.dataCosts[2 * p], c.dataCosts[2 * p + 1], s, t, list, constant);
    }
    shape.walk([](int, int) {}, [&](int, int, int p, int q, long long k) {
      list.push_back({static_cast<uint32_t>(p), static_cast<uint32_t>(q), c.weights[k], c.weights[k]});
    });
    peer = new BoostCsrPeer(t + 1, s, t, list);
  }
  const double start = now_seconds();
  int64_t flow = constant + peer->solve();
  solve_s = now_seconds() - start;
  delete peer;
  return flow;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: dticut-bench-stage [--data-lambda X] [--repetitions N] [--mask FILE] [--wall] L1 V1x V1y V1z "
               "L2 V2x V2y V2z L3 V3x V3y V3z SCALAR\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  // The heap as dticut keeps it, so that the stage meets memory as it does
  // there: what a repetition frees serves the next, already mapped.
  keepMemoryInProcess();
  EnergyWeights weights;
  int repetitions = 5;
  const char* mask = nullptr;
  int first = 1;
  for (; first + 1 < argc && argv[first][0] == '-'; first += 2) {
    if (std::strcmp(argv[first], "--wall") == 0) {
      wall_clock = true;
      first--;
    } else if (std::strcmp(argv[first], "--data-lambda") == 0) {
      weights.data = std::strtof(argv[first + 1], nullptr);
    } else if (std::strcmp(argv[first], "--repetitions") == 0) {
      repetitions = std::max(1, std::atoi(argv[first + 1]));
    } else if (std::strcmp(argv[first], "--mask") == 0) {
      mask = argv[first + 1];
    } else {
      usage();
    }
  }
  if (argc - first != 13) usage();
  LoadChecks checks;
  checks.requireShape = [](const Image& shape) { requireSegmentable(shape); };
  InputFiles files = InputFiles::thirteen(argv + first);
  if (mask != nullptr) files.mask = mask;
  TensorVolumes loaded = loadTensorVolumes(files, checks);
  const SegmentationVolumes& volumes = loaded.volumes;
  // The costs the pipeline builds, for the replay and the peer.
  const Eigenvector principal = extractPrincipalEigenvector(volumes.sets[0], volumes.sets[1], volumes.sets[2]);
  const Neighbourhood grid = mask != nullptr ? Neighbourhood(principal.eigenvalue, volumes.mask)
                                             : Neighbourhood(principal.eigenvalue);
  SegmentationCosts costs = buildSegmentationCosts(principal, volumes.scalar, weights, grid);
  limitSegmentationCosts(costs);

  std::vector<double> stage, engine, built, peer, grid_engine, grid_built;
  StageClock clock;
  for (int r = 0; r < repetitions; ++r) {
    clock = StageClock();
    // A copy: the records share the voxels.
    const SegmentationResult result = runSegmentation(volumes, EnergyModel::kScalar, weights, &clock);
    const double stage_s = clock.total;
    std::vector<int> labels;
    int64_t first_flow;
    double build_s;
    const double engine_s = engine_moves(costs, grid, labels, first_flow, build_s);
    std::vector<int> grid_labels;
    double grid_build_s;
    const double grid_s = grid_engine_moves(costs, grid, grid_labels, grid_build_s);
    bool same = grid_labels == labels;
    grid.forEachSite([&](int p, int s) { same = same && result.labels[p] == labels[s]; });
    double peer_s;
    const int64_t flow = boost_flow(costs, grid, peer_s);
    if (!same || flow != first_flow) {
      std::fprintf(stderr, "dticut-bench-stage: the replayed moves %s\n",
                   same ? "reach another first flow than Boost's" : "reach other labels than the stage");
      return 1;
    }
    stage.push_back(stage_s);
    engine.push_back(engine_s);
    built.push_back(build_s);
    peer.push_back(peer_s);
    grid_engine.push_back(grid_s);
    grid_built.push_back(grid_build_s);
    std::printf("run %d: optimisation stage %.4f s, the engine's max-flows of its moves %.4f s (ratio %.2f; "
                "building them %.3f s), the grid engine's %.3f s (building %.3f s), Boost one max-flow %.3f s (flow %lld)\n",
                r + 1, stage_s, engine_s, stage_s / engine_s, build_s, grid_s, grid_build_s, peer_s, static_cast<long long>(flow));
  }
  std::printf("breakdown of the last run:");
  for (const auto& part : clock.parts) std::printf(" %s %.3f s;", part.first, part.second);
  std::printf("\n");
  std::printf("median: optimisation stage %.3f s, the engine's max-flows %.3f s, stage / engine %.2f (building "
              "the moves %.3f s), the grid engine's max-flows %.3f s (building %.3f s), Boost one max-flow %.3f s (%d sites, %lld pairs)\n",
              median(stage), median(engine), median(stage) / median(engine), median(built), median(grid_engine),
              median(grid_built), median(peer), costs.numSites(), grid.numPairs());
  return 0;
}
