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
// may be stored in any encoding, the others are float32. Written into a
// folder in either input form, named relative to it.
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

  Bytes file(int k) const {
    return volumeFile(dim[0], dim[1], dim[2], volume[k], k == 0 ? templateDatatype : 16,
                      k == 0 && templateBigEndian);
  }

  // Writes the thirteen files into `dir` and returns the command line.
  std::vector<std::string> write(const TempDir& dir) const {
    std::vector<std::string> args = {DTICUT_EXE};
    for (int k = 0; k < kNumVolumes; ++k) {
      args.push_back(std::string(kVolumeNames[k]) + ".nii");
      writeFile(dir.path(args.back()), file(k));
    }
    return args;
  }

  // Writes the same numbers as the seven files of dti_L1 ... dti_FA, set k's
  // components as one 4-D file; file i is compressed when bit i is set.
  void writePrefix(const TempDir& dir, unsigned compressed) const {
    for (int i = 0; i < kNumTensorFiles; ++i) {
      int set = 4 * (i / 2);
      Bytes bytes = i == 6 ? file(12) : file(set);
      if (i % 2 == 1 && i < 6) {
        std::vector<double> xyz;
        for (int c = 1; c <= 3; ++c)
          xyz.insert(xyz.end(), volume[set + c].begin(), volume[set + c].end());
        bytes = volumesFile(dim[0], dim[1], dim[2], 3, xyz);
      }
      bool gz = (compressed >> i & 1) != 0;
      writeFile(dir.path(std::string("dti_") + kTensorFileNames[i] + (gz ? ".nii.gz" : ".nii")),
                gz ? gzipped(bytes) : bytes);
    }
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

// Each result against an exhaustive search, with the template (L1) in every
// encoding; the prefix form, some of its files compressed, gives the same
// output from the same numbers.
TEST(DticutTest, BothInputFormsMatchAnExhaustiveSearch) {
  const unsigned seed = 4242;
  std::printf("seed %u\n", seed);
  std::mt19937 random(seed);
  const int sizes[][3] = {{2, 1, 1}, {1, 3, 1}, {3, 2, 1}, {2, 2, 2}, {1, 3, 4}, {2, 3, 2}};
  const int encodings[][2] = {{16, 0}, {4, 1}, {2, 0}, {16, 1}, {4, 0}, {2, 1}};
  int round = 0;
  for (const auto& size : sizes) {
    for (int repeat = 0; repeat < 2; ++repeat, ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      Inputs in = randomInputs(size[0], size[1], size[2], random);
      in.templateDatatype = encodings[round % 6][0];
      in.templateBigEndian = encodings[round % 6][1] != 0;
      if (in.templateDatatype != 16)
        for (double& value : in.volume[0]) value = std::round(2 * value);
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
      EXPECT_EQ(reference.energy(outputLabels(dir)), after);
      Bytes output = readFile(dir.path("test.nii"));
      Bytes first = readFile(dir.path("L1.nii"));
      EXPECT_TRUE(std::equal(first.begin(), first.begin() + 348, output.begin()));

      in.writePrefix(dir, static_cast<unsigned>(random()));
      RunResult prefix =
          runProgram({DTICUT_EXE, "--tensor-prefix", "dti", "-o", "prefix.nii"}, dir.root());
      ASSERT_EQ(prefix.status, 0) << prefix.err;
      EXPECT_EQ(prefix.out, run.out);
      EXPECT_EQ(prefix.err, run.err);
      EXPECT_EQ(readFile(dir.path("prefix.nii")), output);
    }
  }
}

// Writing into another folder, compressed, and reporting the stages with -v
// change neither standard output nor the labels.
TEST(DticutTest, VerboseRunsWriteTheSameResultElsewhere) {
  std::mt19937 random(77);
  Inputs in = randomInputs(3, 3, 2, random);
  TempDir dir;
  std::vector<std::string> args = in.write(dir);
  RunResult quiet = runProgram(args, dir.root());
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  long long before, after;
  ASSERT_TRUE(energies(quiet.out, &before, &after)) << quiet.out;

  std::filesystem::create_directory(dir.path("out"));
  args.insert(args.begin() + 1, {"-v", "--output", "out/labels.nii.gz"});
  RunResult verbose = runProgram(args, dir.root());
  ASSERT_EQ(verbose.status, 0) << verbose.err;
  EXPECT_EQ(verbose.out, quiet.out);
  EXPECT_EQ(gunzipped(readFile(dir.path("out/labels.nii.gz"))), readFile(dir.path("test.nii")));
  std::smatch m;
  static const std::regex stages(
      "dticut: reading: 13 files of 3 x 3 x 2 voxels, [0-9.]+ s\n"
      "dticut: principal component: [0-9.]+ s\n"
      "(dticut: limited [^\n]*\n)?"
      "dticut: building the energy: 18 sites, 33 pairs, [0-9.]+ s\n"
      "dticut: optimisation: energy ([0-9]+) after iteration 1"
      "(, energy ([0-9]+) after iteration 2)?, [0-9.]+ s\n"
      "dticut: writing: out/labels.nii.gz, [0-9.]+ s\n");
  ASSERT_TRUE(std::regex_match(verbose.err, m, stages)) << verbose.err;
  EXPECT_EQ(m[1].str(), quiet.err);
  EXPECT_EQ(std::stoll(m[3].matched ? m[4] : m[2]), after);
}

// ---------------------------------------------------------------------------
// Command line

TEST(DticutTest, UsageNamesTheVolumesInOrderAndRefusesOtherCommandLines) {
  TempDir dir;
  RunResult help = runProgram({DTICUT_EXE, "--help"}, dir.root());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind(std::string("usage: dticut [options] ") + kOrder +
                               "\n       dticut [options] --tensor-prefix PREFIX\n",
                           0),
            0u)
      << help.out;
  EXPECT_EQ(runProgram({DTICUT_EXE, "-h"}, dir.root()).out, help.out);
  RunResult version = runProgram({DTICUT_EXE, "--version"}, dir.root());
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("dticut [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;

  const struct {
    std::vector<std::string> args;
    std::string error;
  } wrong[] = {
      {{}, "expected 13 volumes, got 0"},
      {std::vector<std::string>(12, "x"), "expected 13 volumes, got 12"},
      {std::vector<std::string>(14, "x"), "expected 13 volumes, got 14"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"-o"}, "-o needs a value"},
      {{"--output="}, "--output= needs a non-empty path"},
      {{"--verbose=1"}, "--verbose takes no value"},
      {{"--tensor-prefix", "dti", "L1.nii"},
       "--tensor-prefix reads its own files, but volumes were given too: L1.nii"},
  };
  for (const auto& c : wrong) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), DTICUT_EXE);
    RunResult run = runProgram(args, dir.root());
    EXPECT_EQ(run.status, 2) << c.error;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "dticut: error: " + c.error + "\n\n" + help.out);
  }
  EXPECT_TRUE(dir.entries().empty());
}

