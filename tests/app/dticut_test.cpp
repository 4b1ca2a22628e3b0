// End-to-end tests of the dticut command: the real executable, run as a
// subprocess on small hand-made volumes in a temporary folder.
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/costLimit.h"
#include "app/fileread.h"
#include "app/niiIO.h"
#include "tests/app/nifti_files.h"
#include "tests/app/subprocess.h"

using namespace testfiles;

namespace {

const char* const kOrder = "L1 V1x V1y V1z L2 V2x V2y V2z L3 V3x V3y V3z SCALAR";

// The thirteen input volumes, in command-line order; volume 0 (the template)
// may be stored in any encoding, the others are float32.
struct Inputs {
  int dim[3];
  std::vector<double> volume[kNumVolumes];
  int templateDatatype = 16;
  bool templateBigEndian = false;

  Inputs(int x, int y, int z) : dim{x, y, z} {
    for (auto& v : volume) v.assign(static_cast<size_t>(x) * y * z, 0.0);
  }
  int size() const { return dim[0] * dim[1] * dim[2]; }
  std::vector<double>& scalar() { return volume[12]; }

  // Writes the files into `dir` and returns the command line.
  std::vector<std::string> write(const TempDir& dir) const {
    std::vector<std::string> args = {DTICUT_EXE};
    for (int k = 0; k < kNumVolumes; ++k) {
      std::string path = dir.path(std::string(kVolumeNames[k]) + ".nii");
      writeFile(path, volumeFile(dim[0], dim[1], dim[2], volume[k], k == 0 ? templateDatatype : 16,
                                 k == 0 && templateBigEndian));
      args.push_back(path);
    }
    return args;
  }
};

// The segmentation energy written plainly: principal set by comparisons,
// pairs by coordinates, negative costs counted as 0 (no cap needed here).
struct Reference {
  std::vector<int> data;  // 2 per voxel
  struct Pair {
    int p, q, weight;
  };
  std::vector<Pair> pairs;

  explicit Reference(const Inputs& in) {
    int n = in.size();
    std::vector<Vector> principal(n);
    for (int p = 0; p < n; ++p) {
      int best = in.volume[0][p] >= in.volume[4][p] ? 0 : 1;
      if (!(in.volume[4 * best][p] >= in.volume[8][p])) best = 2;
      float e = static_cast<float>(in.volume[4 * best][p]);
      principal[p] = {e * static_cast<float>(in.volume[4 * best + 1][p]),
                      e * static_cast<float>(in.volume[4 * best + 2][p]),
                      e * static_cast<float>(in.volume[4 * best + 3][p])};
    }
    auto s = [&](int p) { return static_cast<float>(in.volume[12][p]); };
    for (int p = 0; p < n; ++p)
      for (int l = 0; l < 2; ++l) data.push_back(std::max(0, floatToInt(dataCostFor(s(p), l))));
    const int dx = in.dim[0], dy = in.dim[1];
    for (int x = 0; x < in.dim[0]; ++x)
      for (int y = 0; y < in.dim[1]; ++y)
        for (int z = 0; z < in.dim[2]; ++z) {
          int p = x + dx * (y + dy * z);
          std::vector<int> below;
          if (x > 0) below.push_back(p - 1);
          if (y > 0) below.push_back(p - dx);
          if (z > 0) below.push_back(p - dx * dy);
          for (int q : below) {
            int w = floatToInt(smoothCostFor(principal[q], s(q), principal[p], s(p)));
            pairs.push_back({p, q, std::max(0, w)});
          }
        }
  }

  long long energy(const std::vector<int>& labels) const {
    long long e = 0;
    for (size_t p = 0; p < labels.size(); ++p) e += data[2 * p + labels[p]];
    for (const Pair& pair : pairs) e += labels[pair.p] != labels[pair.q] ? pair.weight : 0;
    return e;
  }

  long long minimum() const {
    int n = static_cast<int>(data.size() / 2);
    long long best = LLONG_MAX;
    std::vector<int> labels(n);
    for (int mask = 0; mask < (1 << n); ++mask) {
      for (int p = 0; p < n; ++p) labels[p] = (mask >> p) & 1;
      best = std::min(best, energy(labels));
    }
    return best;
  }
};

// The two printed energies; fails the test when the lines are missing.
bool energies(const std::string& out, long long* before, long long* after) {
  std::smatch m;
  static const std::regex lines(
      "^Before optimization energy is :\t(-?[0-9]+)\nAfter optimization energy is "
      ":\t(-?[0-9]+)\n$");
  if (!std::regex_match(out, m, lines)) return false;
  *before = std::stoll(m[1]);
  *after = std::stoll(m[2]);
  return true;
}

std::vector<int> outputLabels(const TempDir& dir) {
  niiIO out(dir.path("test.nii").c_str());
  std::vector<int> labels;
  for (int p = 0; p < out.numVoxels; ++p) labels.push_back(static_cast<int>(out.data[p]));
  return labels;
}

Inputs randomInputs(int x, int y, int z, std::mt19937& random) {
  std::uniform_real_distribution<double> eigen(0.1, 2.0), component(-1.0, 1.0), scalar(0.2, 3.5);
  Inputs in(x, y, z);
  for (int p = 0; p < in.size(); ++p) {
    for (int k = 0; k < 12; ++k) in.volume[k][p] = k % 4 == 0 ? eigen(random) : component(random);
    in.scalar()[p] = scalar(random);
  }
  return in;
}

}  // namespace

