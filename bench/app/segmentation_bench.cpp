// The driver's stages before the optimizer, on edge^3 volumes of random
// tensors whose outer shell is zero (as outside a masked scan), in voxels
// per second: principal component, integer costs, cost limiting.
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "app/segmentation/costLimit.h"
#include "app/segmentation/segmentation.h"

namespace {

struct Volumes {
  Eigenvector sets[3];
  std::vector<float> scalar;
  explicit Volumes(int edge) {
    std::mt19937 random(5);
    std::uniform_real_distribution<float> eigen(0.2e-3f, 1.8e-3f), unit(-1, 1), fa(0.05f, 0.9f);
    int n = edge * edge * edge;
    scalar.resize(n);
    for (Eigenvector& set : sets) set = newEigenvector(edge, edge, edge);
    for (int p = 0; p < n; ++p) {
      int x = p % edge, y = p / edge % edge, z = p / edge / edge;
      bool shell = x < 2 || y < 2 || z < 2 || x >= edge - 2 || y >= edge - 2 || z >= edge - 2;
      for (Eigenvector& set : sets) {
        set.eigenvalue.data[p] = shell ? 0 : eigen(random);
        set.x.data[p] = shell ? 0 : unit(random);
        set.y.data[p] = shell ? 0 : unit(random);
        set.z.data[p] = shell ? 0 : unit(random);
      }
      scalar[p] = shell ? 0 : fa(random);
    }
  }
  Image scalarImage() {
    return {scalar.data(), sets[0].x.dimX, sets[0].x.dimY, sets[0].x.dimZ, "fa"};
  }
};

void BM_ExtractPrincipal(benchmark::State& state) {
  Volumes v(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    Eigenvector p = extractPrincipalEigenvector(v.sets[0], v.sets[1], v.sets[2]);
    float e = p.eigenvalue.data[v.scalar.size() / 2];
    if (!(e >= v.sets[0].eigenvalue.data[v.scalar.size() / 2]))
      state.SkipWithError("not the largest");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<long long>(v.scalar.size()));
}

void BM_BuildSegmentationCosts(benchmark::State& state) {
  Volumes v(static_cast<int>(state.range(0)));
  Eigenvector principal = extractPrincipalEigenvector(v.sets[0], v.sets[1], v.sets[2]);
  for (auto _ : state) {
    SegmentationCosts costs = buildSegmentationCosts(principal, v.scalarImage(), EnergyWeights(), Neighbourhood(principal.eigenvalue));
    if (costs.weights[0] != 2147483647) state.SkipWithError("zero shell should saturate");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<long long>(v.scalar.size()));
}

void BM_LimitCosts(benchmark::State& state) {
  Volumes v(static_cast<int>(state.range(0)));
  Eigenvector principal = extractPrincipalEigenvector(v.sets[0], v.sets[1], v.sets[2]);
  SegmentationCosts given = buildSegmentationCosts(principal, v.scalarImage(), EnergyWeights(), Neighbourhood(principal.eigenvalue));
  std::vector<int> data, weights;
  for (auto _ : state) {
    state.PauseTiming();
    data = given.dataCosts;
    weights = given.weights;
    state.ResumeTiming();
    CostLimit limit = limitCosts(data.data(), given.numSites(), 2, weights.data(),
                                 static_cast<long long>(weights.size()));
    if (limit.cap < 0) state.SkipWithError("the zero shell needs a cap");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<long long>(v.scalar.size()));
}

}  // namespace

BENCHMARK(BM_ExtractPrincipal)->Arg(32)->Arg(96);
BENCHMARK(BM_BuildSegmentationCosts)->Arg(32)->Arg(96);
BENCHMARK(BM_LimitCosts)->Arg(32)->Arg(96);
