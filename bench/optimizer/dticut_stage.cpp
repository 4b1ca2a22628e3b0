// dticut's optimisation stage on real volumes against Boost Graph's
// push-relabel (CSR) on one max-flow of the same energy, in the same run.
//
//   dticut-bench-stage [--data-lambda X] [--repetitions N] L1 V1x V1y V1z
//                      L2 V2x V2y V2z L3 V3x V3y V3z SCALAR
//
// Prepares the costs as dticut does (principal component,
// buildSegmentationCosts with the data weight, limitCosts), then alternately
// times, N times (default 5):
//   stage  segment(): declaring every pair, packing, the energy before, the
//          expansion iterations and the energy after: what `dticut -v`
//          reports as "optimisation" (its two printed lines included);
//   peer   the graph of the stage's largest move, the expansion of label 1
//          over every voxel from the all-0 labeling (each voxel's data costs
//          as its terminal pair, each pair's weight as capacity both ways),
//          built as a CSR graph (untimed) and solved by push_relabel_max_flow.
// The engine's maxflow of that graph is checked against Boost's once, and
// one more run of the stage's calls, made one by one, prints where the
// stage's time goes (declaring, packing with the first energy, each
// iteration, the last energy) and the engine's time for the peer's max-flow.
// Times
// are processor time of this process (std::clock), which other programs on a
// shared machine disturb much less than wall time.
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

#include "app/segmentation.h"
#include "bench/flow/boost_csr_peer.h"
#include "flow/graph.h"
#include "optimizer/GCoptimization.h"

namespace {

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The voxel pairs in the order of the costs' weights: x outermost and z
// innermost, each voxel with its -x, -y and -z neighbours (segmentation.h).
template <typename OnPair>
void forEachPair(const Image& shape, OnPair pair) {
  const int nx = shape.dimX, ny = shape.dimY, nz = shape.dimZ, slice = nx * ny;
  long long k = 0;
  for (int x = 0; x < nx; ++x) {
    for (int y = 0; y < ny; ++y) {
      for (int z = 0; z < nz; ++z) {
        const int p = x + y * nx + z * slice;
        if (x > 0) pair(p, p - 1, k++);
        if (y > 0) pair(p, p - nx, k++);
        if (z > 0) pair(p, p - slice, k++);
      }
    }
  }
}

// The first move's binary energy: variable p at 1 keeps label 0 and pays
// D(p, 0), at 0 it takes label 1 and pays D(p, 1); a pair of different
// labels pays its weight.
int64_t engine_flow(const SegmentationCosts& c, const Image& shape) {
  Graph g;
  std::vector<void*> node(c.numSites());
  for (int p = 0; p < c.numSites(); ++p) {
    node[p] = g.add_node();
    g.add_tweights(node[p], c.dataCosts[2 * p], c.dataCosts[2 * p + 1]);
  }
  forEachPair(shape, [&](int p, int q, long long k) { g.add_edge(node[p], node[q], c.weights[k], c.weights[k]); });
  const double start = cpu_seconds();
  int flow = g.maxflow();
  std::printf("engine maxflow of the same graph: %.3f s\n", cpu_seconds() - start);
  return flow;
}

// segment()'s calls one by one, each timed.
void breakdown(const SegmentationCosts& c, const Image& shape) {
  int smoothness[4] = {0, 1, 1, 0};
  double t0 = cpu_seconds();
  GCoptimizationGeneralGraph* opt = new GCoptimizationGeneralGraph(c.numSites(), 2);
  forEachPair(shape, [&](int p, int q, long long k) { opt->setNeighbors(p, q, c.weights[k]); });
  opt->setDataCost(const_cast<int*>(c.dataCosts.data()));
  opt->setSmoothCost(smoothness);
  double t1 = cpu_seconds();
  int energy = opt->compute_energy();
  double t2 = cpu_seconds();
  std::printf("breakdown: declaring %.3f s, packing and first energy %.3f s", t1 - t0, t2 - t1);
  for (int k = 0; k < kExpansionIterations; ++k) {
    double u = cpu_seconds();
    int next = opt->oneExpansionIteration();
    std::printf(", iteration %d %.3f s", k + 1, cpu_seconds() - u);
    bool lowered = next < energy;
    energy = next;
    if (!lowered) break;
  }
  double t3 = cpu_seconds();
  opt->compute_energy();
  delete opt;
  std::printf(", last energy and release %.3f s\n", cpu_seconds() - t3);
}

int64_t boost_flow(const SegmentationCosts& c, const Image& shape, double& solve_s) {
  const uint32_t s = static_cast<uint32_t>(c.numSites()), t = s + 1;
  int64_t constant = 0;
  BoostCsrPeer* peer;
  {
    std::vector<PeerPair> list;
    list.reserve(c.weights.size() + static_cast<std::size_t>(c.numSites()));
    for (int p = 0; p < c.numSites(); ++p) {
      add_terminal_pair(static_cast<uint32_t>(p), c.dataCosts[2 * p], c.dataCosts[2 * p + 1], s, t, list, constant);
    }
    forEachPair(shape, [&](int p, int q, long long k) {
      list.push_back({static_cast<uint32_t>(p), static_cast<uint32_t>(q), c.weights[k], c.weights[k]});
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
  char** v = argv + first;
  Eigenvector sets[3];
  for (int k = 0; k < 3; ++k) sets[k] = getEigenvector(v[4 * k], v[4 * k + 1], v[4 * k + 2], v[4 * k + 3]);
  Image scalar = getImage(v[12]);
  Eigenvector principal = extractPrincipalEigenvector(sets[0], sets[1], sets[2]);
  SegmentationCosts costs = buildSegmentationCosts(principal, scalar, weights);
  limitSegmentationCosts(costs);
  Image shape = principal.eigenvalue;
  std::vector<float> labels(costs.numSites());

  std::vector<double> stage, peer, ratio;
  int64_t checked = -1;
  for (int r = 0; r < repetitions; ++r) {
    SegmentationCosts copy = costs;  // segment takes its costs over
    const double start = cpu_seconds();
    ExpansionTrace trace;
    segment(std::move(copy), shape, labels.data(), &trace, stdout);
    const double stage_s = cpu_seconds() - start;
    double peer_s;
    int64_t flow = boost_flow(costs, shape, peer_s);
    if (checked < 0) {
      checked = engine_flow(costs, shape);
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
  breakdown(costs, shape);
  std::printf("median: optimisation stage %.3f s, Boost one max-flow %.3f s, ratio %.2f (%d sites, %zu pairs)\n",
              median(stage), median(peer), median(ratio), costs.numSites(), costs.weights.size());
  return 0;
}
