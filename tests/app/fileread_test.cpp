#include "app/fileread.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/niiIO.h"
#include "optimizer/GCoptimization.h"
#include "tests/app/nifti_files.h"

using namespace testfiles;

namespace {

// A set whose four volumes hold the given values; released by the caller.
Eigenvector setOf(int dimX, int dimY, int dimZ, const std::vector<float>& value,
                  const std::vector<float>& x, const std::vector<float>& y,
                  const std::vector<float>& z) {
  Eigenvector set = newEigenvector(dimX, dimY, dimZ);
  std::copy(value.begin(), value.end(), set.eigenvalue.data);
  std::copy(x.begin(), x.end(), set.x.data);
  std::copy(y.begin(), y.end(), set.y.data);
  std::copy(z.begin(), z.end(), set.z.data);
  return set;
}

std::vector<float> values(const Image& image) {
  return std::vector<float>(image.data, image.data + image.dimX * image.dimY * image.dimZ);
}

std::string summaryOf(const Image& image) {
  testing::internal::CaptureStdout();
  summarize(image);
  return testing::internal::GetCapturedStdout();
}

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
// Loading

// The components come in argument order, from four files (of mixed
// encodings) or one compressed 4-D file. The energy only sees dot products,
// so the command's results cannot show the same swap made in every set.
TEST(LoadTest, ComponentsComeInArgumentOrderFromFourFilesOrOne4DFile) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int k = 0; k < 4; ++k) {
    paths.push_back(dir.path("c" + std::to_string(k) + ".nii"));
    writeFile(paths[k], volumeFile(2, 1, 1, {10.0 * k, 10.0 * k + 1}, k == 1 ? 4 : 16, k == 2));
  }
  std::string vectors = dir.path("V1.nii.gz");
  writeFile(vectors, gzipped(volumesFile(2, 1, 1, 3, {10, 11, 20, 21, 30, 31})));
  Eigenvector sets[] = {
      getEigenvector(paths[0].c_str(), paths[1].c_str(), paths[2].c_str(), paths[3].c_str()),
      getEigenvector(paths[0].c_str(), vectors.c_str())};
  for (const Eigenvector& set : sets) {
    EXPECT_EQ(values(set.eigenvalue), (std::vector<float>{0, 1}));
    EXPECT_EQ(values(set.x), (std::vector<float>{10, 11}));
    EXPECT_EQ(values(set.y), (std::vector<float>{20, 21}));
    EXPECT_EQ(values(set.z), (std::vector<float>{30, 31}));
    releaseEigenvector(set);
  }
}

// ---------------------------------------------------------------------------
// Per-voxel operations

TEST(VoxelTest, DotAddsTheZProductLast) {
  // (1 + 1e8) rounds to 1e8 in single precision, so the order shows.
  EXPECT_EQ(dot({1, 1, 1}, {1, 1e8f, -1e8f}), 0.0f);
  EXPECT_EQ(dot({1, 2, 3}, {4, -5, 6}), 12.0f);
}

// ---------------------------------------------------------------------------
// Principal component

TEST(PrincipalTest, LargerOfTakesWholeSetsTiesToTheFirst) {
  // Voxels: a larger, b larger, tie, NaN in b, NaN in a.
  Eigenvector a =
      setOf(5, 1, 1, {3, 1, 2, 5, NAN}, {1, 1, 1, 1, 1}, {2, 2, 2, 2, 2}, {3, 3, 3, 3, 3});
  Eigenvector b =
      setOf(5, 1, 1, {1, 3, 2, NAN, 5}, {4, 4, 4, 4, 4}, {5, 5, 5, 5, 5}, {6, 6, 6, 6, 6});
  Eigenvector r = largerOf(a, b);
  EXPECT_EQ(values(r.x), (std::vector<float>{1, 4, 1, 4, 4}));
  EXPECT_EQ(values(r.y), (std::vector<float>{2, 5, 2, 5, 5}));
  EXPECT_EQ(values(r.z), (std::vector<float>{3, 6, 3, 6, 6}));
  EXPECT_EQ(r.eigenvalue.data[0], 3.0f);
  EXPECT_EQ(r.eigenvalue.data[1], 3.0f);
  EXPECT_TRUE(std::isnan(r.eigenvalue.data[3]));
  EXPECT_EQ(r.eigenvalue.data[4], 5.0f);
  EXPECT_EQ(a.x.data[1], 1.0f);  // inputs unchanged
  releaseEigenvector(r);
  releaseEigenvector(a);
  releaseEigenvector(b);
}

