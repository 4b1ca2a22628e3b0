// End-to-end tests of the dticut command: the real executable, run as a
// subprocess on small hand-made volumes in a temporary folder.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/app/dticut_inputs.h"

using namespace testfiles;

namespace {

Inputs randomInputs(int x, int y, int z, std::mt19937& random) {
  std::uniform_real_distribution<double> eigen(0.1, 2.0), component(-1.0, 1.0), scalar(0.2, 3.5);
  Inputs in(x, y, z);
  for (int p = 0; p < in.size(); ++p)
    for (int k = 0; k < kNumVolumes; ++k)
      in.volume[k][p] = k == 12 ? scalar(random) : k % 4 == 0 ? eigen(random) : component(random);
  return in;
}

}  // namespace

// Each result against an exhaustive search, with the template (L1) in every
// encoding; the prefix form, some of its files compressed, gives the same
// output from the same numbers.
TEST(DticutTest, BothInputFormsMatchAnExhaustiveSearch) {
  const unsigned seed = 4242;
  std::printf("seed %u\n", seed);
  std::mt19937 random(seed);
  const int sizes[][3] = {{2, 1, 1}, {1, 3, 1}, {3, 2, 1}, {2, 2, 2}, {1, 3, 4}, {2, 3, 2}};
  const int encodings[][2] = {{16, 0}, {4, 1}, {2, 0}, {16, 1}, {4, 0}, {2, 1}};
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int* size = sizes[round / 2];
    Inputs in = randomInputs(size[0], size[1], size[2], random);
    in.templateDatatype = encodings[round % 6][0];
    in.templateBigEndian = encodings[round % 6][1] != 0;
    if (in.templateDatatype != 16)
      for (double& value : in.volume[0]) value = std::round(2 * value);
    TempDir dir;
    RunResult run = runProgram(in.write(dir), dir.root());
    expectMinimum(run, in, dir);

    in.writePrefix(dir, static_cast<unsigned>(random()));
    RunResult prefix =
        runProgram({DTICUT_EXE, "--tensor-prefix", "dti", "-o", "prefix.nii"}, dir.root());
    EXPECT_EQ(prefix.status, 0) << prefix.err;
    EXPECT_EQ(prefix.out, run.out);
    EXPECT_EQ(prefix.err, run.err);
    EXPECT_EQ(readFile(dir.path("prefix.nii")), readFile(dir.path("test.nii")));
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
  expectMinimum(quiet, in, dir);

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
  EXPECT_EQ(std::stoll(m[3].matched ? m[4] : m[2]), Expected(in).minimum());
}

TEST(DticutTest, UsageNamesTheVolumesInOrderAndRefusesOtherCommandLines) {
  TempDir dir;
  RunResult help = runProgram({DTICUT_EXE, "--help"}, dir.root());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("usage: dticut [options] L1 V1x V1y V1z L2 V2x V2y V2z L3 V3x V3y V3z "
                           "SCALAR\n       dticut [options] --tensor-prefix PREFIX\n",
                           0),
            0u)
      << help.out;
  EXPECT_EQ(runProgram({DTICUT_EXE, "-h"}, dir.root()).out, help.out);
  RunResult version = runProgram({DTICUT_EXE, "--version"}, dir.root());
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("dticut [0-9]+\\.[0-9]+\\.[0-9]+\n")));

  const struct {
    std::vector<std::string> args;
    std::string error;
  } wrong[] = {
      {{}, "expected 13 volumes, got 0"},
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
