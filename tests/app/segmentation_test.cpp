// Tests of the segmentation energy: its costs against values worked out by
// hand, and the pipeline against the optimizer's own expansion.
#include "app/segmentation/segmentation.h"

#include "app/segmentation/pipeline.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/segmentation/error.h"
#include "app/segmentation/floatToInt.h"
#include "app/segmentation/neighbourhood.h"
#include "optimizer/GCoptimization.h"

namespace {

// Neighbour pairs (p, q, slot) by a plain walk: the -x, -y, -z neighbours q
// of each voxel p, and where the costs keep the pair's weight: slot q for
// x, n + q for y, 2n + q for z (n voxels).
std::vector<std::array<int, 3>> pairsOf(int dimX, int dimY, int dimZ) {
  std::vector<std::array<int, 3>> pairs;
  const int n = dimX * dimY * dimZ;
  for (int i = 0; i < dimX; ++i)
    for (int j = 0; j < dimY; ++j)
      for (int k = 0; k < dimZ; ++k) {
        int p = i + dimX * (j + dimY * k);
        if (i > 0) pairs.push_back({p, p - 1, p - 1});
        if (j > 0) pairs.push_back({p, p - dimX, n + p - dimX});
        if (k > 0) pairs.push_back({p, p - dimX * dimY, 2 * n + p - dimX * dimY});
      }
  return pairs;
}

}  // namespace

// ---------------------------------------------------------------------------
// Neighbourhood

// Masked neighbourhoods against a plain enumeration: sites numbered in voxel
// order where the mask is non-zero and not NaN (or the byte is set), and the
// walk's pairs, in its order, those of two sites towards -x, -y, -z.
TEST(NeighbourhoodTest, NumbersMaskedSitesAndCountsTheirPairs) {
  std::mt19937 random(7);
  const float values[] = {0.0f, -0.0f, NAN, 1.0f, -3.0f, INFINITY, 0.5f};
  const int shapes[][3] = {{1, 1, 5}, {5, 1, 1}, {4, 3, 2}, {7, 5, 6}, {16, 9, 3}};
  for (const auto& dims : shapes) {
    for (int density : {10, 50, 90, 100}) {
      const int dimX = dims[0], dimY = dims[1], n = dims[0] * dims[1] * dims[2];
      std::vector<float> mask(n);
      std::vector<unsigned char> inside(n);
      for (int p = 0; p < n; ++p) {
        mask[p] = int(random() % 100) < density ? values[3 + random() % 4] : values[random() % 3];
        inside[p] = mask[p] != 0.0f && !std::isnan(mask[p]);
      }
      std::vector<int> site(n, -1);
      int sites = 0;
      for (int p = 0; p < n; ++p)
        if (inside[p]) site[p] = sites++;
      std::vector<std::array<int, 3>> expected;  // (p, q, slot)
      for (int p = 0; p < n; ++p) {
        if (site[p] < 0) continue;
        const int x = p % dimX, y = p / dimX % dimY, z = p / (dimX * dimY);
        const int q[3] = {p - 1, p - dimX, p - dimX * dimY};
        const bool has[3] = {x > 0, y > 0, z > 0};
        for (int d = 0; d < 3; ++d)
          if (has[d] && site[q[d]] >= 0) expected.push_back({p, q[d], d * sites + site[q[d]]});
      }
      const Image shape{nullptr, dims[0], dims[1], dims[2], "shape"};
      const Image maskImage{mask.data(), dims[0], dims[1], dims[2], "mask"};
      if (sites < 2) {
        EXPECT_THROW(Neighbourhood(shape, maskImage), AppError);
        continue;
      }
      const Neighbourhood fromMask(shape, maskImage);
      const Neighbourhood fromBytes(shape, inside, "tensors", "defined");
      for (const Neighbourhood* grid : {&fromMask, &fromBytes}) {
        ASSERT_EQ(grid->numSites(), sites);
        EXPECT_EQ(grid->numPairs(), static_cast<long long>(expected.size()));
        EXPECT_TRUE(std::equal(site.begin(), site.end(), grid->siteMap()));
        std::vector<std::array<int, 3>> walked;
        grid->walk([](int, int) {},
                   [&](int p, int q, int, int, long long slot) { walked.push_back({p, q, int(slot)}); });
        EXPECT_EQ(walked, expected);
      }
    }
  }
  // Too few sites: the message names the mask and says how many are inside.
  std::vector<float> one(60, 0.0f);
  one[17] = 1.0f;
  try {
    Neighbourhood(Image{nullptr, 5, 4, 3, "shape"}, Image{one.data(), 5, 4, 3, "m.nii"});
    ADD_FAILURE() << "a mask of one voxel was accepted";
  } catch (const AppError& e) {
    EXPECT_NE(std::string(e.what()).find("has 1 voxel inside (non-zero and not NaN) of 60"),
              std::string::npos)
        << e.what();
  }
}

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
  SegmentationCosts costs = buildSegmentationCosts(principal, {scalar, 3, 1, 1, "fa"}, w,
                                                   Neighbourhood(principal.eigenvalue));
  EXPECT_EQ(costs.dataCosts, (std::vector<int>{2, 2, 2, 2, 10, 0}));
  // (3 - 0.125*4)^2 = 6.25 and (3*0.6666667)^2 + 4*0.25 = 5, in the +x
  // slots of voxels 0 and 1; no pairs along y or z.
  EXPECT_EQ(costs.weights, (std::vector<int>{6, 5, 0, 0, 0, 0, 0, 0, 0}));
  // A zero scalar sum makes 1/0: +infinity, which floatToInt saturates;
  // scalar values outside [0, 1] can make a weight negative.
  EXPECT_EQ(smoothCostFor({1, 0, 0}, 0.0f, {0, 1, 0}, 0.0f), INFINITY);
  EXPECT_LT(smoothCostFor({1, 0, 0}, 3.0f, {0, 1, 0}, -0.5f), 0.0f);
}

