// Alpha-expansion on a general neighbourhood, split into its stages:
// declaring the pairs, packing them, building one move's binary energy, its
// max-flow, and the whole expansion(2) as a user runs it. Sizes are the side
// of a 3-D 6-connected grid with 2 labels (BM_*3D) or of a 2-D 4-connected
// grid with 8 labels (BM_*2D).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "flow/energy.h"
#include "optimizer/GCoptimization.h"

namespace {

// A synthetic segmentation: a ball (or disc) of label-1 sites (higher labels
// in bands for 8 labels) under noise, truncated-linear smoothness, random
// pair weights 1..5. Fixed seed.
struct Problem {
  int side, dims, labels, sites;
  std::vector<int> data, smooth;
  std::vector<int> pairs;  // a, b, w triples

  Problem(int side_, int dims_, int labels_) : side(side_), dims(dims_), labels(labels_) {
    std::mt19937 rng(12345);
    sites = dims == 3 ? side * side * side : side * side;
    for (int p = 0; p < sites; p++) {
      int x = p % side, y = (p / side) % side, z = dims == 3 ? p / (side * side) : side / 2;
      int dx = x - side / 2, dy = y - side / 2, dz = z - side / 2;
      int r2 = dx * dx + dy * dy + dz * dz, R = side / 3;
      int ideal = labels == 2 ? (r2 < R * R) : std::min(labels - 1, x * labels / side);
      for (int l = 0; l < labels; l++) data.push_back(10 * std::abs(l - ideal) + int(rng() % 15));
      int strides[] = {1, side, side * side};
      int coords[] = {x, y, z};
      for (int d = 0; d < dims; d++) {
        if (coords[d] == 0) continue;
        pairs.insert(pairs.end(), {p, p - strides[d], 1 + int(rng() % 5)});
      }
    }
    for (int l1 = 0; l1 < labels; l1++)
      for (int l2 = 0; l2 < labels; l2++) smooth.push_back(std::min(3 * std::abs(l1 - l2), 6));
  }
  int numPairs() const { return int(pairs.size() / 3); }
};

// Exposes the move builder so that building and max-flow can be timed apart.
class Optimizer : public GCoptimizationGeneralGraph {
 public:
  Optimizer(Problem& p) : GCoptimizationGeneralGraph(p.sites, p.labels) {
    for (std::size_t k = 0; k < p.pairs.size(); k += 3)
      setNeighbors(p.pairs[k], p.pairs[k + 1], p.pairs[k + 2]);
    setDataCost(p.data.data());
    setSmoothCost(p.smooth.data());
  }
  // The move for label 1 from the initial labeling, in which every site takes part.
  Energy* buildMove(std::vector<int>& sites, std::vector<void*>& vars) {
    Energy* e = new Energy(nullptr);
    for (int s = 0; s < m_num_sites; s++) {
      m_site_to_var[s] = s;
      sites[s] = s;
      vars[s] = e->add_node();
    }
    set_up_expansion_energy(m_num_sites, 1, e, vars.data(), sites.data());
    for (int s = 0; s < m_num_sites; s++) m_site_to_var[s] = -1;
    return e;
  }
};

Problem& problem(int side, int dims, int labels) {
  static std::vector<std::unique_ptr<Problem>> made;
  for (auto& p : made)
    if (p->side == side && p->dims == dims && p->labels == labels) return *p;
  made.emplace_back(new Problem(side, dims, labels));
  return *made.back();
}

void BM_DeclarePairs(benchmark::State& state, int dims, int labels) {
  Problem& p = problem(int(state.range(0)), dims, labels);
  for (auto _ : state) {
    std::unique_ptr<Optimizer> opt(new Optimizer(p));
    state.PauseTiming();
    if (opt->whatLabel(p.sites - 1) != 0) state.SkipWithError("fresh labeling is not 0");
    opt.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * p.numPairs());
}

void BM_PackPairs(benchmark::State& state, int dims, int labels) {
  Problem& p = problem(int(state.range(0)), dims, labels);
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<Optimizer> opt(new Optimizer(p));
    state.ResumeTiming();
    opt->readyToOptimise();
    state.PauseTiming();
    int n, *nbrs, *w;
    opt->giveNeighborInfo(p.sites - 1, &n, &nbrs, &w);
    if (n != dims) state.SkipWithError("last site lost its pairs");
    opt.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * 2 * p.numPairs());
}

