// Minimisation of a sum of unary and regular pairwise terms over binary
// variables by one minimum cut. A variable is a node of the graph; value 0
// means the source side. Invariant: after maxflow(), the returned value is the
// minimum of the whole function, and what_segment reads 0 exactly for the
// variables that are 0 in every minimising assignment. Each pairwise term
// costs one arc and at most three terminal updates.
//
// Term values are 32-bit and unchecked: the caller keeps E(0,1) - E(0,0),
// E(1,0) - E(1,1), their sum, and every node's summed terminal values within
// int (see graph.h).
#ifndef DTICUT_FLOW_ENERGY_H
#define DTICUT_FLOW_ENERGY_H

#include <cassert>

#include "flow/graph.h"

class Energy : public Graph {
 public:
  // ---- construction ----
  explicit Energy(void (*err_function)(char*) = nullptr) : Graph(err_function) {}

  // ---- building ----
  // Variables come from add_node and unary terms E(0), E(1) from
  // add_tweights(x, E(1), E(0)). This adds the pairwise term E(x, y) with
  // A = E(0,0), B = E(0,1), C = E(1,0), D = E(1,1). A term that is not regular
  // (A + D > B + C) fails the assertion "B + C >= 0".
  void add_term2(void* x, void* y, int A, int B, int C, int D);
};

inline void Energy::add_term2(void* x, void* y, int A, int B, int C, int D) {
  // What every assignment of x pays goes to x's terminals; the rest is 0 for
  // (0,0) and (1,1), B - A for (0,1) and C - D for (1,0).
  add_tweights(x, D, A);
  B -= A;
  C -= D;
  assert(B + C >= 0);
  if (B < 0) {
    add_tweights(x, 0, B);
    add_tweights(y, 0, -B);
    add_edge(x, y, 0, B + C);
  } else if (C < 0) {
    add_tweights(x, 0, -C);
    add_tweights(y, 0, C);
    add_edge(x, y, B + C, 0);
  } else {
    add_edge(x, y, B, C);
  }
}

#endif  // DTICUT_FLOW_ENERGY_H
