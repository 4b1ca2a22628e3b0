// Tests of the segmentation energy: its costs against values worked out by
// hand, and segment() against the optimizer's own expansion.
#include "app/segmentation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/floatToInt.h"
#include "optimizer/GCoptimization.h"

namespace {

// Neighbour pairs (p, q) by a plain walk: x outermost, z innermost, then the
// -x, -y, -z neighbours q of each voxel p.
std::vector<std::pair<int, int>> pairsInOrder(int dimX, int dimY, int dimZ) {
  std::vector<std::pair<int, int>> pairs;
  for (int i = 0; i < dimX; ++i)
    for (int j = 0; j < dimY; ++j)
      for (int k = 0; k < dimZ; ++k) {
        int p = i + dimX * (j + dimY * k);
        if (i > 0) pairs.push_back({p, p - 1});
        if (j > 0) pairs.push_back({p, p - dimX});
        if (k > 0) pairs.push_back({p, p - dimX * dimY});
      }
  return pairs;
}

}  // namespace

// ---------------------------------------------------------------------------
// Segmentation costs

// Hand-computed single-precision values: each weight scales its own term.
TEST(CostFormulaTest, WeightsScaleTheirTerms) {
  // d = 0.3f - 1 = -0.7; d*(d*100) = 49 exactly, where (d*d)*100 would give
  // 48.999996, truncated to 48; for label 0, 9.000001. A NaN stays NaN.
  const EnergyWeights heavy{100};  // the other weights as by default
  EXPECT_EQ(floatToInt(dataCostFor(0.3f, 0, heavy)), 9);
  EXPECT_EQ(floatToInt(dataCostFor(0.3f, 1, heavy)), 49);
  EXPECT_TRUE(std::isnan(dataCostFor(NAN, 0)));

  // Three voxels along x: scalar 0.5, 0.5, 1; scaled directions (2,0,0),
  // (2,0,0), (0,1,0). Pair (1, 0): r = 1, k = 0.25*principal, a.b = 4;
  // pair (2, 1): r = 1/1.5, d = 0.5, a.b = 0.
  Eigenvector principal = newEigenvector(3, 1, 1);
  const float eigen[] = {2, 2, 1}, dirX[] = {1, 1, 0}, dirY[] = {0, 0, 1}, dirZ[] = {0, 0, 0};
  std::copy(eigen, eigen + 3, principal.eigenvalue.data);
  std::copy(dirX, dirX + 3, principal.x.data);
  std::copy(dirY, dirY + 3, principal.y.data);
  std::copy(dirZ, dirZ + 3, principal.z.data);
  float scalar[] = {0.5f, 0.5f, 1.0f};
  const EnergyWeights w{10, 3, 0.5f, -4};  // data, FA, principal, omnibus
  SegmentationCosts costs = buildSegmentationCosts(principal, {scalar, 3, 1, 1, "fa"}, w);
  EXPECT_EQ(costs.dataCosts, (std::vector<int>{2, 2, 2, 2, 10, 0}));
  // (3 - 0.125*4)^2 = 6.25 and (3*0.6666667)^2 + 4*0.25 = 5.
  EXPECT_EQ(costs.weights, (std::vector<int>{6, 5}));
  // A zero scalar sum makes 1/0: +infinity, which floatToInt saturates;
  // scalar values outside [0, 1] can make a weight negative.
  EXPECT_EQ(smoothCostFor({1, 0, 0}, 0.0f, {0, 1, 0}, 0.0f), INFINITY);
  EXPECT_LT(smoothCostFor({1, 0, 0}, 3.0f, {0, 1, 0}, -0.5f), 0.0f);
}

// ---------------------------------------------------------------------------
// Optimisation

// segment runs the loop of expansion(2) itself, to report the energy after
// each iteration: labels and energies must be those of expansion(2), with a
// second iteration exactly when the first lowered the energy.
TEST(SegmentTest, MatchesExpansionAndTracesEachIteration) {
  const unsigned seed = 99;
  std::printf("seed %u\n", seed);
  std::mt19937 random(seed);
  const int n = 36;
  const std::vector<std::pair<int, int>> pairs = pairsInOrder(4, 3, 3);
  int seen[kExpansionIterations + 1] = {};
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    // Every other round label 1 never pays: one iteration, no change.
    std::vector<int> data(2 * n), weights(pairs.size());
    for (int p = 0; p < n; ++p) {
      data[2 * p] = static_cast<int>(random() % 20);
      data[2 * p + 1] = data[2 * p] + static_cast<int>(random() % 20) - (round % 2 ? 0 : 10);
    }
    for (int& w : weights) w = static_cast<int>(random() % 15);
    std::vector<float> labels(n);
    ExpansionTrace trace;
    segment({data, weights, {}}, {nullptr, 4, 3, 3, "shape"}, labels.data(), &trace, nullptr);

    int smoothness[4] = {0, 1, 1, 0};
    GCoptimizationGeneralGraph reference(n, 2);
    for (size_t k = 0; k < pairs.size(); ++k)
      reference.setNeighbors(pairs[k].first, pairs[k].second, weights[k]);
    reference.setDataCost(data.data());
    reference.setSmoothCost(smoothness);
    int before = reference.compute_energy();
    int after = reference.expansion(kExpansionIterations);
    ASSERT_TRUE(trace.iterations == 1 || trace.iterations == 2);
    ++seen[trace.iterations];
    EXPECT_EQ(trace.before, before);
    EXPECT_EQ(trace.energies[trace.iterations - 1], after);
    EXPECT_EQ(trace.after, after);
    EXPECT_EQ(trace.iterations == 2, trace.energies[0] < before);
    for (int p = 0; p < n; ++p) EXPECT_EQ(labels[p], reference.whatLabel(p)) << p;
  }
  EXPECT_GT(seen[1], 0);
  EXPECT_GT(seen[2], 0);
}
