// Binary energies: random regular energies checked against enumeration of
// every assignment, and the refusal of a non-regular term.
#include "flow/energy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>


namespace {

TEST(EnergyTermsDeathTest, NonRegularTermFailsTheAssertion) {
  Energy e;
  void* x = e.add_node();
  void* y = e.add_node();
  EXPECT_DEATH(e.add_term2(x, y, 3, 0, 0, 3), "B \\+ C >= 0");
}

TEST(EnergyRandom, MinimumAndVariablesFixedInEveryMinimiserMatchEnumeration) {
  const uint32_t base_seed = 777;
  std::printf("random energies: base seed %u\n", base_seed);
  for (uint32_t k = 0; k < 3000 && !::testing::Test::HasFailure(); ++k) {
    SCOPED_TRACE("seed " + std::to_string(base_seed + k));
    std::mt19937 rng(base_seed + k);
    auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
    const int vars = pick(1, 10), range = pick(0, 1) ? 3 : 50;  // small ranges make ties
    // Unary terms E(0), E(1), then pairwise terms u, w, E(0,0), E(0,1),
    // E(1,0), E(1,1) with A + D <= B + C; some variables have no term at all.
    std::vector<std::vector<int>> unary, pair;
    for (int v = 0; v < vars; ++v) unary.push_back({pick(-range, range), pick(-range, range)});
    for (int t = vars > 1 ? pick(0, 3 * vars) : 0; t > 0; --t) {
      int u = pick(0, vars - 1), w = (u + pick(1, vars - 1)) % vars;
      int a = pick(-range, range), b = pick(-range, range), d = pick(-range, range);
      pair.push_back({u, w, a, b, a + d - b + pick(0, range), d});
    }
    Energy e;
    std::vector<void*> x;
    for (int v = 0; v < vars; ++v) {
      x.push_back(e.add_node());
      e.add_tweights(x[v], unary[v][1], unary[v][0]);
    }
    for (const auto& t : pair) e.add_term2(x[t[0]], x[t[1]], t[2], t[3], t[4], t[5]);
    const int minimum = e.maxflow();

    int64_t best = INT64_MAX;
    const unsigned all = (1u << vars) - 1;
    unsigned zero_in_all = all;  // variables 0 in every minimiser
    for (unsigned s = 0; s <= all; ++s) {
      int64_t value = 0;
      for (int v = 0; v < vars; ++v) value += unary[v][(s >> v) & 1];
      for (const auto& t : pair) value += t[2 + 2 * ((s >> t[0]) & 1) + ((s >> t[1]) & 1)];
      if (value < best) zero_in_all = all;
      if (value <= best) best = value, zero_in_all &= ~s;
    }
    ASSERT_EQ(minimum, best);
    for (int v = 0; v < vars; ++v) ASSERT_EQ(e.what_segment(x[v]), (zero_in_all >> v) & 1 ? 0 : 1) << v;
  }
}

}  // namespace
