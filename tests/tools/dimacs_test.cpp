// The DIMACS reader (what it accepts and refuses, with line numbers), the
// translation into a Graph checked against Edmonds-Karp on the raw network,
// and the dticut-maxflow command end to end.
#include "tools/dimacs.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "tests/flow/flow_check.h"

namespace {

bool parse(const std::string& text, DimacsProblem& p, DimacsError& e) {
  return parse_dimacs(text.data(), text.size(), p, e);
}

TEST(DimacsParse, ReadsCommentsNodesAndArcs) {
  DimacsProblem p;
  DimacsError e;
  ASSERT_TRUE(parse("c example\r\n\np max 4 3\nn 1 s\nn 4 t\n"
                    "a 1 2 5\na 2 4 2147483647\n  a\t2 3 0  \nc done",
                    p, e))
      << e.line << ": " << e.message;
  EXPECT_EQ(p.nodes, 4);
  EXPECT_EQ(p.source, 0);
  EXPECT_EQ(p.sink, 3);
  ASSERT_EQ(p.arcs.size(), 3u);
  EXPECT_EQ(p.arcs[1].from, 1);
  EXPECT_EQ(p.arcs[1].to, 3);
  EXPECT_EQ(p.arcs[1].cap, 2147483647);
  EXPECT_EQ(p.arcs[2].cap, 0);
}

TEST(DimacsParse, RefusesMalformedInputAtTheRightLine) {
  const std::string head = "p max 3 1\nn 1 s\nn 3 t\n";
  struct Case {
    std::string text;
    int line;
    std::string message;  // a part of the message
  };
  const Case cases[] = {
      {"", 1, "no problem line"},
      {"c only\n", 1, "no problem line"},
      {"a 1 2 3\n", 1, "arc line before the problem line"},
      {"n 1 s\n", 1, "n line before the problem line"},
      {"p max 3 0\np max 3 0\n", 2, "second problem line (the first is line 1)"},
      {"p min 3 0\n", 1, "problem kind is 'min'"},
      {"p max 1 0\n", 1, "node count 1 out of range 2..2147483647"},
      {"p max 3\n", 1, "missing arc count"},
      {"p max 3 1 9\n", 1, "unexpected '9'"},
      {"p max 3 x\n", 1, "arc count is not an integer: 'x'"},
      {"p max 3 0\nn 1 s\n", 2, "no sink line"},
      {"p max 3 0\nn 3 t\n", 2, "no source line"},
      {"p max 3 0\nn 4 s\n", 2, "node id 4 out of range 1..3"},
      {"p max 3 0\nn 0 s\n", 2, "node id 0 out of range"},
      {"p max 3 0\nn 1 s\nn 2 s\n", 3, "source given twice"},
      {"p max 3 0\nn 1 s\nn 1 t\n", 3, "source and sink are the same node"},
      {"p max 3 0\nn 1 x\n", 2, "node designation is 'x'"},
      {"p max 3 1\nn 1 s\na 1 2 3\n", 3, "arc before the source and sink lines"},
      {head + "a 1 2 3\nn 2 t\n", 5, "node line after the first arc (line 4)"},
      {head, 1, "problem line declares 1 arcs, found 0"},
      {head + "a 1 2 3\na 2 3 4\n", 5, "more arcs than the 1 declared on line 1"},
      {head + "a 1 4 3\n", 4, "arc head 4 out of range 1..3"},
      {head + "a 1 2 -3\n", 4, "capacity -3 out of range 0..2147483647"},
      {head + "a 1 2 2147483648\n", 4, "capacity 2147483648 out of range"},
      {head + "a 1 2 99999999999999999999999\n", 4, "out of range"},
      {head + "a 1 2 3.5\n", 4, "capacity is not an integer: '3.5'"},
      {head + "a 1 2 -\n", 4, "capacity is not an integer: '-'"},
      {head + "a 1 2\n", 4, "missing capacity"},
      {head + "a 1 2 3 4\n", 4, "unexpected '4' after 'a U V CAP'"},
      {head + "x 1 2 3\n", 4, "unknown line kind 'x'"},
      {head + "arc 1 2 3\n", 4, "unknown line kind 'arc'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    DimacsProblem p;
    DimacsError e;
    ASSERT_FALSE(parse(c.text, p, e));
    EXPECT_EQ(e.line, c.line);
    EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
  }
}

TEST(DimacsParse, RefusesCapacitiesThatCouldOverflowTheFlow) {
  const std::string head = "p max 4 3\nn 1 s\nn 4 t\n";
  DimacsProblem p;
  DimacsError e;
  EXPECT_FALSE(parse(head + "a 1 2 2147483647\na 1 2 1\na 2 4 1\n", p, e));
  EXPECT_EQ(e.line, 5);
  EXPECT_NE(e.message.find("from the source into node 2 sum to more than 2147483647"), std::string::npos);
  EXPECT_FALSE(parse(head + "a 2 4 2147483647\na 2 4 1\na 1 2 1\n", p, e));
  EXPECT_EQ(e.line, 5);
  EXPECT_NE(e.message.find("from node 2 into the sink sum to more than"), std::string::npos);
  // Both totals beyond the limit: the flow itself could overflow.
  EXPECT_FALSE(parse("p max 5 4\nn 1 s\nn 5 t\na 1 2 2147483647\na 1 3 1\n"
                     "a 2 5 2147483647\na 3 5 1\n",
                     p, e));
  EXPECT_EQ(e.line, 7);
  EXPECT_NE(e.message.find("both sum to more than"), std::string::npos) << e.message;
  // One side within the limit bounds the flow; direct source-to-sink arcs,
  // arcs into the source and out of the sink do not count.
  EXPECT_TRUE(parse("p max 5 7\nn 1 s\nn 5 t\na 1 2 2147483647\na 1 3 1\na 2 5 5\na 3 5 1\n"
                    "a 1 5 2147483647\na 2 1 2147483647\na 5 3 2147483647\n",
                    p, e))
      << e.message;
}

// The flow of the translated graph equals Edmonds-Karp on the network as
// written, source and sink included as ordinary nodes.
TEST(DimacsGraph, FlowMatchesEdmondsKarpOnTheRawNetwork) {
  const uint32_t base_seed = 4242;
  std::printf("random DIMACS instances: base seed %u\n", base_seed);
  for (uint32_t k = 0; k < 500; ++k) {
    SCOPED_TRACE("seed " + std::to_string(base_seed + k));
    std::mt19937 rng(base_seed + k);
    const int n = 2 + static_cast<int>(rng() % 10), m = static_cast<int>(rng() % 40);
    const int s = static_cast<int>(rng() % n);
    int t = static_cast<int>(rng() % (n - 1));
    if (t >= s) ++t;
    std::string text = "p max " + std::to_string(n) + " " + std::to_string(m) + "\nn " +
                       std::to_string(s + 1) + " s\nn " + std::to_string(t + 1) + " t\n";
    std::vector<std::vector<int64_t>> cap(n, std::vector<int64_t>(n, 0));
    for (int a = 0; a < m; ++a) {
      int u = static_cast<int>(rng() % n), v = static_cast<int>(rng() % n), c = static_cast<int>(rng() % 9);
      text += "a " + std::to_string(u + 1) + " " + std::to_string(v + 1) + " " + std::to_string(c) + "\n";
      cap[u][v] += c;
    }
    DimacsProblem p;
    DimacsError e;
    ASSERT_TRUE(parse(text, p, e)) << e.message;
    Graph g;
    int64_t direct = build_dimacs_graph(p, g);
    std::vector<bool> reached;
    EXPECT_EQ(direct + g.maxflow(), matrix_maxflow(cap, s, t, reached)) << text;
  }
}

// Runs the command on `text` written to a file; returns its exit status and
// sets `output` to what it printed on stdout and stderr.
int run_tool(const std::string& text, std::string& output, std::string& path) {
  path = ::testing::TempDir() + "dimacs_test_instance.max";
  std::ofstream(path, std::ios::binary) << text;
  std::string cmd = std::string(DTICUT_MAXFLOW_EXE) + " " + path + " 2>&1";
  FILE* pipe = popen(cmd.c_str(), "r");
  output.clear();
  char buf[256];
  while (std::fgets(buf, sizeof buf, pipe)) output += buf;
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DimacsTool, PrintsFlowAndTimesOrAnErrorWithTheLine) {
  std::string out, path;
  EXPECT_EQ(run_tool("c tiny\np max 4 6\nn 1 s\nn 4 t\na 1 2 4\na 1 3 2\na 2 3 1\n"
                     "a 2 4 2\na 3 4 5\na 1 4 7\n",
                     out, path),
            0);
  EXPECT_TRUE(std::regex_match(out, std::regex("flow=12 solve_s=[0-9.]+ build_s=[0-9.]+\n"))) << out;

  EXPECT_EQ(run_tool("p max 4 1\nn 1 s\nn 4 t\na 1 2 x\n", out, path), 1);
  EXPECT_EQ(out, "dticut-maxflow: " + path + ":4: capacity is not an integer: 'x'\n");

  // A node with more arcs than the engine allows ends through its error function.
  std::string many = "p max 3 1025\nn 1 s\nn 3 t\n";
  for (int k = 0; k < 1025; ++k) many += "a 2 2 1\n";
  EXPECT_EQ(run_tool(many, out, path), 0) << "arcs from a node to itself are left out";
  many = "p max 4 1025\nn 1 s\nn 4 t\n";
  for (int k = 0; k < 1025; ++k) many += "a 2 3 1\n";
  EXPECT_EQ(run_tool(many, out, path), 1);
  EXPECT_EQ(out, "dticut-maxflow: " + path + ": # of arcs per node exceeds block size!\n");

  std::remove(path.c_str());
  EXPECT_EQ(run_tool("", out, path), 1);
  FILE* pipe = popen((std::string(DTICUT_MAXFLOW_EXE) + " /nonexistent/x.max 2>&1").c_str(), "r");
  char buf[256] = {0};
  EXPECT_NE(std::fgets(buf, sizeof buf, pipe), nullptr);
  EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 1);
  EXPECT_EQ(std::string(buf), "dticut-maxflow: /nonexistent/x.max: cannot open: No such file or directory\n");
}

}  // namespace
