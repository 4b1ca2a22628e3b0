// Test-only reference for the optimizer: small random problems, their energy
// summed directly from the declared pairs, the best labeling one move can
// reach found by enumeration, installation through every kind of source, and
// checks and logging costs shared by the expansion and swap suites.
#ifndef TESTS_OPTIMIZER_REFERENCE_H_
#define TESTS_OPTIMIZER_REFERENCE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <random>
#include <string>
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
  for (int k = pick(0, 2 * p.sites); k > 0; k--)
    p.pairs.push_back({pick(0, p.sites - 1), pick(0, p.sites - 1), pick(0, 5)});
  return p;
}

// Direct sum: every declared pair of two different sites counts once.
inline int energyOf(const Problem& p, const std::vector<int>& labels) {
  int e = 0;
  for (int s = 0; s < p.sites; s++) e += p.D(s, labels[s]);
  for (const Pair& q : p.pairs)
    if (q.a != q.b) e += q.w * p.V(labels[std::max(q.a, q.b)], labels[std::min(q.a, q.b)]);
  return e;
}

// Lowest energy over the labelings that give each site s one of options[s].
inline int bestOf(const Problem& p, const std::vector<std::vector<int>>& options) {
  std::vector<int> trial(p.sites), choice(p.sites, 0);
  int best = INT_MAX;
  for (int s = 0; s < p.sites;) {
    for (int t = 0; t < p.sites; t++) trial[t] = options[t][choice[t]];
    best = std::min(best, energyOf(p, trial));
    for (s = 0; s < p.sites && ++choice[s] == static_cast<int>(options[s].size()); s++)
      choice[s] = 0;
  }
  return best;
}

// The ways a cost can reach the optimizer.
enum class Source { kTable, kFunction, kFunctionExtra, kFunctor, kEntries };
const Source kAllSources[] = {Source::kTable, Source::kFunction, Source::kFunctionExtra,
                              Source::kFunctor, Source::kEntries};

// Owns what the optimizer borrows for one problem, and installs it. Plain
// functions cannot carry the problem: they read the one installed last.
struct Installer : GCoptimization::DataCostFunctor, GCoptimization::SmoothCostFunctor {
  Problem p;
  static inline const Problem* current = nullptr;
  explicit Installer(const Problem& problem) : p(problem) {}
  int computeCost(int s, int l) override { return p.D(s, l); }
  int computeCost(int, int, int l1, int l2) override { return p.V(l1, l2); }
  static int dataFn(int s, int l) { return current->D(s, l); }
  static int smoothFn(int, int, int l1, int l2) { return current->V(l1, l2); }
  static int dataFnExtra(int s, int l, void* x) { return static_cast<Problem*>(x)->D(s, l); }
  static int smoothFnExtra(int, int, int l1, int l2, void* x) {
    return static_cast<Problem*>(x)->V(l1, l2);
  }

  void installData(GCoptimization& o, Source kind) {
    if (kind == Source::kTable) o.setDataCost(p.data.data());
    if (kind == Source::kFunction) o.setDataCost(&dataFn);
    if (kind == Source::kFunctionExtra) o.setDataCost(&dataFnExtra, &p);
    if (kind == Source::kFunctor) o.setDataCostFunctor(this);
    for (int s = 0; kind == Source::kEntries && s < p.sites; s++)
      for (int l = 0; l < p.labels; l++) o.setDataCost(s, l, p.D(s, l));
    if (kind == Source::kFunction) current = &p;  // once installed: a refusal must not redirect
  }
  void installSmooth(GCoptimization& o, Source kind) {
    if (kind == Source::kTable) o.setSmoothCost(p.smooth.data());
    if (kind == Source::kFunction) o.setSmoothCost(&smoothFn);
    if (kind == Source::kFunctionExtra) o.setSmoothCost(&smoothFnExtra, &p);
    if (kind == Source::kFunctor) o.setSmoothCostFunctor(this);
    for (int l1 = 0; kind == Source::kEntries && l1 < p.labels; l1++)
      for (int l2 = 0; l2 < p.labels; l2++) o.setSmoothCost(l1, l2, p.V(l1, l2));
    if (kind == Source::kFunction) current = &p;
  }
};

// A general-neighbourhood optimizer that exposes its move state and counts
// readiness checks (one per compute_energy and one per move).
class Optimizer : public GCoptimizationGeneralGraph {
 public:
  using GCoptimization::m_label_table;
  using GCoptimization::m_site_to_var;
  using GCoptimizationGeneralGraph::GCoptimizationGeneralGraph;
  int ready_calls = 0;
  bool ready = true;

