// The 3-D grid: random grids, whole or with a site map, with per-direction
// or unit weights, against their pairs listed by a plain walk and every move
// against enumeration; and its refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "optimizer/GCoptimization.h"
#include "tests/optimizer/reference.h"

using namespace reference;

namespace {

struct Grid : GCoptimizationGrid3DGraph {
  using GCoptimizationGrid3DGraph::GCoptimizationGrid3DGraph;
  using GCoptimization::m_site_to_var;
};

// A grid of at most 12 voxels and 10 sites, its site map (every voxel, or a
// random part), weights per site and direction (0..5, or 1 for unit
// weights) and the problem of its pairs, listed voxel by voxel.
struct GridProblem {
  int dims[3];
  std::vector<int> siteOf;
  std::vector<int> weights[3];
  Problem p;
};

GridProblem randomGrid(std::mt19937& rng, bool masked, bool weighted) {
  GridProblem g;
  g.p = randomProblem(rng);
  Problem& p = g.p;
  int voxels;
  do {
    for (int& d : g.dims) d = 1 + static_cast<int>(rng() % 3);
    voxels = g.dims[0] * g.dims[1] * g.dims[2];
    g.siteOf.assign(voxels, -1);
    p.sites = 0;
    for (int& s : g.siteOf)
      if (!masked || rng() % 3) s = p.sites++;
  } while (voxels > 12 || p.sites < 2 || p.sites > 10);
  p.data.resize(p.sites * p.labels);
  for (int& d : p.data) d = static_cast<int>(rng() % 21);
  p.pairs.clear();
  const int step[3] = {1, g.dims[0], g.dims[0] * g.dims[1]};
  for (int d = 0; d < 3; d++) {
    g.weights[d].resize(p.sites);
    for (int& w : g.weights[d]) w = weighted ? static_cast<int>(rng() % 3) : 1;
  }
  for (int v = 0; v < voxels; v++) {
    const int at[3] = {v % g.dims[0], v / g.dims[0] % g.dims[1], v / step[2]};
    for (int d = 0; d < 3; d++) {
      if (at[d] + 1 == g.dims[d]) continue;
      const int s = g.siteOf[v], t = g.siteOf[v + step[d]];
      if (s >= 0 && t >= 0) p.pairs.push_back({s, t, g.weights[d][s]});
    }
  }
  return g;
}

// What one expansion of alpha must give: of the best labelings that keep
// each site's label or give it alpha, a site takes alpha only when all of
// them give it alpha (the cut with the smallest source side).
std::vector<int> expansionOf(const Problem& p, const std::vector<int>& labels, int alpha) {
  std::vector<int> active;
  for (int s = 0; s < p.sites; s++)
    if (labels[s] != alpha) active.push_back(s);
  int best = INT_MAX;
  unsigned common = 0;
  for (unsigned m = 0; m < 1u << active.size(); m++) {
    std::vector<int> trial = labels;
    for (size_t i = 0; i < active.size(); i++)
      if (m >> i & 1) trial[active[i]] = alpha;
    const int e = energyOf(p, trial);
    if (e < best) best = e, common = m;
    if (e == best) common &= m;
  }
  std::vector<int> result = labels;
  for (size_t i = 0; i < active.size(); i++)
    if (common >> i & 1) result[active[i]] = alpha;
  return result;
}

TEST(Grid3DGraphTest, MovesMatchEnumerationOverThePairsOfAPlainWalk) {
  const struct {
    bool masked, weighted;
  } cases[] = {{false, true}, {true, true}, {false, false}, {true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.masked ? "site map" : "every voxel") +
                 (c.weighted ? ", per-direction weights" : ", unit weights"));
    for (unsigned seed = 1; seed <= 60; seed++) {
      SCOPED_TRACE("seed " + std::to_string(seed));
      std::mt19937 rng(seed);
      GridProblem g = randomGrid(rng, c.masked, c.weighted);
      // Every other table costs 1 more everywhere (moves stay regular), so
      // that a labeling with one label throughout pays on every pair.
      if (seed % 2)
        for (int& v : g.p.smooth) v += 1;
      const Problem& p = g.p;
      const int* dims = g.dims;
      auto make = [&] {
        std::unique_ptr<Grid> made(
            c.masked ? new Grid(dims[0], dims[1], dims[2], g.siteOf.data(), p.sites, p.labels)
                     : new Grid(dims[0], dims[1], dims[2], p.labels));
        made->setDataCost(g.p.data.data());
        if (c.weighted)
          made->setSmoothCostXYZ(g.p.smooth.data(), g.weights[0].data(), g.weights[1].data(),
                                 g.weights[2].data());
        else
          made->setSmoothCost(g.p.smooth.data());
        return made;
      };
      const std::unique_ptr<Grid> made = make();
      Grid& grid = *made;

      // Iterations from label 0 throughout make the enumeration's moves and
      // return the energy of where they end: the first's last move is over
      // every site (its flow is that energy), the second's over those it
      // has not labelled alpha yet.
      {
        const std::unique_ptr<Grid> fresh = make();
        std::vector<int> expected(p.sites, 0);
        for (int iteration = 1; iteration <= 2; iteration++) {
          for (int alpha = 0; alpha < p.labels; alpha++) expected = expansionOf(p, expected, alpha);
          const int energy = fresh->oneExpansionIteration();
          for (int s = 0; s < p.sites; s++) ASSERT_EQ(fresh->whatLabel(s), expected[s]) << s;
          EXPECT_EQ(energy, energyOf(p, expected)) << "iteration " << iteration;
        }
      }

      // Each site's neighbours and weights are its pairs, in any order.
      for (int s = 0; s < p.sites; s++) {
        int n, *nbrs, *weights;
        grid.giveNeighborInfo(s, &n, &nbrs, &weights);
        std::vector<std::pair<int, int>> listed, expected;
        for (int k = 0; k < n; k++) listed.push_back({nbrs[k], weights[k]});
        for (const Pair& q : p.pairs)
          if (q.a == s || q.b == s) expected.push_back({q.a + q.b - s, q.w});
        std::sort(listed.begin(), listed.end());
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(listed, expected) << "site " << s;
      }

      std::vector<int> labels(p.sites, 0);
      ASSERT_EQ(grid.compute_energy(), energyOf(p, labels));
      // Mixed labels to start from: single-site moves to random labels.
      for (int s = 0; s < p.sites; s++) grid.alpha_expansion(int(rng() % p.labels), &s, 1);
      for (int s = 0; s < p.sites; s++) labels[s] = grid.whatLabel(s);
      for (int move = 0; move < 10; move++) {
        const int alpha = static_cast<int>(rng() % p.labels);
        if (move < 8) {
          labels = expansionOf(p, labels, alpha);
          grid.alpha_expansion(alpha);
        } else if (move == 8) {  // the general moves, through the neighbour lists
          std::vector<int> sites;
          std::vector<std::vector<int>> options;
          for (int s = 0; s < p.sites; s++) {
            options.push_back({labels[s]});
            if (rng() % 2 == 0 || labels[s] == alpha) continue;
            sites.push_back(s);
            options.back().push_back(alpha);
          }
          grid.alpha_expansion(alpha, sites.data(), static_cast<int>(sites.size()));
          for (int s = 0; s < p.sites; s++) labels[s] = grid.whatLabel(s);
          EXPECT_EQ(energyOf(p, labels), bestOf(p, options));
        } else {
          const int before = energyOf(p, labels);
          const int after = grid.swap(1);
          for (int s = 0; s < p.sites; s++) labels[s] = grid.whatLabel(s);
          EXPECT_EQ(after, energyOf(p, labels));
          EXPECT_LE(after, before);
        }
        for (int s = 0; s < p.sites; s++) ASSERT_EQ(grid.whatLabel(s), labels[s]) << s;
        EXPECT_EQ(grid.compute_energy(), energyOf(p, labels));
        EXPECT_TRUE(std::all_of(grid.m_site_to_var, grid.m_site_to_var + p.sites,
                                [](int v) { return v == -1; }));
      }
    }
  }
}

