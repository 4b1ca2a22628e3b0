// Tests of the tensor volumes: the components' order as loaded, the order of
// a dot product's terms, and the choice of the principal set per voxel.
#include "app/segmentation/volume.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/command/inputFiles.h"
#include "tests/app/nifti_files.h"

using namespace testfiles;

namespace {

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
  for (const Eigenvector& set : sets)
    EXPECT_EQ((std::vector<std::vector<float>>{values(set.eigenvalue), values(set.x), values(set.y),
                                               values(set.z)}),
              (std::vector<std::vector<float>>{{0, 1}, {10, 11}, {20, 21}, {30, 31}}));
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

// Per voxel the whole set (eigenvalue and components) of the largest
// eigenvalue, ties to the earlier set. Voxels: set 1, 2 or 3 largest; ties
// of sets 1 and 2, then of 2 and 3; a NaN in set 1, 2 or 3 (a comparison
// with NaN fails, which takes the later of the two sets compared). The same
// from every way of making it: into new volumes; taken from sets that other
// records share (left as they were) or that it owns (made in the first
// set's arrays); folded as the sets are read, set 3 arriving last.
TEST(PrincipalTest, ExtractTakesTheWholeLargestSetTiesToTheEarlier) {
  const float eigen[3][8] = {
      {3, 1, 1, 5, 1, NAN, 2, 2}, {2, 3, 1, 5, 4, 1, NAN, 1}, {1, 2, 3, 4, 4, 0, 1, NAN}};
  const int chosen[] = {1, 2, 3, 1, 2, 2, 3, 3};
  for (int way = 0; way < 4; ++way) {
    SCOPED_TRACE(way);
    Eigenvector sets[3];
    for (int k = 0; k < 3; ++k) {
      sets[k] = newEigenvector(8, 1, 1);
      std::copy(eigen[k], eigen[k] + 8, sets[k].eigenvalue.data);
      std::fill(sets[k].x.data, sets[k].x.data + 8, 10.0f * (k + 1));
      std::fill(sets[k].y.data, sets[k].y.data + 8, 10.0f * (k + 1) + 1);
      std::fill(sets[k].z.data, sets[k].z.data + 8, 10.0f * (k + 1) + 2);
    }
    const Eigenvector shared = way == 1 ? sets[0] : Eigenvector();
    const float* first = sets[0].x.data;
    Eigenvector p;
    if (way == 0) {
      p = extractPrincipalEigenvector(sets[0], sets[1], sets[2]);
    } else {
      Eigenvector third = sets[2];
      if (way == 3) {
        sets[2] = Eigenvector();
        foldPrincipalSets(sets);
        EXPECT_EQ(sets[1].eigenvalue.data, nullptr);
        sets[2] = third;
      }
      third = Eigenvector();
      p = takePrincipalEigenvector(sets);
      EXPECT_EQ(p.x.data == first, way != 1);
    }
    for (int i = 0; i < 8; ++i) {
      const float from = 10.0f * chosen[i];
      EXPECT_EQ(floatBits(p.eigenvalue.data[i]), floatBits(eigen[chosen[i] - 1][i])) << i;
      EXPECT_EQ((std::vector<float>{p.x.data[i], p.y.data[i], p.z.data[i]}),
                (std::vector<float>{from, from + 1, from + 2}))
          << i;
    }
    if (way < 2) {  // the inputs that other records hold are unchanged
      EXPECT_EQ(values(way == 0 ? sets[0].x : shared.x), std::vector<float>(8, 10.0f));
    }
  }
}

// Sets of different sizes are refused, a mismatch inside the first one as
// well, and the three-way choice does not leak its intermediate set. (The
// message is checked through the command, in the hostile suite.)
TEST(PrincipalTest, SetsOfDifferentSizesAreRefused) {
  Eigenvector small = newEigenvector(2, 2, 2), large = newEigenvector(2, 2, 3), broken = small;
  broken.z = large.z;
  EXPECT_THROW(largerOf(small, large), AppError);
  EXPECT_THROW(largerOf(broken, small), AppError);
  EXPECT_THROW(extractPrincipalEigenvector(small, small, large), AppError);
}