TEST(PrincipalTest, ExtractTakesTheLargestTiesToTheEarlierSet) {
  Eigenvector s1 = setOf(3, 1, 1, {1, 7, 2}, {10, 10, 10}, {0, 0, 0}, {0, 0, 0});
  Eigenvector s2 = setOf(3, 1, 1, {3, 7, 2}, {20, 20, 20}, {0, 0, 0}, {0, 0, 0});
  Eigenvector s3 = setOf(3, 1, 1, {3, 1, 9}, {30, 30, 30}, {0, 0, 0}, {0, 0, 0});
  Eigenvector p = extractPrincipalEigenvector(s1, s2, s3);
  EXPECT_EQ(values(p.x), (std::vector<float>{20, 10, 30}));
  EXPECT_EQ(values(p.eigenvalue), (std::vector<float>{3, 7, 9}));
  EXPECT_STREQ(p.eigenvalue.name, "eigenvalue");
  EXPECT_STREQ(p.x.name, "eigenvector_x");
  EXPECT_STREQ(p.y.name, "eigenvector_y");
  EXPECT_STREQ(p.z.name, "eigenvector_z");
  releaseEigenvector(p);
  for (Eigenvector s : {s1, s2, s3}) releaseEigenvector(s);
}

TEST(PrincipalTest, SetsOfDifferentSizesAreRefused) {
  Eigenvector small = newEigenvector(2, 2, 2);
  Eigenvector large = newEigenvector(2, 2, 3);
  try {
    largerOf(small, large);
    ADD_FAILURE();
  } catch (const NiftiError& error) {
    EXPECT_EQ(std::string(error.what()),
              "eigenvalue: dimensions 2 x 2 x 3 differ from the 2 x 2 x 2 of eigenvalue");
  }
  // A mismatch inside the first argument is caught as well, and the
  // intermediate set of the three-way choice is not leaked.
  Eigenvector broken = newEigenvector(2, 2, 2);
  Image z = broken.z;
  broken.z = large.z;
  EXPECT_THROW(largerOf(broken, small), NiftiError);
  EXPECT_THROW(extractPrincipalEigenvector(small, small, large), NiftiError);
  broken.z = z;
  for (Eigenvector s : {small, large, broken}) releaseEigenvector(s);
}

// ---------------------------------------------------------------------------
// Summaries

TEST(SummaryTest, PrintsTheFiveLines) {
  float data[] = {-2, -1, 4};
  Image image = {data, 3, 1, 1, "fa.nii"};
  EXPECT_EQ(summaryOf(image),
            "Properties for fa.nii\n"
            "          Dimensions :\t3 1 1\n"
            "             Minimum :\t-2.000000000000000\n"
            "             Maximum :\t4.000000000000000\n"
            "       Non-zero Mean :\t4.000000000000000\n");
  Eigenvector set = newEigenvector(1, 1, 1);
  set.eigenvalue.data[0] = set.x.data[0] = set.y.data[0] = set.z.data[0] = 1;
  std::string text =
      summaryOf(set.eigenvalue) + summaryOf(set.x) + summaryOf(set.y) + summaryOf(set.z);
  testing::internal::CaptureStdout();
  summarize(set);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), text);
  EXPECT_EQ(text.rfind("Properties for eigenvalue\n", 0), 0u);
  releaseEigenvector(set);
}

