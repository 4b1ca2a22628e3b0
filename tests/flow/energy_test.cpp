// Binary energies: how terms map onto the graph, and random regular energies
// checked against enumeration of every assignment.
#include "flow/energy.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <vector>

#include "tests/flow/flow_check.h"

namespace {

TEST(EnergyTerms, PairwiseTermWithNegativeBBecomesTerminalsAndOneArc) {
  Energy e;
  void* x = e.add_node();
  void* y = e.add_node();
  e.add_term2(x, y, 5, 1, 7, 2);
  EXPECT_EQ(GraphTestAccess::total_flow(e), 1);
  EXPECT_EQ(GraphTestAccess::term_cap(x), 1);
  EXPECT_EQ(GraphTestAccess::term_cap(y), -4);
  EXPECT_EQ(e.maxflow(), 1);
  EXPECT_EQ(e.what_segment(x), 0);
  EXPECT_EQ(e.what_segment(y), 1);
}

TEST(EnergyTerms, ArcCapacitiesOfEachCase) {
  struct Case {
    int a, b, c, d;
    int cap, rev_cap, constant, term_x, term_y;
  };
  const Case cases[] = {
      {0, 3, 4, 0, 3, 4, 0, 0, 0},    // no terminal change
      {5, 1, 7, 2, 0, 1, 1, 1, -4},   // B - A < 0
      {0, 6, 1, 3, 4, 0, 0, 1, 2},    // C - D < 0
      {3, 3, 3, 3, 0, 0, 3, 0, 0},    // still one arc, of capacities 0 and 0
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(::testing::Message() << "E = " << k.a << " " << k.b << " " << k.c << " " << k.d);
    Energy e;
    void* x = e.add_node();
    void* y = e.add_node();
    e.add_term2(x, y, k.a, k.b, k.c, k.d);
    EXPECT_EQ(GraphTestAccess::total_flow(e), k.constant);
    EXPECT_EQ(GraphTestAccess::term_cap(x), k.term_x);
    EXPECT_EQ(GraphTestAccess::term_cap(y), k.term_y);
    GraphTestAccess::layout(e);
    auto arcs = GraphTestAccess::out_arcs(x);
    ASSERT_EQ(arcs.size(), 1u);
    EXPECT_EQ(arcs[0].head, y);
    EXPECT_EQ(arcs[0].res_cap, k.cap);
    EXPECT_EQ(arcs[0].res_rev_cap, k.rev_cap);
  }
}

TEST(EnergyTerms, UnaryTermWithEqualValuesOnlyAddsAConstantAndReadsOne) {
  Energy e;
  void* x = e.add_node();
  e.add_tweights(x, 4, 4);
  EXPECT_EQ(GraphTestAccess::term_cap(x), 0);
  EXPECT_EQ(e.maxflow(), 4);
  EXPECT_EQ(e.what_segment(x), 1);
}

TEST(EnergyTermsDeathTest, NonRegularTermFailsTheAssertion) {
  EXPECT_DEATH(
      {
        Energy e;
        void* x = e.add_node();
        void* y = e.add_node();
        e.add_term2(x, y, 3, 0, 0, 3);
      },
      "B \\+ C >= 0");
}

// E(x) = sum of unary[v][x_v] + sum over terms of E_t(x_u, x_w).
struct RandomEnergy {
  struct Term {
    int u, w, a, b, c, d;
  };
  int vars;
  std::vector<std::vector<int>> unary;
  std::vector<Term> terms;

  int64_t value(unsigned assignment) const {
    int64_t total = 0;
    auto bit = [&](int v) { return (assignment >> v) & 1u; };
    for (int v = 0; v < vars; ++v) total += unary[v][bit(v)];
    for (const Term& t : terms) {
      const int table[2][2] = {{t.a, t.b}, {t.c, t.d}};
      total += table[bit(t.u)][bit(t.w)];
    }
    return total;
  }
};

RandomEnergy random_energy(std::mt19937& rng) {
  auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
  RandomEnergy en;
  en.vars = pick(1, 10);
  const int range = pick(0, 1) ? 3 : 50;  // small ranges make ties frequent
  for (int v = 0; v < en.vars; ++v) en.unary.push_back({pick(-range, range), pick(-range, range)});
  for (int k = pick(0, 3 * en.vars); k > 0; --k) {
    RandomEnergy::Term t;
    t.u = pick(0, en.vars - 1);
    do {
      t.w = pick(0, en.vars - 1);
    } while (en.vars > 1 && t.w == t.u);
    if (t.w == t.u) continue;
    t.a = pick(-range, range);
    t.d = pick(-range, range);
    t.b = pick(-range, range);
    // Regular: A + D <= B + C.
    t.c = t.a + t.d - t.b + pick(0, range);
    en.terms.push_back(t);
  }
  return en;
}

TEST(EnergyRandom, MinimumAndVariablesFixedInEveryMinimiserMatchEnumeration) {
  const uint32_t base_seed = 777;
  std::printf("random energies: base seed %u\n", base_seed);
  for (int k = 0; k < 3000; ++k) {
    const uint32_t seed = base_seed + static_cast<uint32_t>(k);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    RandomEnergy en = random_energy(rng);

    Energy e;
    std::vector<void*> x;
    for (int v = 0; v < en.vars; ++v) {
      x.push_back(e.add_node());
      e.add_tweights(x[v], en.unary[v][1], en.unary[v][0]);
    }
    for (const auto& t : en.terms) e.add_term2(x[t.u], x[t.w], t.a, t.b, t.c, t.d);
    int minimum = e.maxflow();

    int64_t best = INT64_MAX;
    unsigned zero_in_all = (1u << en.vars) - 1;  // variables 0 in every minimiser
    for (unsigned s = 0; s < (1u << en.vars); ++s) {
      int64_t v = en.value(s);
      if (v < best) {
        best = v;
        zero_in_all = ~s & ((1u << en.vars) - 1);
      } else if (v == best) {
        zero_in_all &= ~s;
      }
    }
    ASSERT_EQ(minimum, best);
    for (int v = 0; v < en.vars; ++v) {
      ASSERT_EQ(e.what_segment(x[v]), ((zero_in_all >> v) & 1u) ? 0 : 1) << "variable " << v;
    }
  }
}

}  // namespace
