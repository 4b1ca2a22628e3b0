// Reader for max-flow instances in the DIMACS format, and their translation
// into a Graph. The reader works on an in-memory buffer and reports the first
// problem with its line number instead of exiting, so that it can be driven
// by a fuzzer. It accepts exactly:
//   c ...              comment (also blank lines)
//   p max N M          once, before any n or a line; 2 <= N, 0 <= M
//   n ID s / n ID t    once each, 1 <= ID <= N, source != sink
//   a U V CAP          exactly M of them, 1 <= U, V <= N, 0 <= CAP <= 2^31-1
// Cost: linear in the input; memory grows with the arcs read, never with the
// N or M a file declares.
//
// Translation: arcs leaving the source become source capacities and arcs
// entering the sink sink capacities; a direct source-to-sink arc is flow that
// needs no path and is added to the result; arcs into the source or out of
// the sink cannot lie on a source-to-sink path and are left out, as are arcs
// from a node to itself. An instance is refused when the engine's 32-bit
// flow could overflow: when a node's capacities from the source, or to the
// sink, sum to more than 2^31-1, or when both all capacities leaving the
// source and all entering the sink do.
//
// The engine takes at most kEngineArcsPerNode arcs leaving and as many
// entering each node (flow/graph.h). A node with more, on either side, is
// built as several copies of it, each with at most kEngineArcsPerNode - 6 of
// its arcs per side, joined in a binary tree by arcs in both directions
// whose capacity exceeds the smaller of the sums leaving the source and
// entering the sink (split over two arcs each way when that is beyond
// 2^31-1). No minimum cut separates copies, so the flow is the instance's;
// the copies are extra graph nodes (about one per 1018 arcs of such a node).
#ifndef DTICUT_TOOLS_DIMACS_H
#define DTICUT_TOOLS_DIMACS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "flow/graph.h"

// The engine's limit of arcs per node on each side.
constexpr int kEngineArcsPerNode = Graph::MAX_ARCS_PER_NODE;

struct DimacsArc {
  int from, to;  // 0-based node ids
  int cap;
};

struct DimacsProblem {
  int nodes = 0;
  int source = -1, sink = -1;  // 0-based
  std::vector<DimacsArc> arcs;
};

struct DimacsError {
  int line = 0;  // 1-based
  std::string message;
};

// Parses `size` bytes at `data` into `problem`. Returns false with `error`
// filled at the first problem found.
bool parse_dimacs(const char* data, std::size_t size, DimacsProblem& problem, DimacsError& error);

// Adds the instance to a fresh graph: first the nodes (with their copies and
// the arcs that join them), in the order in which arcs first name them, then
// the arcs and terminal capacities in the order of the file. Returns the capacity of the direct source-to-sink arcs, which the
// maximum flow of the instance adds to the graph's maxflow().
int64_t build_dimacs_graph(const DimacsProblem& problem, Graph& g);

#endif  // DTICUT_TOOLS_DIMACS_H