TEST(SummaryTest, EmptyAndZeroVolumesShowTheStartingBoundsAndNaN) {
  float zeros[] = {0, 0}, huge[] = {2e6f, 3e6f};
  std::string text = summaryOf({zeros, 2, 1, 1, "zero"});
  EXPECT_NE(text.find("Minimum :\t0.000000000000000\n             Maximum :\t0.000000000000000"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("nan\n"), std::string::npos) << text;  // "nan" or "-nan"
  text = summaryOf({zeros, 0, 1, 1, "empty"});
  EXPECT_NE(text.find("Minimum :\t1000000.000000000000000\n             Maximum :\t-1000000."),
            std::string::npos)
      << text;
  EXPECT_NE(summaryOf({huge, 2, 1, 1, "big"}).find("Minimum :\t1000000.000000000000000"),
            std::string::npos);
}

// ---------------------------------------------------------------------------
// Segmentation costs

TEST(CostFormulaTest, DataCostExamples) {
  struct Case {
    float s;
    int label0, label1;
  };
  const Case cases[] = {{0.5f, 0, 0}, {1.0f, 1, 0}, {3.0f, 9, 4}, {-0.9f, 0, 3}, {0.0f, 0, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(floatToInt(dataCostFor(c.s, 0)), c.label0) << c.s;
    EXPECT_EQ(floatToInt(dataCostFor(c.s, 1)), c.label1) << c.s;
  }
  EXPECT_TRUE(std::isnan(dataCostFor(NAN, 0)));
}

TEST(CostFormulaTest, PairWeightExamples) {
  const Vector ex = {1, 0, 0}, ey = {0, 1, 0}, half = {0.5f, 0, 0};
  EXPECT_EQ(floatToInt(smoothCostFor(ex, 0.5f, ey, 0.5f)), 1);  // (1/1)^2 - 0
  EXPECT_EQ(floatToInt(smoothCostFor(ex, 1.0f, ey, 0.0f)), 0);  // 1 - 1
  EXPECT_EQ(floatToInt(smoothCostFor({7, 3, 1}, 1.0f, {-2, 5, 9}, 0.0f)), 0);
  EXPECT_EQ(floatToInt(smoothCostFor(ex, 1.0f, half, 1.0f)), 0);  // (0.5 - 0.5)^2
  // A zero scalar sum gives 1/0: +infinity, saturated.
  EXPECT_EQ(smoothCostFor(ex, 0.0f, ey, 0.0f), INFINITY);
  EXPECT_EQ(floatToInt(smoothCostFor(ex, 0.0f, ey, 0.0f)), INT_MAX);
  // Scalar values outside [0, 1] can make it negative.
  EXPECT_LT(smoothCostFor(ex, 3.0f, ey, -0.5f), 0.0f);
}

// Hand-computed single-precision values: each weight scales its own term.
TEST(CostFormulaTest, WeightsScaleTheirTerms) {
  // d = 0.8f - 1 = -0.19999999; d*(d*100) = 3.9999995, truncated to 3.
  EnergyWeights heavy;
  heavy.data = 100;
  EXPECT_EQ(floatToInt(dataCostFor(0.8f, 0, heavy)), 64);
  EXPECT_EQ(floatToInt(dataCostFor(0.8f, 1, heavy)), 3);

  // Three voxels along x: scalar 0.5, 0.5, 1; scaled directions (2,0,0),
  // (2,0,0), (0,1,0). Pair (1, 0): r = 1, k = 0.25*principal, a.b = 4;
  // pair (2, 1): r = 1/1.5, d = 0.5, a.b = 0.
  Eigenvector principal = newEigenvector(3, 1, 1);
  const float eigen[] = {2, 2, 1}, dirX[] = {1, 1, 0}, dirY[] = {0, 0, 1};
  for (int p = 0; p < 3; ++p) {
    principal.eigenvalue.data[p] = eigen[p];
    principal.x.data[p] = dirX[p];
    principal.y.data[p] = dirY[p];
    principal.z.data[p] = 0;
  }
  float scalar[] = {0.5f, 0.5f, 1.0f};
  EnergyWeights w;
  w.data = 10;
  w.smoothFA = 3;
  w.smoothPrincipal = 0.5f;
  w.smoothOmnibus = -4;
  SegmentationCosts costs = buildSegmentationCosts(principal, {scalar, 3, 1, 1, "fa"}, w);
  EXPECT_EQ(std::vector<int>(costs.dataCosts, costs.dataCosts + 6),
            (std::vector<int>{2, 2, 2, 2, 10, 0}));
  // (3 - 0.125*4)^2 = 6.25 and (3*0.6666667)^2 + 4*0.25 = 5.
  EXPECT_EQ(std::vector<int>(costs.weights, costs.weights + 2), (std::vector<int>{6, 5}));
  releaseSegmentationCosts(costs);
  releaseEigenvector(principal);
}

TEST(SegmentationCostsTest, PairsAreCountedPerAxis) {
  EXPECT_EQ(countNeighborPairs(2, 1, 1), 1);
  EXPECT_EQ(countNeighborPairs(2, 2, 2), 12);
  EXPECT_EQ(countNeighborPairs(1, 1, 7), 6);
}

// The single voxel's refusal is checked through the command.
TEST(SegmentationCostsTest, RefusesVolumesTheOptimizerCannotTake) {
  EXPECT_THROW(requireSegmentable({nullptr, 1, 1, 1, "one.nii"}), NiftiError);
  requireSegmentable({nullptr, 2, 1, 1, "two"});
  requireSegmentable({nullptr, 1024, 1024, 341, "large"});
  // 3 x 2^29 voxels would need more neighbour pairs than an int can count.
  Image huge = {nullptr, 32767, 32767, 700, "huge.nii"};
  EXPECT_THROW(requireSegmentable(huge), NiftiError);
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
    testing::internal::CaptureStdout();
    segment({data.data(), weights.data(), n, static_cast<long long>(pairs.size())},
            {nullptr, 4, 3, 3, "shape"}, labels.data(), &trace);
    testing::internal::GetCapturedStdout();

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
    EXPECT_EQ(trace.energies[trace.iterations - 1], after);
    EXPECT_EQ(trace.iterations == 2, trace.energies[0] < before);
    for (int p = 0; p < n; ++p) EXPECT_EQ(labels[p], reference.whatLabel(p)) << p;
  }
  EXPECT_GT(seen[1], 0);
  EXPECT_GT(seen[2], 0);
}
