// Test-only reference for the optimizer: small random problems, their energy
// summed directly from the declared pairs, the best labeling one move can
// reach found by enumeration, and installation through every kind of source.
#ifndef TESTS_OPTIMIZER_REFERENCE_H_
#define TESTS_OPTIMIZER_REFERENCE_H_

#include <algorithm>
#include <climits>
#include <cstdio>
#include <random>
#include <vector>

#include "optimizer/GCoptimization.h"

namespace reference {

struct Pair {
  int a, b, w;
};

struct Problem {
  int sites = 0, labels = 0;
  std::vector<int> data;    // data[s * labels + l]
  std::vector<int> smooth;  // smooth[l1 * labels + l2], a metric
  std::vector<Pair> pairs;  // as declared, repeats and self-pairs included

  int D(int s, int l) const { return data[s * labels + l]; }
  int V(int l1, int l2) const { return smooth[l1 * labels + l2]; }
};

// Up to 10 sites, 2 to 4 labels, Potts or truncated-linear smoothness, random
// pairs (some repeated, some self-pairs) with weights 0..5.
inline Problem randomProblem(std::mt19937& rng) {
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Problem p;
  p.sites = pick(2, 10);
  p.labels = pick(2, 4);
  for (int k = 0; k < p.sites * p.labels; k++) p.data.push_back(pick(0, 20));
  bool potts = pick(0, 1) == 0;
  int scale = pick(1, 6), cap = pick(2, 9);
  for (int l1 = 0; l1 < p.labels; l1++)
    for (int l2 = 0; l2 < p.labels; l2++)
      p.smooth.push_back(potts ? scale * (l1 != l2) : std::min(scale * std::abs(l1 - l2), cap));
  int num_pairs = pick(0, 2 * p.sites);
  for (int k = 0; k < num_pairs; k++)
    p.pairs.push_back({pick(0, p.sites - 1), pick(0, p.sites - 1), pick(0, 5)});
  return p;
}

// Direct sum: every declared pair of two different sites counts once.
inline int energyOf(const Problem& p, const std::vector<int>& labels) {
  int e = 0;
  for (int s = 0; s < p.sites; s++) e += p.D(s, labels[s]);
  for (const Pair& q : p.pairs) {
    int hi = std::max(q.a, q.b), lo = std::min(q.a, q.b);
    if (hi != lo) e += q.w * p.V(labels[hi], labels[lo]);
  }
  return e;
}

// Lowest energy over the labelings in which each site either keeps its label
// or takes the one offered for it; `offer(s)` returns the labels site s may take.
template <typename Offer>
int bestReachable(const Problem& p, const std::vector<int>& labels, Offer offer) {
  std::vector<std::vector<int>> options;
  for (int s = 0; s < p.sites; s++) options.push_back(offer(s));
  std::vector<int> trial = labels, choice(p.sites, 0);
  int best = INT_MAX;
  while (true) {
    for (int s = 0; s < p.sites; s++) trial[s] = options[s][choice[s]];
    best = std::min(best, energyOf(p, trial));
    int s = 0;
    while (s < p.sites && ++choice[s] == static_cast<int>(options[s].size())) choice[s++] = 0;
    if (s == p.sites) return best;
  }
}

// Sites outside `free` (all sites when it is empty) keep their labels.
inline int bestExpansion(const Problem& p, const std::vector<int>& labels, int alpha,
                         const std::vector<bool>& free = {}) {
  return bestReachable(p, labels, [&](int s) {
    bool active = labels[s] != alpha && (free.empty() || free[s]);
    return active ? std::vector<int>{labels[s], alpha} : std::vector<int>{labels[s]};
  });
}

inline int bestSwap(const Problem& p, const std::vector<int>& labels, int alpha, int beta) {
  return bestReachable(p, labels, [&](int s) {
    bool active = labels[s] == alpha || labels[s] == beta;
    return active ? std::vector<int>{alpha, beta} : std::vector<int>{labels[s]};
  });
}

// The ways a cost can reach the optimizer.
enum class Source { kTable, kFunction, kFunctionExtra, kFunctor, kEntries };
const Source kAllSources[] = {Source::kTable, Source::kFunction, Source::kFunctionExtra,
                              Source::kFunctor, Source::kEntries};

// Plain functions cannot carry the problem, so they read it from here.
inline const Problem*& current() {
  static const Problem* problem = nullptr;
  return problem;
}

struct DataFunctor : GCoptimization::DataCostFunctor {
  const Problem* p;
  explicit DataFunctor(const Problem* problem) : p(problem) {}
  int computeCost(int s, int l) override { return p->D(s, l); }
};
struct SmoothFunctor : GCoptimization::SmoothCostFunctor {
  const Problem* p;
  explicit SmoothFunctor(const Problem* problem) : p(problem) {}
  int computeCost(int, int, int l1, int l2) override { return p->V(l1, l2); }
};

// Owns what the optimizer borrows for one problem, and installs it.
struct Installer {
  Problem p;
  DataFunctor data_functor{&p};
  SmoothFunctor smooth_functor{&p};

