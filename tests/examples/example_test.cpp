// Demonstration drivers: the smoothness function, agreement between demos
// that pose the same problem, their printed texts, and the dticut-examples
// program.
#include "examples/example.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/subprocess.h"

namespace {

struct DemoRun {
  std::string printed;
  int before, after;
  std::vector<int> labels;
};

DemoRun run_demo(ExampleDemo demo, int width, int height, int labels) {
  DemoRun r;
  r.labels.resize(width * height);
  DemoResult result = {0, 0, r.labels.data()};
  testing::internal::CaptureStdout();
  runDemo(demo, width, height, width * height, labels, &result);
  r.printed = testing::internal::GetCapturedStdout();
  r.before = result.before_energy;
  r.after = result.after_energy;
  return r;
}

std::string energyLines(int before, int after) {
  return "\nBefore optimization energy is " + std::to_string(before) +
         "\nAfter optimization energy is " + std::to_string(after);
}

// Every demo builds its smoothness table from smoothFn, so only this test
// notices a wrong one. (dataFn is the DfnSfn demo's alone: the agreement
// test checks it.)
TEST(ExampleCostTest, SmoothFnIsTheTruncatedSquaredDifference) {
  EXPECT_EQ(smoothFn(0, 0, 3, 1), 4);
  EXPECT_EQ(smoothFn(0, 0, 2, 3), 1);
  EXPECT_EQ(smoothFn(9, 4, 6, 0), 4);
}

TEST(ExampleDemoTest, DemosPosingTheSameProblemAgree) {
  const int sizes[][3] = {{10, 5, 7}, {6, 7, 3}, {8, 4, 6}, {2, 2, 2}};
  for (const auto& size : sizes) {
    SCOPED_TRACE(std::to_string(size[0]) + "x" + std::to_string(size[1]) + ", " +
                 std::to_string(size[2]) + " labels");
    DemoRun grid = run_demo(kGridGraphDArraySArray, size[0], size[1], size[2]);
    int pixels = size[0] * size[1];
    EXPECT_EQ(grid.before, pixels > 25 ? 10 * (pixels - 25) : 0);
    EXPECT_LE(grid.after, grid.before);
    EXPECT_EQ(grid.printed, energyLines(grid.before, grid.after));
    for (ExampleDemo same : {kGridGraphIndividually, kGridGraphDfnSfn, kGeneralGraphDArraySArray}) {
      DemoRun other = run_demo(same, size[0], size[1], size[2]);
      EXPECT_EQ(other.printed, grid.printed) << demoName(same);
      EXPECT_EQ(other.labels, grid.labels) << demoName(same);
    }
    for (ExampleDemo varying :
         {kGridGraphDArraySArraySpatVarying, kGeneralGraphDArraySArraySpatVarying}) {
      DemoRun other = run_demo(varying, size[0], size[1], size[2]);
      EXPECT_EQ(other.printed, energyLines(grid.before, other.after)) << demoName(varying);
      EXPECT_LE(other.after, other.before);
    }
  }
}

// Without arguments the program runs not_main: the varying general demo on
// 10 x 5 pixels with 7 labels, then the processor time.
TEST(ExampleProgramTest, RunsNotMainOrOneNamedDemo) {
  auto program = [](std::vector<std::string> args) {
    args.insert(args.begin(), DTICUT_EXAMPLES_BIN);
    return testfiles::runProgram(args, ".");
  };
  testfiles::RunResult run = program({});
  EXPECT_EQ(run.status, 0);
  const std::string demo = run_demo(kGeneralGraphDArraySArraySpatVarying, 10, 5, 7).printed;
  EXPECT_EQ(demo.substr(0, 35), "\nBefore optimization energy is 250\n");
  ASSERT_EQ(run.out.compare(0, demo.size(), demo), 0) << run.out;
  std::regex timing("\n  Finished [0-9]+ \\([0-9]+\\) clock per sec 1000000");
  EXPECT_TRUE(std::regex_match(run.out.substr(demo.size()), timing)) << run.out;
  run = program({"GridGraph_DfnSfn", "20", "10", "7"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, run_demo(kGridGraphDfnSfn, 20, 10, 7).printed);
  const std::vector<std::string> bad[] = {
      {"GridGraph", "20", "10", "7"},        {"GridGraph_DfnSfn", "1", "10", "7"},
      {"GridGraph_DfnSfn", "40", "40", "7"}, {"GridGraph_DfnSfn", "20", "10", "1"},
      {"GridGraph_DfnSfn", "20", "10"},      {"GridGraph_DfnSfn", "x", "10", "7"}};
  for (const auto& args : bad) {
    run = program(args);
    EXPECT_EQ(run.status, 2) << args[1];
    EXPECT_NE(run.err.find("\n  GeneralGraph_DArraySArraySpatVarying\n"), std::string::npos)
        << run.err;
  }
}

}  // namespace