TEST(Grid3DGraphTest, RefusesWhatItCannotTake) {
  std::vector<int> smooth = {0, 1, 1, 0}, w(4, 1);
  GCoptimizationGrid3DGraph grid(2, 2, 1, 2);
  grid.setSmoothCost(smooth.data());
  EXPECT_EQ(messageOf([&] { grid.setSmoothCostXYZ(smooth.data(), w.data(), w.data(), w.data()); }),
            "Smoothness Costs are already initialized");
  const int unordered[] = {1, -1, 0, 2};
  EXPECT_DEATH(GCoptimizationGrid3DGraph(2, 2, 1, unordered, 3, 2), "ordered");
  EXPECT_DEATH(GCoptimizationGrid3DGraph(1, 1, 1, 2), "num_sites > 1");
}

}  // namespace

// An interrupted expansion leaves the labels as the last completed move
// left them, whether the check says stop before a move, while its terms are
// added or during its search; going on without the check then ends where
// an uninterrupted run does.
struct Countdown {
  long calls = 0, stopAt = -1;  // -1: never stop
  static bool check(void* self) {
    Countdown& c = *static_cast<Countdown*>(self);
    return ++c.calls == c.stopAt;
  }
};

struct InterruptedRun {
  std::vector<int> labels, resumed;  // when interrupted, then after going on
  bool interrupted;
};

