// Tests of dticut-phantom, run as a subprocess, and of the round trip from
// its files through dticut.
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/command/inputForms.h"
#include "app/io/niiIO.h"
#include "tests/app/nifti_files.h"
#include "tests/subprocess.h"

using namespace testfiles;

namespace {

RunResult phantom(const TempDir& dir, std::vector<std::string> options) {
  options.insert(options.begin(), PHANTOM_EXE);
  options.push_back(dir.root());
  return runProgram(options, dir.root());
}

// The weights `make demo` passes to dticut, from the Makefile's DEMO_WEIGHTS.
std::vector<std::string> demoWeights() {
  std::ifstream makefile(DTICUT_SOURCE_DIR "/Makefile");
  const std::string key = "DEMO_WEIGHTS ?=";
  std::string line;
  while (std::getline(makefile, line) && line.rfind(key, 0) != 0) continue;
  std::istringstream words(line.rfind(key, 0) == 0 ? line.substr(key.size()) : "");
  return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
}

}  // namespace

// The thirteen volumes come in dticut's order and make a plausible head:
// ordered eigenvalues, unit directions inside it, a bundle, background and
// outside. Passed to dticut as printed, with the weights of `make demo`,
// they segment, the zero background outside the head needing capped weights.
TEST(PhantomTest, WritesTheThirteenVolumesInDticutsOrder) {
  TempDir dir;
  RunResult run = phantom(dir, {"--size", "20x16x10"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> paths;
  std::istringstream printed(run.out);
  for (std::string line; std::getline(printed, line);) paths.push_back(line);
  ASSERT_EQ(paths.size(), 13u);
  std::vector<std::unique_ptr<niiIO>> v;
  for (int k = 0; k < kNumVolumes; ++k) {
    EXPECT_EQ(paths[k], dir.root() + "/" + kThirteenFileForm[k].name + ".nii");
    v.emplace_back(new niiIO(paths[k].c_str()));
  }
  int n = v[0]->numVoxels, bundle = 0, background = 0, outside = 0;
  EXPECT_EQ(n, 20 * 16 * 10);
  for (int p = 0; p < n; ++p) {
    float fa = v[12]->data[p], l1 = v[0]->data[p];
    ASSERT_TRUE(fa >= 0.0f && fa <= 1.0f) << p;
    EXPECT_TRUE(l1 >= v[4]->data[p] && v[4]->data[p] >= v[8]->data[p] && v[8]->data[p] >= 0) << p;
    EXPECT_LT(l1, 3e-3f);
    for (int k = 0; k < 3; ++k) {
      float x = v[4 * k + 1]->data[p], y = v[4 * k + 2]->data[p], z = v[4 * k + 3]->data[p];
      float length = std::sqrt(x * x + y * y + z * z);
      EXPECT_TRUE(l1 == 0 ? length == 0 : std::fabs(length - 1) < 1e-5f) << p;
    }
    outside += l1 == 0;
    bundle += l1 != 0 && fa > 0.7f;
    background += l1 != 0 && fa < 0.4f;
  }
  EXPECT_GT(bundle, n / 40);
  EXPECT_GT(background, n / 6);
  EXPECT_GT(outside, n / 10);
  // The bundle along x at y = 0.3 * 16, z = 0.5 * 10 runs along x.
  EXPECT_GT(std::fabs(v[1]->data[10 + 4 * 20 + 5 * 20 * 16]), 0.999f);

  // With the weights of `make demo` the bundles get label 1, the background
  // and the outside label 0: voxels on the x bundle, the y bundle and the
  // ring, then the centre, a background voxel low in the head, a corner.
  std::vector<std::string> weights = demoWeights();
  ASSERT_FALSE(weights.empty());
  paths.insert(paths.begin(), DTICUT_EXE);
  paths.insert(paths.begin() + 1, weights.begin(), weights.end());
  RunResult cut = runProgram(paths, dir.root());
  ASSERT_EQ(cut.status, 0) << cut.err;
  EXPECT_EQ(cut.err.rfind("dticut: limited ", 0), 0u) << cut.err;
  niiIO labels(dir.path("test.nii").c_str());
  const struct {
    int x, y, z;
    float label;
  } voxels[] = {{10, 4, 5, 1}, {15, 8, 3, 1}, {15, 8, 7, 1},
                {10, 8, 5, 0}, {10, 8, 1, 0}, {0, 0, 0, 0}};
  for (const auto& voxel : voxels) {
    int p = voxel.x + 20 * (voxel.y + 16 * voxel.z);
    EXPECT_EQ(voxel.label == 1, v[12]->data[p] > 0.7f) << p;  // the voxel is where meant
    EXPECT_EQ(labels.data[p], voxel.label) << p;
  }
}

// The prefix layout holds the same numbers: dti_V<k> volume c is the
// thirteen-file layout's component c of set k.
TEST(PhantomTest, OutputDependsOnlyOnSizeSeedAndByteOrder) {
  TempDir a, b, c, big, prefix;
  ASSERT_EQ(phantom(a, {"--size", "9x7x5", "--seed", "3"}).status, 0);
  ASSERT_EQ(phantom(b, {"--size", "9x7x5", "--seed", "3"}).status, 0);
  ASSERT_EQ(phantom(c, {"--size", "9x7x5", "--seed", "4"}).status, 0);
  ASSERT_EQ(phantom(big, {"--size", "9x7x5", "--seed", "3", "--big-endian"}).status, 0);
  RunResult made =
      phantom(prefix, {"--size", "9x7x5", "--seed", "3", "--layout", "prefix", "--gzip"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out, "--tensor-prefix\n" + prefix.path("dti") + "\n");
  auto voxels = [](const niiIO& volume, int from) {
    const float* start = volume.data + static_cast<size_t>(from) * volume.numVoxels;
    return std::vector<float>(start, start + volume.numVoxels);
  };
  for (int k = 0; k < kNumVolumes; ++k) {
    std::string name = std::string(kThirteenFileForm[k].name) + ".nii";
    EXPECT_EQ(readFile(a.path(name)), readFile(b.path(name))) << name;
    niiIO little(a.path(name).c_str()), swapped(big.path(name).c_str());
    EXPECT_EQ(swapped.header->byteSwap, hostIsBigEndian() ? 0 : 1);
    EXPECT_EQ(voxels(little, 0), voxels(swapped, 0));
    int file = k == 12 ? 6 : k / 4 * 2 + (k % 4 == 0 ? 0 : 1);
    std::string packed =
        prefix.path(std::string("dti_") + kTensorPrefixForm[file].name + ".nii.gz");
    bool single = k % 4 == 0 || k == 12;
    niiIO fromPrefix(packed.c_str(), single ? 1 : 3);
    EXPECT_EQ(voxels(fromPrefix, single ? 0 : k % 4 - 1), voxels(little, 0)) << name;
  }
  EXPECT_NE(readFile(a.path("SCALAR.nii")), readFile(c.path("SCALAR.nii")));
}

// The scenes with a known answer print what the default scene prints and
// write a uint8 truth map and seed map: seeds of label 1 inside the truth,
// of label 2 outside it but inside the head, a few strokes of at most 5
// voxels rather than regions. Label-1 seeds lie in bundle 1, of
// eigenvalues (1.7, 0.3, 0.3) e-3, so of FA 1.4 / sqrt(3.07); so do the
// touching scenes' label-2 seeds of high FA, in bundle 2, whose fibres make
// the scene's angle with bundle 1's x.
TEST(PhantomTest, ScenesMarkTheirStructureAndSeedItWithStrokes) {
  const struct {
    const char* scene;
    int strokes[3];  // of labels 1 and 2
    double cosine;   // of the touching bundles' angle; -1 for other scenes
  } scenes[] = {{"touching90", {0, 2, 5}, 0},
                {"touching60", {0, 2, 5}, 0.5},
                {"curved", {0, 3, 3}, -1},
                {"crossing", {0, 2, 5}, -1}};
  const double bundleFa = 1.4 / std::sqrt(3.07);
  for (const auto& c : scenes) {
    TempDir dir;
    const std::string tubes = phantom(dir, {"--size", "21x18x11"}).out;
    RunResult run = phantom(dir, {"--scene", c.scene, "--size", "21x18x11"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, tubes);
    niiIO truth(dir.path("TRUTH.nii").c_str()), seeds(dir.path("SEEDS.nii").c_str());
    EXPECT_EQ(truth.header->datatype, 2);
    EXPECT_EQ(seeds.header->datatype, 2);
    niiIO l1(dir.path("L1.nii").c_str()), fa(dir.path("SCALAR.nii").c_str());
    niiIO v1x(dir.path("V1x.nii").c_str()), v1z(dir.path("V1z.nii").c_str());
    int count[3] = {}, angles = 0;
    for (int p = 0; p < truth.numVoxels; ++p) {
      const int label = static_cast<int>(seeds.data[p]);
      ASSERT_TRUE(label >= 0 && label <= 2) << p;
      ++count[label];
      EXPECT_TRUE(truth.data[p] == 0 || (truth.data[p] == 1 && l1.data[p] > 0)) << p;
      if (label == 1) {
        EXPECT_EQ(truth.data[p], 1) << c.scene << p;
        EXPECT_NEAR(fa.data[p], bundleFa, 1e-6) << c.scene << p;
      }
      if (label == 2) {
        EXPECT_TRUE(truth.data[p] == 0 && l1.data[p] > 0) << c.scene << p;
      }
      if (label != 2 || c.cosine < 0 || fa.data[p] < 0.5) continue;
      EXPECT_NEAR(fa.data[p], bundleFa, 1e-6) << c.scene << p;
      EXPECT_NEAR(std::fabs(v1x.data[p]), c.cosine, 1e-6) << c.scene << p;
      EXPECT_NEAR(std::fabs(v1z.data[p]), std::sqrt(1 - c.cosine * c.cosine), 1e-6) << p;
      ++angles;
    }
    for (int label : {1, 2}) {
      EXPECT_GE(count[label], 3 * c.strokes[label]) << c.scene << label;
      EXPECT_LE(count[label], 5 * c.strokes[label]) << c.scene << label;
    }
    if (c.cosine >= 0) {
      EXPECT_GE(angles, 6) << c.scene;
    }
  }
}

TEST(PhantomTest, RefusesBadArguments) {
  TempDir dir;
  const struct {
    std::vector<std::string> args;
    int status;
    std::string error;  // the start of the line
  } cases[] = {
      {{"--size", "4x4"}, 2, "--size 4x4: expected XxYxZ"},
      {{"--size", "40000x1x1"}, 2, "--size 40000x1x1: expected XxYxZ"},
      {{"--size", "1024x1024x1025"}, 2, "--size 1024x1024x1025: expected XxYxZ"},
      {{"--layout", "tensor"}, 2, "--layout tensor: expected files, prefix or dipy"},
      {{"--layout", "\x1b]0;\x07"}, 2, "--layout \\x1b]0;\\x07: expected files, prefix or dipy"},
      {{"--scene", "ring"}, 2, "--scene ring: expected tubes, touching90, touching60, curved"},
      {{"--snr", "0"}, 2, "--snr 0: expected a positive number"},
      {{"--snr", "inf"}, 2, "--snr inf: expected a positive number"},
      {{"--scene", "curved", "--size", "8x8x4"}, 2, "--size 8x8x4: too small for the scene"},
      {{"--size", "2x2x2", dir.path("none")}, 1, dir.path("none") + "/L1.nii: cannot create"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), PHANTOM_EXE);
    if (c.status == 2) args.push_back(dir.root());
    RunResult run = runProgram(args, dir.root());
    EXPECT_EQ(run.status, c.status) << c.error;
    EXPECT_EQ(run.err.rfind("dticut-phantom: error: " + c.error, 0), 0u) << run.err;
  }
  EXPECT_EQ(runProgram({PHANTOM_EXE}, dir.root()).status, 2);
  RunResult help = runProgram({PHANTOM_EXE, "--help"}, dir.root());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: dticut-phantom", 0), 0u);
}
