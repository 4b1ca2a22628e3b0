#include "app/volume.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/app/nifti_files.h"

using namespace testfiles;

namespace {

// A set whose four volumes hold the given values.
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
}

TEST(PrincipalTest, SetsOfDifferentSizesAreRefused) {
  Eigenvector small = newEigenvector(2, 2, 2);
  Eigenvector large = newEigenvector(2, 2, 3);
  try {
    largerOf(small, large);
    ADD_FAILURE();
  } catch (const AppError& error) {
    EXPECT_EQ(std::string(error.what()),
              "eigenvalue: dimensions 2 x 2 x 3 differ from the 2 x 2 x 2 of eigenvalue");
  }
  // A mismatch inside the first argument is caught as well, and the
  // intermediate set of the three-way choice is not leaked.
  Eigenvector broken = newEigenvector(2, 2, 2);
  broken.z = large.z;
  EXPECT_THROW(largerOf(broken, small), AppError);
  EXPECT_THROW(extractPrincipalEigenvector(small, small, large), AppError);
}