  Optimizer(Installer& in, Source kind) : Optimizer(in.p.sites, in.p.labels) {
    for (const Pair& q : in.p.pairs) setNeighbors(q.a, q.b, q.w);
    in.installData(*this, kind);
    in.installSmooth(*this, kind);
  }
  bool readyToOptimise() override {
    ready_calls++;
    GCoptimizationGeneralGraph::readyToOptimise();
    return ready;
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

// After one move: every site took one of its options, the energy is the
// lowest those options allow, and no site is left active.
inline void checkMove(Optimizer& opt, const Problem& p,
                      const std::vector<std::vector<int>>& options) {
  std::vector<int> after = opt.labels();
  for (int s = 0; s < p.sites; s++)
    ASSERT_NE(std::find(options[s].begin(), options[s].end(), after[s]), options[s].end()) << s;
  EXPECT_EQ(energyOf(p, after), bestOf(p, options));
  EXPECT_EQ(opt.compute_energy(), energyOf(p, after));
  EXPECT_TRUE(opt.noActiveSites());
}

// The message of the GCException that `action` raises.
template <typename Action>
std::string messageOf(Action action) {
  try {
    action();
  } catch (GCException& e) {
    return e.message;
  }
  return "no exception";
}

// Runs body(installer, rng) on `count` random problems with printed seeds.
template <typename Body>
void forRandomProblems(unsigned count, Body body) {
  for (unsigned seed = 1000; seed < 1000 + count; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Installer in(randomProblem(rng));
    body(in, rng);
  }
}

typedef int (GCoptimization::*Loop)(int);

// The loop rule on a problem whose first iteration takes both sites from
// label 0 (energy 2) to label 1 (energy 0) and whose second changes nothing:
// iterations run while the energy falls strictly, at most `limit` of them,
// each with one readiness check per move and one for its energy.
inline void checkLoopRule(Loop loop, int moves_per_iteration) {
  std::vector<int> data = {1, 0, 1, 0}, smooth = {0, 1, 1, 0};
  const int limits[] = {-1, 0, 1, 2, 5}, iterations[] = {0, 0, 1, 2, 2};
  for (int k = 0; k < 5; k++) {
    SCOPED_TRACE("limit " + std::to_string(limits[k]));
    Optimizer opt(2, 2);
    opt.setNeighbors(0, 1, 1);
    opt.setDataCost(data.data());
    opt.setSmoothCost(smooth.data());
    // The watcher hears the starting energy, then each iteration's.
    std::vector<std::pair<int, int>> heard, expected = {{0, 2}, {1, 0}, {2, 0}};
    opt.setIterationCallback(
        [](int iteration, int energy, void* extra) {
          static_cast<std::vector<std::pair<int, int>>*>(extra)->push_back({iteration, energy});
        },
        &heard);
    EXPECT_EQ((opt.*loop)(limits[k]), iterations[k] ? 0 : 2);
    EXPECT_EQ(opt.ready_calls, 1 + iterations[k] * (moves_per_iteration + 1));
    expected.resize(1 + iterations[k]);
    EXPECT_EQ(heard, expected);
  }
}

// Logs every cost evaluation; the data cost is 0 for the wanted label only.
struct LoggingCosts : GCoptimization::DataCostFunctor, GCoptimization::SmoothCostFunctor {
  std::vector<std::string> log;
  std::vector<int> wanted = {2, 0, 0};
  int computeCost(int s, int l) override {
    log.push_back("D" + std::to_string(s) + std::to_string(l));
    return l == wanted[s] ? 0 : 9;
  }
  int computeCost(int s1, int s2, int l1, int l2) override {
    log.push_back("V" + std::to_string(s1) + std::to_string(s2) + std::to_string(l1) +
                  std::to_string(l2));
    return l1 == l2 ? 0 : 1;
  }
};

// Three sites, every pair joined, brought to labels {2, 0, 0} by one
// expansion; the log starts empty.
struct LoggedTriangle {
  LoggingCosts costs;
  Optimizer opt{3, 3};
  LoggedTriangle() {
    opt.setDataCostFunctor(&costs);
    opt.setSmoothCostFunctor(&costs);
    opt.setNeighbors(0, 1, 1);
    opt.setNeighbors(1, 2, 1);
    opt.setNeighbors(0, 2, 1);
    opt.alpha_expansion(2);
    costs.log.clear();
  }
};

}  // namespace reference

#endif  // TESTS_OPTIMIZER_REFERENCE_H_
