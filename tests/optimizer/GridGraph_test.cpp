// Grid neighbourhood: neighbour slots by region, pair weights with and
// without per-pixel weights, and agreement with the same grid declared as a
// general neighbourhood.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "optimizer/GCoptimization.h"
#include "tests/optimizer/reference.h"

using namespace reference;

namespace {

// Per pixel: its neighbours in slot order, each followed by its weight.
std::vector<std::vector<int>> table(GCoptimization& opt, int sites) {
  std::vector<std::vector<int>> out(sites);
  for (int p = 0; p < sites; p++) {
    int n, *nbrs, *weights;
    opt.giveNeighborInfo(p, &n, &nbrs, &weights);
    for (int k = 0; k < n; k++) out[p].insert(out[p].end(), {nbrs[k], weights[k]});
  }
  return out;
}

TEST(GridGraphTest, NeighboursFollowTheRegionSlotOrder) {
  GCoptimizationGridGraph two(2, 2, 2), three(3, 3, 2);
  EXPECT_EQ(table(two, 4), (std::vector<std::vector<int>>{
                               {1, 1, 2, 1}, {0, 1, 3, 1}, {3, 1, 0, 1}, {2, 1, 1, 1}}));
  EXPECT_EQ(table(three, 9), (std::vector<std::vector<int>>{{1, 1, 3, 1},
                                                            {2, 1, 0, 1, 4, 1},
                                                            {1, 1, 5, 1},
                                                            {4, 1, 0, 1, 6, 1},
                                                            {3, 1, 5, 1, 1, 1, 7, 1},
                                                            {4, 1, 2, 1, 8, 1},
                                                            {7, 1, 3, 1},
                                                            {8, 1, 6, 1, 4, 1},
                                                            {7, 1, 5, 1}}));
  EXPECT_DEATH(GCoptimizationGridGraph(1, 5, 2),
               "\\(width > 1\\) && \\(height > 1\\) && \\(num_labels > 1 \\)");
}

TEST(GridGraphTest, PerPixelWeightsAreIndexedByTheLeftOrUpperPixel) {
  std::vector<int> smooth = {0, 1, 1, 0}, V(9), H(9);
  for (int p = 0; p < 9; p++) V[p] = 10 + p, H[p] = 20 + p;
  GCoptimizationGridGraph opt(3, 3, 2);
  opt.setSmoothCostVH(smooth.data(), V.data(), H.data());
  std::vector<std::vector<int>> t = table(opt, 9);
  EXPECT_EQ(t[4], (std::vector<int>{3, H[3], 5, H[4], 1, V[1], 7, V[4]}));
  EXPECT_EQ(t[2], (std::vector<int>{1, H[1], 5, V[2]}));

  std::vector<int> other(9, 99);
  EXPECT_EQ(messageOf([&] { opt.setSmoothCostVH(smooth.data(), other.data(), other.data()); }),
            "Smoothness Costs are already initialized");
  EXPECT_EQ(table(opt, 9), t);
  GCoptimizationGridGraph unit(3, 3, 2);
  unit.setSmoothCost(smooth.data());
  EXPECT_EQ(messageOf([&] { unit.setSmoothCostVH(smooth.data(), V.data(), H.data()); }),
            "Smoothness Costs are already initialized");
  GCoptimizationGridGraph fresh(3, 3, 2);
  EXPECT_EQ(table(unit, 9), table(fresh, 9));
}

// A random problem laid on a w x h grid with random per-pixel weights, solved
// on the grid and as declared pairs of a general neighbourhood.
TEST(GridGraphTest, AgreesWithTheSameGridAsAGeneralNeighbourhood) {
  forRandomProblems(100, [](Installer& in, std::mt19937& rng) {
    Problem& p = in.p;
    int w = 2 + static_cast<int>(rng() % 2), h = 2 + static_cast<int>(rng() % 3);
    p.sites = w * h;
    p.data.resize(p.sites * p.labels);
    for (int& d : p.data) d = static_cast<int>(rng() % 21);
    std::vector<int> V(p.sites), H(p.sites);
    p.pairs.clear();
    for (int q = 0; q < p.sites; q++) {
      V[q] = static_cast<int>(rng() % 6), H[q] = static_cast<int>(rng() % 6);
      if (q % w + 1 < w) p.pairs.push_back({q, q + 1, H[q]});
      if (q + w < p.sites) p.pairs.push_back({q, q + w, V[q]});
    }
    GCoptimizationGridGraph grid(w, h, p.labels);
    grid.setDataCost(p.data.data());
    grid.setSmoothCostVH(p.smooth.data(), V.data(), H.data());
    Optimizer general(in, Source::kTable);
    EXPECT_EQ(grid.compute_energy(), general.compute_energy());
    EXPECT_EQ(grid.expansion(2), general.expansion(2));
    EXPECT_EQ(grid.swap(2), general.swap(2));
    std::vector<int> labels = general.labels();
    for (int q = 0; q < p.sites; q++) EXPECT_EQ(grid.whatLabel(q), labels[q]);
    EXPECT_EQ(grid.compute_energy(), energyOf(p, labels));
  });
}

}  // namespace