// ---------------------------------------------------------------------------
// Results

TEST(DticutTest, EnergiesAndLabelsMatchAnExhaustiveSearch) {
  const unsigned seed = 4242;
  std::printf("seed %u\n", seed);
  std::mt19937 random(seed);
  const int sizes[][3] = {{2, 1, 1}, {1, 3, 1}, {3, 2, 1}, {2, 2, 2}, {1, 3, 4}, {2, 3, 2}};
  for (const auto& size : sizes) {
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(std::to_string(size[0]) + "x" + std::to_string(size[1]) + "x" +
                   std::to_string(size[2]) + " round " + std::to_string(round));
      Inputs in = randomInputs(size[0], size[1], size[2], random);
      Reference reference(in);
      TempDir dir;
      RunResult run = runProgram(in.write(dir), dir.root());
      ASSERT_EQ(run.status, 0) << run.err;
      long long before, after;
      ASSERT_TRUE(energies(run.out, &before, &after)) << run.out;
      long long squares = 0;
      for (double s : in.scalar()) squares += floatToInt(dataCostFor(static_cast<float>(s), 0));
      EXPECT_EQ(before, squares);
      EXPECT_EQ(after, reference.minimum());
      std::vector<int> labels = outputLabels(dir);
      EXPECT_EQ(reference.energy(labels), after);
      Bytes header = readFile(dir.path("test.nii"));
      Bytes first = readFile(dir.path("L1.nii"));
      EXPECT_TRUE(std::equal(first.begin(), first.begin() + 348, header.begin()));
    }
  }
}

TEST(DticutTest, LabelsAreStoredInTheTemplatesEncoding) {
  const struct {
    int datatype;
    bool bigEndian;
  } encodings[] = {{16, false}, {16, true}, {4, false}, {4, true}, {2, false}, {2, true}};
  for (const auto& e : encodings) {
    SCOPED_TRACE("datatype " + std::to_string(e.datatype) + (e.bigEndian ? " big" : " little"));
    // Scalar 3 costs 9 for label 0 and 4 for label 1, scalar -1 costs 1 and
    // 4; zero principal vectors leave every pair weight at most 0, so ten
    // voxels take label 1 and two keep label 0.
    Inputs in(3, 2, 2);
    in.templateDatatype = e.datatype;
    in.templateBigEndian = e.bigEndian;
    for (int p = 0; p < in.size(); ++p) {
      for (int k = 0; k < 12; k += 4) in.volume[k][p] = 1 + k / 4;  // integral eigenvalues
      in.scalar()[p] = p == 0 || p == 11 ? -1.0 : 3.0;
    }
    TempDir dir;
    RunResult run = runProgram(in.write(dir), dir.root());
    ASSERT_EQ(run.status, 0) << run.err;
    long long before, after;
    ASSERT_TRUE(energies(run.out, &before, &after)) << run.out;
    EXPECT_EQ(before, 10 * 9 + 2 * 1);
    EXPECT_EQ(after, 10 * 4 + 2 * 1);

    Bytes out = readFile(dir.path("test.nii"));
    Bytes first = readFile(dir.path("L1.nii"));
    ASSERT_GE(out.size(), 352u);
    EXPECT_TRUE(std::equal(first.begin(), first.begin() + 348, out.begin()));
    EXPECT_EQ(Bytes(out.begin() + 348, out.begin() + 352), Bytes(4, 0));
    std::vector<int> labels = outputLabels(dir);
    std::vector<double> expected(labels.begin(), labels.end());
    EXPECT_EQ(Bytes(out.begin() + 352, out.end()), encodeVoxels(expected, e.datatype, e.bigEndian));
    EXPECT_EQ(std::count(labels.begin(), labels.end(), 1), 10);
  }
}

// ---------------------------------------------------------------------------
// Command line

TEST(DticutTest, UsageNamesTheThirteenVolumesInOrder) {
  TempDir dir;
  RunResult help = runProgram({DTICUT_EXE, "--help"}, dir.root());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind(std::string("usage: dticut [-h] ") + kOrder + "\n", 0), 0u) << help.out;
  EXPECT_EQ(runProgram({DTICUT_EXE, "-h"}, dir.root()).out, help.out);

  const std::vector<std::vector<std::string>> wrong = {
      {DTICUT_EXE}, std::vector<std::string>(13, DTICUT_EXE), std::vector<std::string>(15, "x")};
  for (std::vector<std::string> args : wrong) {
    args[0] = DTICUT_EXE;
    RunResult run = runProgram(args, dir.root());
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "dticut: error: expected 13 volumes, got " +
                           std::to_string(args.size() - 1) + "\n\n" + help.out);
  }
  RunResult unknown = runProgram({DTICUT_EXE, "--bogus"}, dir.root());
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err.rfind("dticut: error: unknown option --bogus\n\nusage:", 0), 0u);
  EXPECT_TRUE(dir.entries().empty());
}