InterruptedRun runGrid(const int dims[3], const std::vector<int>& data,
                       const std::vector<int> (&weights)[3], int iterations, Countdown& countdown) {
  std::vector<int> smooth = {0, 1, 1, 0};
  const int sites = dims[0] * dims[1] * dims[2];
  Grid grid(dims[0], dims[1], dims[2], 2);
  grid.setDataCost(const_cast<int*>(data.data()));
  grid.setSmoothCostXYZ(smooth.data(), const_cast<int*>(weights[0].data()),
                        const_cast<int*>(weights[1].data()), const_cast<int*>(weights[2].data()));
  grid.setInterruptCheck(Countdown::check, &countdown);
  InterruptedRun run;
  const int energy = grid.expansion(iterations);
  run.interrupted = grid.interrupted();
  for (int s = 0; s < sites; s++) run.labels.push_back(grid.whatLabel(s));
  EXPECT_EQ(energy, grid.compute_energy());
  EXPECT_TRUE(std::all_of(grid.m_site_to_var, grid.m_site_to_var + sites,
                          [](int v) { return v == -1; }));
  if (run.interrupted) {
    grid.setInterruptCheck(nullptr, nullptr);
    grid.expansion(iterations);
    for (int s = 0; s < sites; s++) run.resumed.push_back(grid.whatLabel(s));
  }
  return run;
}

TEST(Grid3DGraphTest, AnInterruptedMoveChangesNoLabel) {
  const int dims[3] = {24, 20, 20}, sites = dims[0] * dims[1] * dims[2];
  std::mt19937 rng(7);
  std::vector<int> data(2 * sites), weights[3];
  for (int& d : data) d = static_cast<int>(rng() % 40);
  for (auto& w : weights) {
    w.resize(sites);
    for (int& x : w) x = static_cast<int>(rng() % 12);
  }
  Countdown counting;
  const std::vector<int> none(sites, 0);
  const std::vector<int> first = runGrid(dims, data, weights, 1, counting).labels;
  const long firstCalls = counting.calls;
  // Before the move, at every 4096th of its variables, once built, and at
  // least once in the search.
  ASSERT_GE(firstCalls, 1 + (sites + 4095) / 4096 + 1 + 1);
  ASSERT_NE(first, none);
  // Every check up to the search's first, then some in the search, the
  // last of the first iteration and the second iteration's first two.
  std::vector<long> stops = {firstCalls / 3, firstCalls / 2, 2 * firstCalls / 3, firstCalls - 1,
                             firstCalls, firstCalls + 1, firstCalls + 2};
  for (long stop = 1; stop <= 1 + (sites + 4095) / 4096 + 2; stop++) stops.push_back(stop);
  for (long stop : stops) {
    SCOPED_TRACE("stopped at call " + std::to_string(stop));
    Countdown countdown;
    countdown.stopAt = stop;
    const InterruptedRun run = runGrid(dims, data, weights, 2, countdown);
    ASSERT_TRUE(run.interrupted);
    EXPECT_EQ(run.labels, stop <= firstCalls ? none : first);
    EXPECT_EQ(run.resumed, first);
  }
}

// Data costs from a function: the caller sees every read, so an iteration
// whose last move is over every site still ends by reading each site's cost
// at its new label, in site order, as the energy is summed.
namespace {
std::vector<std::pair<int, int>> costReads;
int loggedCost(int s, int l) {
  costReads.push_back({s, l});
  return (s * 7 + l * 3) % 5;
}
}  // namespace

TEST(Grid3DGraphTest, AnIterationWithCostsFromAFunctionSumsItsEnergy) {
  const int dims[3] = {3, 2, 2}, sites = 12;
  std::vector<int> smooth = {0, 1, 1, 0}, weights(sites, 1);
  Grid grid(dims[0], dims[1], dims[2], 2);
  grid.setDataCost(loggedCost);
  grid.setSmoothCostXYZ(smooth.data(), weights.data(), weights.data(), weights.data());
  costReads.clear();
  grid.oneExpansionIteration();
  ASSERT_GE(costReads.size(), std::size_t(sites));
  const std::vector<std::pair<int, int>> last(costReads.end() - sites, costReads.end());
  std::vector<std::pair<int, int>> expected;
  for (int s = 0; s < sites; s++) expected.push_back({s, grid.whatLabel(s)});
  EXPECT_EQ(last, expected);
}
