// Tests of dticut-phantom, run as a subprocess, and of the round trip from
// its files through dticut.
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/fileread.h"
#include "app/niiIO.h"
#include "tests/app/nifti_files.h"
#include "tests/app/subprocess.h"

using namespace testfiles;

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

RunResult phantom(const TempDir& dir, std::vector<std::string> options) {
  options.insert(options.begin(), PHANTOM_EXE);
  options.push_back(dir.root());
  return runProgram(options, dir.root());
}

}  // namespace

TEST(PhantomTest, WritesTheThirteenVolumesInDticutsOrder) {
  TempDir dir;
  RunResult run = phantom(dir, {"--size", "20x16x10"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> paths = lines(run.out);
  ASSERT_EQ(paths.size(), 13u);
  for (int k = 0; k < kNumVolumes; ++k)
    EXPECT_EQ(paths[k], dir.root() + "/" + kVolumeNames[k] + ".nii");

  std::vector<niiIO*> v;
  for (const std::string& path : paths) v.push_back(new niiIO(path.c_str()));
  int n = v[0]->numVoxels, bundle = 0, background = 0, outside = 0;
  EXPECT_EQ(n, 20 * 16 * 10);
  for (int p = 0; p < n; ++p) {
    float fa = v[12]->data[p];
    ASSERT_TRUE(fa >= 0.0f && fa <= 1.0f) << p;
    EXPECT_GE(v[0]->data[p], v[4]->data[p]);
    EXPECT_GE(v[4]->data[p], v[8]->data[p]);
    EXPECT_GE(v[8]->data[p], 0.0f);
    EXPECT_LT(v[0]->data[p], 3e-3f);
    for (int k = 0; k < 3; ++k) {
      float x = v[4 * k + 1]->data[p], y = v[4 * k + 2]->data[p], z = v[4 * k + 3]->data[p];
      float length = std::sqrt(x * x + y * y + z * z);
      EXPECT_TRUE(v[0]->data[p] == 0 ? length == 0 : std::fabs(length - 1) < 1e-5f) << p;
    }
    if (v[0]->data[p] == 0)
      ++outside;
    else if (fa > 0.7f)
      ++bundle;
    else if (fa < 0.4f)
      ++background;
  }
  EXPECT_GT(bundle, n / 40);
  EXPECT_GT(background, n / 6);
  EXPECT_GT(outside, n / 10);
  // The bundle along x at y = 0.3 * 16, z = 0.5 * 10 runs along x.
  int centre = 10 + 4 * 20 + 5 * 20 * 16;
  EXPECT_GT(std::fabs(v[1]->data[centre]), 0.999f);
  for (niiIO* volume : v) delete volume;
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
    std::string name = std::string(kVolumeNames[k]) + ".nii";
    EXPECT_EQ(readFile(a.path(name)), readFile(b.path(name))) << name;
    niiIO little(a.path(name).c_str()), swapped(big.path(name).c_str());
    EXPECT_EQ(swapped.header->byteSwap, hostIsBigEndian() ? 0 : 1);
    EXPECT_EQ(voxels(little, 0), voxels(swapped, 0));
    int file = k == 12 ? 6 : k / 4 * 2 + (k % 4 == 0 ? 0 : 1);
    std::string packed = prefix.path(std::string("dti_") + kTensorFileNames[file] + ".nii.gz");
    niiIO fromPrefix(packed.c_str(), k % 4 == 0 || k == 12 ? 1 : 3);
    EXPECT_EQ(voxels(fromPrefix, k % 4 == 0 || k == 12 ? 0 : k % 4 - 1), voxels(little, 0)) << name;
  }
  EXPECT_NE(readFile(a.path("SCALAR.nii")), readFile(c.path("SCALAR.nii")));
}

TEST(PhantomTest, RefusesBadArguments) {
  TempDir dir;
  EXPECT_EQ(runProgram({PHANTOM_EXE}, dir.root()).status, 2);
  for (const char* size : {"0x4x4", "4x4", "4x4x4x", "40000x1x1", "1024x1024x1025"}) {
    RunResult run = phantom(dir, {"--size", size});
    EXPECT_EQ(run.status, 2) << size;
    EXPECT_EQ(run.err.rfind(std::string("dticut-phantom: error: --size ") + size, 0), 0u)
        << run.err;
  }
  RunResult missing = runProgram({PHANTOM_EXE, "--size", "2x2x2", dir.path("none")}, dir.root());
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(
      missing.err.rfind("dticut-phantom: error: " + dir.path("none") + "/L1.nii: cannot create", 0),
      0u)
      << missing.err;
  RunResult layout = phantom(dir, {"--layout", "tensor"});
  EXPECT_EQ(layout.status, 2);
  EXPECT_EQ(layout.err.rfind("dticut-phantom: error: --layout tensor: expected files or prefix", 0),
            0u);
  RunResult help = runProgram({PHANTOM_EXE, "--help"}, dir.root());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: dticut-phantom", 0), 0u);
}

// The phantom's files, passed to dticut in the order the phantom prints
// them, are read in the order the usage text gives: the output carries the
// first file's header and the before-energy comes from the last file. The
// same phantom in the compressed prefix layout gives the same result.
TEST(PhantomTest, RoundTripThroughDticut) {
  TempDir dir, packed;
  RunResult made = phantom(dir, {"--size", "12x10x6", "--big-endian"});
  ASSERT_EQ(made.status, 0) << made.err;
  std::vector<std::string> args = lines(made.out);
  args.insert(args.begin(), DTICUT_EXE);
  RunResult run = runProgram(args, dir.root());
  ASSERT_EQ(run.status, 0) << run.err;

  made = phantom(packed, {"--size", "12x10x6", "--big-endian", "--layout", "prefix", "--gzip"});
  ASSERT_EQ(made.status, 0) << made.err;
  args = lines(made.out);
  args.insert(args.begin(), DTICUT_EXE);
  RunResult fromPrefix = runProgram(args, packed.root());
  ASSERT_EQ(fromPrefix.status, 0) << fromPrefix.err;
  EXPECT_EQ(fromPrefix.out, run.out);
  EXPECT_EQ(fromPrefix.err, run.err);
  EXPECT_EQ(readFile(packed.path("test.nii")), readFile(dir.path("test.nii")));
  niiIO scalar(dir.path("SCALAR.nii").c_str());
  long long squares = 0;
  for (int p = 0; p < scalar.numVoxels; ++p) squares += floatToInt(dataCostFor(scalar.data[p], 0));
  EXPECT_EQ(run.out.rfind("Before optimization energy is :\t" + std::to_string(squares) + "\n", 0),
            0u)
      << run.out;
  Bytes first = readFile(dir.path("L1.nii")), out = readFile(dir.path("test.nii"));
  ASSERT_EQ(out.size(), first.size());
  EXPECT_TRUE(std::equal(first.begin(), first.begin() + 348, out.begin()));
  // The phantom's zero background outside the head needs capped weights.
  EXPECT_EQ(run.err.rfind("dticut: limited ", 0), 0u) << run.err;
}
