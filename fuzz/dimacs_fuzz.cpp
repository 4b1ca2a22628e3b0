// libFuzzer target for the DIMACS reader of dticut-maxflow: any byte string
// is either refused with a line and a message, or parsed into an instance
// that stays within its declared bounds; instances small enough to solve
// quickly are built into a Graph (nodes beyond the engine's arcs per node
// split into copies) and solved, and the flow must lie between 0 and what
// the source can send and the sink receive, and equal Edmonds-Karp on the
// network as written when the instance names few nodes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <vector>

#include "flow/graph.h"
#include "tests/flow/flow_check.h"
#include "tools/dimacs.h"

namespace {

// Larger instances are only parsed, so that a run stays fast: the solve
// grows with the arcs, the reader's node table with the declared nodes.
const size_t kMaxArcsToSolve = 10000;
const int kMaxNodesToSolve = 1 << 16;
// Instances naming at most this many nodes are also solved by the reference.
const int kMaxNodesForReference = 24;

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "dimacs_fuzz: %s\n", what);
  std::abort();
}

// Checks the parsed instance; returns false when it is too large to solve.
bool checkParsed(const DimacsProblem& p) {
  require(p.nodes >= 2 && p.source >= 0 && p.source < p.nodes && p.sink >= 0 && p.sink < p.nodes &&
              p.source != p.sink,
          "source or sink outside the declared nodes");
  for (const DimacsArc& a : p.arcs) {
    require(a.from >= 0 && a.from < p.nodes && a.to >= 0 && a.to < p.nodes && a.cap >= 0,
            "arc outside the declared nodes or with a negative capacity");
  }
  return p.arcs.size() <= kMaxArcsToSolve && p.nodes <= kMaxNodesToSolve;
}

void checkFlow(const DimacsProblem& p) {
  Graph g;
  int64_t direct = build_dimacs_graph(p, g);
  int pushed = g.maxflow();
  require(pushed >= 0, "negative flow");
  int64_t flow = direct + pushed;

  int64_t leaving = 0, entering = 0;
  std::unordered_map<int, int> index = {{p.source, 0}, {p.sink, 1}};
  for (const DimacsArc& a : p.arcs) {
    if (a.from == p.source) leaving += a.cap;
    if (a.to == p.sink) entering += a.cap;
    index.emplace(a.from, static_cast<int>(index.size()));
    index.emplace(a.to, static_cast<int>(index.size()));
  }
  require(flow >= direct && flow <= leaving && flow <= entering,
          "flow beyond what the source sends or the sink receives");

  const int n = static_cast<int>(index.size());
  if (n > kMaxNodesForReference) return;
  std::vector<std::vector<int64_t>> cap(n, std::vector<int64_t>(n, 0));
  for (const DimacsArc& a : p.arcs) cap[index[a.from]][index[a.to]] += a.cap;
  std::vector<bool> reached;
  require(flow == matrix_maxflow(cap, 0, 1, reached), "flow differs from Edmonds-Karp");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DimacsProblem problem;
  DimacsError error;
  if (!parse_dimacs(reinterpret_cast<const char*>(data), size, problem, error)) {
    require(error.line >= 1 && !error.message.empty(), "a refusal without a line or a message");
    return 0;
  }
  if (checkParsed(problem)) checkFlow(problem);
  return 0;
}