// ---------------------------------------------------------------------------
// Inputs the tool must refuse or survive

// Each broken input is refused, naming the file, before anything is written:
// an earlier output survives.
TEST(DticutTest, InputErrorsNameTheFileAndEndWithStatusOne) {
  Inputs in(2, 2, 1);
  NiftiSpec notNifti;
  notNifti.sizeofHdr = 0;
  Bytes badCrc = gzipped(in.file(3));
  badCrc[badCrc.size() - 6] ^= 1;
  const Bytes missing;
  const struct {
    bool prefix;
    std::string file;  // replaced, or removed when `bytes` is empty
    Bytes bytes;
    std::string error;
  } cases[] = {
      {false, "SCALAR.nii", volumeFile(2, 1, 2, {1, 1, 1, 1}),
       "SCALAR.nii: dimensions 2 x 1 x 2 differ from the 2 x 2 x 1 of L1.nii"},
      {false, "V2y.nii", volumeFile(4, 1, 1, {1, 1, 1, 1}),
       "V2y.nii: dimensions 4 x 1 x 1 differ from the 2 x 2 x 1 of L2.nii"},
      {false, "L3.nii", buildNifti(notNifti),
       "L3.nii: sizeof_hdr is 0, expected 348 in either byte order"},
      {false, "V1z.nii", badCrc,
       "V1z.nii: corrupt gzip data after 368 bytes decompressed: incorrect data check"},
      {false, "V1x.nii", missing, "V1x.nii: cannot open: No such file or directory"},
      {true, "dti_V2.nii", volumesFile(2, 2, 1, 2, std::vector<double>(8, 1)),
       "dti_V2.nii: holds 2 volumes (dim[0] is 4, dim[4] is 2), expected at least 3 along the "
       "fourth dimension"},
      {true, "dti_V3.nii", volumesFile(1, 2, 2, 3, std::vector<double>(12, 1)),
       "dti_V3.nii: dimensions 1 x 2 x 2 differ from the 2 x 2 x 1 of dti_L3.nii"},
      {true, "dti_FA.nii", missing, "dti_FA: neither dti_FA.nii.gz nor dti_FA.nii exists"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    TempDir dir;
    writeFile(dir.path("test.nii"), Bytes{1, 2, 3});  // an earlier result
    std::vector<std::string> args = in.write(dir);
    in.writePrefix(dir, 0);
    if (c.prefix) args = {DTICUT_EXE, "--tensor-prefix", "dti"};
    if (c.bytes.empty())
      std::filesystem::remove(dir.path(c.file));
    else
      writeFile(dir.path(c.file), c.bytes);
    RunResult run = runProgram(args, dir.root());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, c.file == "L3.nii" ? "Unable to read file.\n" : "");
    EXPECT_EQ(run.err, "dticut: error: " + c.error + "\n");
    EXPECT_EQ(readFile(dir.path("test.nii")), (Bytes{1, 2, 3}));
  }

  TempDir dir;
  RunResult single = runProgram(Inputs(1, 1, 1).write(dir), dir.root());
  EXPECT_EQ(single.status, 1);
  EXPECT_EQ(single.err,
            "dticut: error: L1.nii: has 1 voxel (1 x 1 x 1), the segmentation needs at least 2\n");
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
