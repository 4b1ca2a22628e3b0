// The DIMACS reader (what it accepts and refuses, with line numbers), the
// translation into a Graph checked against Edmonds-Karp on the raw network,
// and the dticut-maxflow command end to end.
#include "tools/dimacs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "tests/subprocess.h"
#include "tests/flow/flow_check.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#elif defined(__has_feature)
const bool kSanitized = __has_feature(address_sanitizer);
#else
const bool kSanitized = false;
#endif

bool parse(const std::string& text, DimacsProblem& p, DimacsError& e) {
  return parse_dimacs(text.data(), text.size(), p, e);
}

// Each text is refused at `line` with a message that contains `message`, or
// accepted (line 0).
TEST(DimacsParse, RefusesMalformedInputAndFlowsBeyond32BitsAtTheRightLine) {
  const std::string head = "p max 3 1\nn 1 s\nn 3 t\n", wide = "p max 5 4\nn 1 s\nn 5 t\n";
  const std::string big = "2147483647";
  const struct {
    std::string text;
    int line;
    std::string message;
  } cases[] = {
      {"", 1, "no problem line"},
      {"a 1 2 3\n", 1, "arc line before the problem line"},
      {"p max 3 0\np max 3 0\n", 2, "second problem line (the first is line 1)"},
      {"p max 1 0\n", 1, "node count 1 out of range 2..2147483647"},
      {"p max 3 0\nn 1 s\n", 2, "no sink line"},
      {"p max 3 0\nn 4 s\n", 2, "node id 4 out of range 1..3"},
      {"p max 3 0\nn 1 s\nn 1 t\n", 3, "source and sink are the same node"},
      {"p max 3 1\nn 1 s\na 1 2 3\n", 3, "arc before the source and sink lines"},
      {head + "a 1 2 3\nn 2 t\n", 5, "node line after the first arc (line 4)"},
      {head, 1, "problem line declares 1 arcs, found 0"},
      {head + "a 1 2 3\na 2 3 4\n", 5, "more arcs than the 1 declared on line 1"},
      {head + "a 1 2 -3\n", 4, "capacity -3 out of range 0..2147483647"},
      {head + "a 1 2 3.5\n", 4, "capacity is not an integer: '3.5'"},
      {head + "a 1 2\n", 4, "missing capacity"},
      {head + "arc 1 2 3\n", 4, "unknown line kind 'arc'"},
      {wide + "a 1 2 " + big + "\na 1 2 1\na 2 5 1\na 3 5 1\n", 5, "from the source into node 2 sum"},
      {wide + "a 2 5 " + big + "\na 2 5 1\na 1 2 1\na 3 5 1\n", 5, "from node 2 into the sink sum"},
      {wide + "a 1 2 " + big + "\na 1 3 1\na 2 5 " + big + "\na 3 5 1\n", 7, "both sum to more than"},
      // One side within the limit bounds the flow; direct source-to-sink
      // arcs, arcs into the source and out of the sink do not count.
      {wide + "a 1 2 " + big + "\na 1 5 " + big + "\na 2 1 " + big + "\na 5 3 " + big + "\n", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    DimacsProblem p;
    DimacsError e;
    EXPECT_EQ(parse(c.text, p, e), c.line == 0);
    EXPECT_EQ(e.line, c.line);
    EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
  }
}

// Solves `arcs` (0-based tail, head, capacity) from s to t through the
// reader and the graph (whose engine ends the process if a node has more
// arcs on a side than it takes) and checks the flow against Edmonds-Karp on
// the network as written, source and sink as ordinary nodes. Returns the
// graph's nodes.
std::size_t expect_flow(int n, int s, int t, const std::vector<std::tuple<int, int, int64_t>>& arcs) {
  std::string text = "p max " + std::to_string(n) + " " + std::to_string(arcs.size()) + "\nn " +
                     std::to_string(s + 1) + " s\nn " + std::to_string(t + 1) + " t\n";
  std::vector<std::vector<int64_t>> cap(n, std::vector<int64_t>(n, 0));
  for (const auto& [u, v, c] : arcs) {
    text += "a " + std::to_string(u + 1) + " " + std::to_string(v + 1) + " " + std::to_string(c) + "\n";
    cap[u][v] += c;
  }
  DimacsProblem p;
  DimacsError e;
  EXPECT_TRUE(parse(text, p, e)) << e.line << ": " << e.message;
  Graph g;
  int64_t direct = build_dimacs_graph(p, g);
  std::vector<bool> reached;
  EXPECT_EQ(direct + g.maxflow(), matrix_maxflow(cap, s, t, reached)) << (n <= 10 ? text : "");
  return GraphTestAccess::node_count(g);
}

// 500 small random networks, then 60 where one to three nodes (sometimes the
// source or the sink) have up to 2600 arcs on each side, beyond the engine's
// limit, among arcs from the source and to the sink at every node. Two thirds
// of these list a hub's arcs with its entering ones empty first and its
// leaving ones empty last, so that its first copies can only send and its
// last only receive: the flow must cross the joins between them.
TEST(DimacsGraph, FlowMatchesEdmondsKarpOnTheRawNetwork) {
  const uint32_t base_seed = 4242;
  std::printf("random DIMACS instances: base seed %u\n", base_seed);
  int split = 0;
  for (uint32_t k = 0; k < 560; ++k) {
    SCOPED_TRACE("seed " + std::to_string(base_seed + k));
    std::mt19937 rng(base_seed + k);
    const bool high = k >= 500, skewed = k % 3 != 0;
    const int n = high ? 3 + static_cast<int>(rng() % (k % 2 ? 12 : 1200)) : 2 + static_cast<int>(rng() % 10);
    const int s = static_cast<int>(rng() % n);
    int t = static_cast<int>(rng() % (n - 1));
    if (t >= s) ++t;
    auto node = [&] { return static_cast<int>(rng() % n); };
    auto capacity = [&] { return static_cast<int64_t>(rng() % (!high ? 9 : k % 4 == 3 ? 1 << 18 : 10)); };
    std::vector<std::tuple<int, int, int64_t>> arcs;
    for (int x = 0; high && x < n; ++x) {
      arcs.push_back({s, x, 50 * capacity()});
      arcs.push_back({x, t, 50 * capacity()});
    }
    for (int h = 0, hubs = high ? 1 + static_cast<int>(rng() % 3) : 0; h < hubs; ++h) {
      const int hub = node(), leaving = static_cast<int>(rng() % 2600), entering = static_cast<int>(rng() % 2600);
      for (int a = 0; a < leaving; ++a) arcs.push_back({hub, node(), skewed && 2 * a >= leaving ? 0 : capacity()});
      for (int a = 0; a < entering; ++a) arcs.push_back({node(), hub, skewed && 2 * a < entering ? 0 : capacity()});
    }
    for (int a = static_cast<int>(rng() % (high ? 500 : 40)); a > 0; --a) arcs.push_back({node(), node(), capacity()});
    if (high && !skewed) std::shuffle(arcs.begin(), arcs.end(), rng);
    split += expect_flow(n, s, t, arcs) > static_cast<std::size_t>(n - 2);
  }
  EXPECT_GE(split, 40) << "networks with a node split into copies";
}

// Nodes at and beyond the limit on either side, with flows up to 2^31 - 1,
// where each join needs two arcs each way. The leaving arcs of node 1's first
// copy are empty, so that copy must pass the source's flow on; the last
// case fills a copy that has a parent and two children with its arcs and six
// join arcs per side.
TEST(DimacsGraph, SplitsNodesAtTheEngineLimitWithin32Bits) {
  const int per_copy = kEngineArcsPerNode - 6;
  const std::pair<int, int> cases[] = {{kEngineArcsPerNode, kEngineArcsPerNode},
                                       {kEngineArcsPerNode + 1, 1},
                                       {per_copy + 1, kEngineArcsPerNode + 1},
                                       {7 * per_copy, 5 * per_copy + 1}};
  for (const auto& [leaving, entering] : cases) {
    for (int64_t big : {1, 1 << 21}) {
      SCOPED_TRACE(std::to_string(leaving) + " leaving, " + std::to_string(entering) + " entering node 1");
      // 0 = s -> 1 -> 2, 3 -> 4 = t, and 2, 3 -> 1.
      std::vector<std::tuple<int, int, int64_t>> arcs = {
          {0, 1, big == 1 ? leaving : INT_MAX}, {2, 4, big << 9}, {3, 4, big << 9}};
      for (int a = 0; a < leaving; ++a) arcs.push_back({1, 2 + a % 2, a < per_copy ? 0 : big});
      for (int a = 0; a < entering; ++a) arcs.push_back({2 + a % 2, 1, 1});
      expect_flow(5, 0, 4, arcs);
    }
  }
}

// What the command prints for a solved instance.
bool printsFlow(const std::string& out, const std::string& flow) {
  return std::regex_match(out, std::regex("flow=" + flow + " solve_s=[0-9.]+ build_s=[0-9.]+\n"));
}

// The flow, beyond 32 bits with a direct arc; an error with its line; a node
// with 1100 arcs on each side, beyond the engine's limit, solved (not refused
// with the engine's "# of arcs per node exceeds block size!"); and a standard
// output that cannot be written, a failure rather than silence.
TEST(DimacsTool, PrintsFlowAndTimesOrAnErrorWithTheLine) {
  const std::string path = ::testing::TempDir() + "dimacs_test_instance.max";
  std::string many = "p max 4 2201\nn 1 s\nn 4 t\na 3 4 2000\n";
  for (int k = 0; k < 1100; ++k) many += "a 1 2 1\na 2 3 1\n";
  const struct {
    std::string text, flow, err, redirect;
  } cases[] = {
      {"c tiny\r\n\np max 4 6\nn 1 s\nn 4 t\na 1 2 4\na 1 3 2\n\ta 2 3 1  \n"
       "a 2 4 2\na 3 4 5\na 1 4 2147483647\nc end",
       "2147483652", "", ""},
      {"p max 4 1\nn 1 s\nn 4 t\na 1 2 x\n", "",
       "dticut-maxflow: " + path + ":4: capacity is not an integer: 'x'\n", ""},
      // A token's bytes that a terminal would act on are shown, not sent.
      {std::string("p max 4 1\nn 1 s\nn 4 t\na 1 2 \x1b[2J\r") + '\0' + "\\\xe2\x82\xac\n", "",
       "dticut-maxflow: " + path +
           ":4: capacity is not an integer: '\\x1b[2J\\x0d\\x00\\\xe2\x82\xac'\n",
       ""},
      {many, "1100", "", ""},
      {"p max 2 1\nn 1 s\nn 2 t\na 1 2 3\n", "",
       "dticut-maxflow: standard output: write failed: No space left on device\n", " >/dev/full"},
  };
  for (const auto& c : cases) {
    std::ofstream(path, std::ios::binary) << c.text;
    const std::string command = "exec \"$0\" \"$1\"" + c.redirect;
    testfiles::RunResult run = testfiles::runProgram({"/bin/sh", "-c", command, DTICUT_MAXFLOW_EXE, path}, ".");
    EXPECT_EQ(run.status, c.err.empty() ? 0 : 1);
    EXPECT_EQ(run.err, c.err);
    EXPECT_TRUE(c.flow.empty() || printsFlow(run.out, c.flow)) << run.out;
  }
  std::remove(path.c_str());
}

// Folders and devices are refused before any read with one line and status
// 1, with no exception escaping (a read of /dev/zero would never end: the
// address-space limit, where no sanitizer reserves more, makes such a fault
// a quick failure). A pipe, as /dev/fd/N from the shell's <(...) or as a
// named FIFO, is read to its end.
TEST(DimacsTool, RefusesFoldersAndDevicesAndReadsPipes) {
  const std::string folder = ::testing::TempDir(), fifo = folder + "dimacs_test_fifo." + std::to_string(getpid());
  const std::string limit = kSanitized ? "" : "ulimit -v 1048576; ";
  for (const std::string& file : {folder, std::string("/dev/zero"), std::string("/dev/null")}) {
    testfiles::RunResult run =
        testfiles::runProgram({"/bin/sh", "-c", limit + "exec \"$0\" \"$1\"", DTICUT_MAXFLOW_EXE, file}, ".");
    EXPECT_EQ(run.status, 1) << file;
    EXPECT_EQ(run.err, "dticut-maxflow: " + file + ": is a " + (file == folder ? "folder" : "device") +
                           ", expected a regular file or a pipe\n");
  }
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string feed = "printf 'p max 3 2\\nn 1 s\\nn 3 t\\na 1 2 5\\na 2 3 4\\n' ";
  for (const std::string& command : {feed + "| exec \"$0\" /dev/fd/0", feed + ">\"$1\" & exec \"$0\" \"$1\""}) {
    testfiles::RunResult run = testfiles::runProgram({"/bin/sh", "-c", command, DTICUT_MAXFLOW_EXE, fifo}, ".");
    EXPECT_EQ(run.status, 0) << command << run.err;
    EXPECT_TRUE(printsFlow(run.out, "4")) << run.out;
  }
  std::remove(fifo.c_str());
}

}  // namespace