// ---------------------------------------------------------------------------
// Inputs the tool must refuse or survive

TEST(DticutTest, VolumesOfAnotherSizeAreRefusedBeforeAnythingIsBuilt) {
  TempDir dir;
  Inputs in(2, 2, 1);
  std::vector<std::string> args = in.write(dir);
  writeFile(dir.path("test.nii"), Bytes{1, 2, 3});  // an earlier result
  writeFile(args[13], volumeFile(2, 1, 2, {1, 1, 1, 1}));
  RunResult run = runProgram(args, dir.root());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "dticut: error: " + args[13] +
                         ": dimensions 2 x 1 x 2 differ from the 2 x 2 x 1 of " + args[1] + "\n");

  args = in.write(dir);
  writeFile(args[7], volumeFile(4, 1, 1, {1, 1, 1, 1}));  // V2y
  run = runProgram(args, dir.root());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "dticut: error: " + args[7] +
                         ": dimensions 4 x 1 x 1 differ from the 2 x 2 x 1 of " + args[5] + "\n");
  EXPECT_EQ(readFile(dir.path("test.nii")), (Bytes{1, 2, 3}));
}

TEST(DticutTest, FileErrorsEndWithStatusOne) {
  TempDir dir;
  Inputs single(1, 1, 1);
  std::vector<std::string> args = single.write(dir);
  RunResult run = runProgram(args, dir.root());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "dticut: error: " + args[1] +
                         ": has 1 voxel (1 x 1 x 1), the segmentation needs at least 2\n");

  Inputs in(2, 1, 1);
  args = in.write(dir);
  NiftiSpec notNifti;
  notNifti.sizeofHdr = 0;
  writeFile(args[9], buildNifti(notNifti));
  run = runProgram(args, dir.root());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "Unable to read file.\n");
  EXPECT_EQ(run.err,
            "dticut: error: " + args[9] + ": sizeof_hdr is 0, expected 348 in either byte order\n");

  args = in.write(dir);
  args[4] = dir.path("missing.nii");
  run = runProgram(args, dir.root());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "dticut: error: " + args[4] + ": cannot open: No such file or directory\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path("test.nii")));
}

TEST(DticutTest, AFailedWriteLeavesWhatWasThere) {
  TempDir dir;
  Inputs in(2, 2, 1);
  std::vector<std::string> args = in.write(dir);
  std::filesystem::create_directories(dir.path("test.nii/kept"));
  RunResult run = runProgram(args, dir.root());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("dticut: error: test.nii: cannot rename test.nii.tmp"), std::string::npos)
      << run.err;
  EXPECT_TRUE(std::filesystem::is_directory(dir.path("test.nii/kept")));
  EXPECT_EQ(dir.entries().size(), 14u);  // the inputs and test.nii, no temporary
}

// Zero scalar values (the background of a masked scan) make every pair
// weight 1/0; the weights are capped and the run completes.
TEST(DticutTest, AZeroVolumeRunsWithCappedWeights) {
  TempDir dir;
  Inputs in(4, 4, 4);
  RunResult run = runProgram(in.write(dir), dir.root());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Before optimization energy is :\t0\nAfter optimization energy is :\t0\n");
  EXPECT_EQ(run.err,
            "dticut: limited 144 pair weights and 0 data costs to keep the energy within 32 "
            "bits (negative and NaN values to 0, larger values capped at " +
                std::to_string((kCostBudget - 64) / 144) + ")\n");
  EXPECT_EQ(outputLabels(dir), std::vector<int>(64, 0));
}

TEST(DticutTest, NanHugeAndNegativeScalarsRunToCompletion) {
  TempDir dir;
  const double values[] = {NAN, 1e30, -1e30, -5, INFINITY, 0, 0.5, -INFINITY, 2, NAN, 1e5, -0.5};
  Inputs in(3, 2, 2);
  for (int p = 0; p < 12; ++p) {
    in.scalar()[p] = values[p];
    in.volume[0][p] = p % 2 ? NAN : 1.0;
    in.volume[1][p] = 1.0;
  }
  RunResult run = runProgram(in.write(dir), dir.root());
  ASSERT_EQ(run.status, 0) << run.err;
  long long before, after;
  ASSERT_TRUE(energies(run.out, &before, &after)) << run.out;
  EXPECT_LE(after, before);
  EXPECT_GE(after, 0);
  EXPECT_LE(before, kCostBudget);
  EXPECT_EQ(run.err.rfind("dticut: limited ", 0), 0u) << run.err;
  std::vector<int> labels = outputLabels(dir);
  EXPECT_EQ(labels.size(), 12u);
  for (int label : labels) EXPECT_TRUE(label == 0 || label == 1);
}