  explicit Installer(const Problem& problem) : p(problem) {}

  void install(GCoptimization& opt, Source kind) {
    installData(opt, kind);
    installSmooth(opt, kind);
  }
  void installData(GCoptimization& opt, Source kind) {
    switch (kind) {
      case Source::kTable: return opt.setDataCost(p.data.data());
      case Source::kFunction:
        opt.setDataCost([](int s, int l) { return current()->D(s, l); });
        current() = &p;  // only once installed: a refused source must not redirect
        return;
      case Source::kFunctionExtra:
        return opt.setDataCost(
            [](int s, int l, void* x) { return static_cast<Problem*>(x)->D(s, l); }, &p);
      case Source::kFunctor: return opt.setDataCostFunctor(&data_functor);
      case Source::kEntries:
        for (int s = 0; s < p.sites; s++)
          for (int l = 0; l < p.labels; l++) opt.setDataCost(s, l, p.D(s, l));
    }
  }
  void installSmooth(GCoptimization& opt, Source kind) {
    switch (kind) {
      case Source::kTable: return opt.setSmoothCost(p.smooth.data());
      case Source::kFunction:
        opt.setSmoothCost([](int, int, int l1, int l2) { return current()->V(l1, l2); });
        current() = &p;
        return;
      case Source::kFunctionExtra:
        return opt.setSmoothCost(
            [](int, int, int l1, int l2, void* x) { return static_cast<Problem*>(x)->V(l1, l2); },
            &p);
      case Source::kFunctor: return opt.setSmoothCostFunctor(&smooth_functor);
      case Source::kEntries:
        for (int l1 = 0; l1 < p.labels; l1++)
          for (int l2 = 0; l2 < p.labels; l2++) opt.setSmoothCost(l1, l2, p.V(l1, l2));
    }
  }
};

// A general-neighbourhood optimizer that exposes its move state and counts
// readiness checks (one per compute_energy and one per move).
class Optimizer : public GCoptimizationGeneralGraph {
 public:
  using GCoptimizationGeneralGraph::GCoptimizationGeneralGraph;
  using GCoptimization::m_label_table;
  using GCoptimization::m_site_to_var;
  int ready_calls = 0;
  bool ready = true;

  bool readyToOptimise() override {
    ready_calls++;
    GCoptimizationGeneralGraph::readyToOptimise();
    return ready;
  }
  void declare(const Problem& p) {
    for (const Pair& q : p.pairs) setNeighbors(q.a, q.b, q.w);
  }
  std::vector<int> labels() {
    std::vector<int> l(m_num_sites);
    for (int s = 0; s < m_num_sites; s++) l[s] = whatLabel(s);
    return l;
  }
  bool noActiveSites() const {
    return std::all_of(m_site_to_var, m_site_to_var + m_num_sites, [](int v) { return v == -1; });
  }
};

}  // namespace reference

#endif  // TESTS_OPTIMIZER_REFERENCE_H_