// ---------------------------------------------------------------------------
// Optimisation

// The costs of `volumes` written plainly: per voxel the principal set by
// comparisons (a NaN takes the later set), the data costs, and each pair's
// weight in its slot.
SegmentationCosts plainCosts(const SegmentationVolumes& volumes, const int dims[3],
                             const EnergyWeights& w) {
  const int n = dims[0] * dims[1] * dims[2];
  const float* s = volumes.scalar.data;
  std::vector<Vector> principal(n);
  SegmentationCosts costs;
  for (int p = 0; p < n; ++p) {
    const Eigenvector* sets = volumes.sets;
    int best = sets[0].eigenvalue.data[p] >= sets[1].eigenvalue.data[p] ? 0 : 1;
    if (!(sets[best].eigenvalue.data[p] >= sets[2].eigenvalue.data[p])) best = 2;
    principal[p] = vectorAt(p, sets[best]);
    for (int l = 0; l < 2; ++l) costs.dataCosts.push_back(floatToInt(dataCostFor(s[p], l, w)));
  }
  costs.weights.assign(3 * n, 0);
  for (const std::array<int, 3>& pair : pairsOf(dims[0], dims[1], dims[2])) {
    const int p = pair[0], q = pair[1];
    costs.weights[pair[2]] = floatToInt(smoothCostFor(principal[q], s[q], principal[p], s[p], w));
  }
  return costs;
}

// Labels and energies must be those of expansion(2) of a general
// neighbourhood on the same costs (built plainly and limited), with a
// second iteration exactly when the first lowered the energy; the first two
// rounds are of a volume large enough to be split across cores.
TEST(PipelineTest, MatchesExpansionOfItsCostsAndTracesEachIteration) {
  const unsigned seed = 99;
  std::printf("seed %u\n", seed);
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> eigen(0.1f, 2.0f), component(-1, 1), scalar(0, 1);
  int seen[kExpansionIterations + 1] = {};
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const int small[] = {4, 3, 3}, large[] = {40, 31, 25};
    const int* dims = round < 2 ? large : small;
    const int n = dims[0] * dims[1] * dims[2];
    SegmentationVolumes volumes;
    for (Eigenvector& set : volumes.sets) {
      set = newEigenvector(dims[0], dims[1], dims[2]);
      for (int p = 0; p < n; ++p)
        set.eigenvalue.data[p] = eigen(random), set.x.data[p] = component(random),
        set.y.data[p] = component(random), set.z.data[p] = component(random);
    }
    volumes.scalar = newEigenvector(dims[0], dims[1], dims[2]).eigenvalue;
    for (int p = 0; p < n; ++p) volumes.scalar.data[p] = scalar(random);
    // Every other round the default data weight makes every data cost 0:
    // one iteration, no change.
    EnergyWeights weights;
    if (round % 2 == 0) weights = {100, 0.5f, 1, 1};
    const SegmentationResult result = runSegmentation(volumes, EnergyModel::kScalar, weights, nullptr);

    SegmentationCosts costs = plainCosts(volumes, dims, weights);
    limitSegmentationCosts(costs);
    int smoothness[4] = {0, 1, 1, 0};
    GCoptimizationGeneralGraph reference(n, 2);
    for (const std::array<int, 3>& pair : pairsOf(dims[0], dims[1], dims[2]))
      reference.setNeighbors(pair[0], pair[1], costs.weights[pair[2]]);
    reference.setDataCost(costs.dataCosts.data());
    reference.setSmoothCost(smoothness);
    std::vector<int> energies;  // the reference's: before, then after each iteration
    reference.setIterationCallback(
        [](int, int energy, void* extra) { static_cast<std::vector<int>*>(extra)->push_back(energy); },
        &energies);
    const int after = reference.expansion(kExpansionIterations);
    const int iterations = static_cast<int>(result.iterationEnergies.size());
    ASSERT_TRUE(iterations == 1 || iterations == 2);
    ++seen[iterations];
    EXPECT_EQ(result.energyBefore, energies[0]);
    EXPECT_EQ(result.iterationEnergies, std::vector<int>(energies.begin() + 1, energies.end()));
    EXPECT_EQ(result.energyAfter, after);
    long long ones = 0;
    for (int p = 0; p < n; ++p) {
      ASSERT_EQ(result.labels[p], reference.whatLabel(p)) << p;
      ones += reference.whatLabel(p);
    }
    EXPECT_EQ(result.label1Sites, ones);
  }
  EXPECT_GT(seen[1], 0);
  EXPECT_GT(seen[2], 0);
}