void BM_BuildExpansionMove(benchmark::State& state, int dims, int labels) {
  Problem& p = problem(int(state.range(0)), dims, labels);
  Optimizer opt(p);
  opt.readyToOptimise();
  std::vector<int> sites(p.sites);
  std::vector<void*> vars(p.sites);
  for (auto _ : state) {
    Energy* e = opt.buildMove(sites, vars);
    state.PauseTiming();
    if (vars.back() == nullptr) state.SkipWithError("no variable");
    delete e;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * p.sites);
}

void BM_ExpansionMaxflow(benchmark::State& state, int dims, int labels) {
  Problem& p = problem(int(state.range(0)), dims, labels);
  Optimizer opt(p);
  opt.readyToOptimise();
  std::vector<int> sites(p.sites);
  std::vector<void*> vars(p.sites);
  int expected = -1;
  for (auto _ : state) {
    state.PauseTiming();
    Energy* e = opt.buildMove(sites, vars);
    state.ResumeTiming();
    int flow = e->maxflow();
    state.PauseTiming();
    if (expected == -1) expected = flow;
    if (flow != expected) state.SkipWithError("max-flow differs between runs");
    delete e;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * p.sites);
}

void BM_Expansion(benchmark::State& state, int dims, int labels) {
  Problem& p = problem(int(state.range(0)), dims, labels);
  int expected = -1;
  for (auto _ : state) {
    Optimizer opt(p);
    int before = opt.compute_energy();
    int after = opt.expansion(2);
    if (expected == -1) expected = after;
    if (after != expected || after > before) state.SkipWithError("unexpected energy");
    state.counters["energy_drop_%"] = 100.0 * (before - after) / before;
  }
  state.SetItemsProcessed(state.iterations() * p.sites);
}

// The same 2-D problem on the grid neighbourhood, per-pixel weights taken
// from the declared pairs: the peer of BM_Expansion/2D.
void BM_ExpansionGridGraph(benchmark::State& state) {
  Problem& p = problem(int(state.range(0)), 2, 8);
  std::vector<int> V(p.sites, 0), H(p.sites, 0);
  for (std::size_t k = 0; k < p.pairs.size(); k += 3) {
    int later = p.pairs[k], earlier = p.pairs[k + 1], w = p.pairs[k + 2];
    (later - earlier == 1 ? H : V)[earlier] = w;
  }
  int expected = Optimizer(p).expansion(2);  // the general neighbourhood's result
  for (auto _ : state) {
    GCoptimizationGridGraph opt(p.side, p.side, p.labels);
    opt.setDataCost(p.data.data());
    opt.setSmoothCostVH(p.smooth.data(), V.data(), H.data());
    if (opt.expansion(2) != expected) state.SkipWithError("grid and general energies differ");
  }
  state.SetItemsProcessed(state.iterations() * p.sites);
}

// 3D: the 6-connected cube with 2 labels; 2D: the 4-connected square with 8.
BENCHMARK_CAPTURE(BM_DeclarePairs, 3D, 3, 2)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PackPairs, 3D, 3, 2)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BuildExpansionMove, 3D, 3, 2)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExpansionMaxflow, 3D, 3, 2)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Expansion, 3D, 3, 2)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DeclarePairs, 2D, 2, 8)->Arg(128)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PackPairs, 2D, 2, 8)->Arg(128)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BuildExpansionMove, 2D, 2, 8)->Arg(128)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExpansionMaxflow, 2D, 2, 8)->Arg(128)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Expansion, 2D, 2, 8)->Arg(128)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpansionGridGraph)->Arg(128)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
