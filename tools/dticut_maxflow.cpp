// dticut-maxflow FILE: solves a DIMACS max-flow instance with the engine and
// prints "flow=<value> solve_s=<seconds> build_s=<seconds>" on one line.
// Build time covers creating the graph from the parsed file; solve time the
// maxflow call. Errors go to stderr as "dticut-maxflow: FILE[:LINE]: problem"
// (or the usage line) with exit status 1.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <string>

#include "flow/graph.h"
#include "tools/dimacs.h"

namespace {

const char* g_path = "";

[[noreturn]] void die(const std::string& where, const std::string& problem) {
  std::fprintf(stderr, "dticut-maxflow: %s: %s\n", where.c_str(), problem.c_str());
  std::exit(1);
}

// The engine's error function: its fatal conditions name the input file.
void engine_error(char* msg) { std::fprintf(stderr, "dticut-maxflow: %s: %s\n", g_path, msg); }

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0') {
    std::fprintf(stderr, "usage: dticut-maxflow FILE\n");
    return 1;
  }
  g_path = argv[1];
  std::ifstream in(g_path, std::ios::binary);
  if (!in) die(g_path, std::string("cannot open: ") + std::strerror(errno));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) die(g_path, "read error");

  DimacsProblem problem;
  DimacsError error;
  if (!parse_dimacs(text.data(), text.size(), problem, error)) {
    die(std::string(g_path) + ":" + std::to_string(error.line), error.message);
  }
  text = std::string();

  try {
    auto start = std::chrono::steady_clock::now();
    Graph g(engine_error);
    int64_t direct = build_dimacs_graph(problem, g);
    double build_s = seconds_since(start);
    start = std::chrono::steady_clock::now();
    int64_t flow = direct + g.maxflow();
    double solve_s = seconds_since(start);
    std::printf("flow=%lld solve_s=%.6f build_s=%.6f\n", static_cast<long long>(flow), solve_s, build_s);
  } catch (const std::bad_alloc&) {
    die(g_path, "out of memory");
  }
  return 0;
}
