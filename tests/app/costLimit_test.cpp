// Tests of the cost limiting rule against its plain definition, on random
// costs around the budget.
#include "app/segmentation/costLimit.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Two labels per site, as the driver uses it.
struct Costs {
  std::vector<int> data;
  std::vector<int> weights;
};

// The budgeted total with every cost lowered to `cap`, written plainly.
long long total(const Costs& c, long long cap) {
  long long sum = 0;
  for (size_t s = 0; s < c.data.size(); s += 2)
    sum += std::min<long long>(std::max(c.data[s], c.data[s + 1]), cap);
  for (int w : c.weights) sum += std::min<long long>(w, cap);
  return sum;
}

long long changed(const std::vector<int>& before, const std::vector<int>& after) {
  long long n = 0;
  for (size_t i = 0; i < before.size(); ++i) n += before[i] != after[i];
  return n;
}

}  // namespace

// Random costs around the budget against the plain definition: the cap is
// the largest whose total fits, exactly the costs above it are lowered, and
// the result always fits. Round 0 is exactly at the budget, which is still
// within it: nothing changes, no cap.
TEST(CostLimitTest, RandomCostsMatchTheDefinition) {
  const unsigned seed = 7301;
  std::printf("seed %u\n", seed);
  std::mt19937 random(seed);
  for (int round = 0; round < 300; ++round) {
    // Every 50th round large enough to be split across cores.
    const int size = round % 50 == 1 ? 20000 : 40;
    int sites = 1 + static_cast<int>(random() % size);
    int pairs = static_cast<int>(random() % (2 * size));
    int scale = round % 3 == 0 ? INT_MAX : static_cast<int>(kCostBudget / (1 + random() % 60));
    Costs c;
    // INT_MIN is what a NaN cost converts to.
    for (int i = 0; i < 2 * sites; ++i)
      c.data.push_back(random() % 5 == 0 ? INT_MIN : static_cast<int>(random() % (scale / 2 + 1)));
    for (int i = 0; i < pairs; ++i)
      c.weights.push_back(random() % 7 == 0 ? -static_cast<int>(random() % 100)
                                            : static_cast<int>(random() % (scale / 2 + 1)));
    if (round == 0) c = {{0, static_cast<int>(kCostBudget - 10), 1, 4}, {4, 0, 2}};
    const Costs given = c;
    Costs expected = c;  // negative costs 0, then (below) those above the cap lowered to it
    for (std::vector<int>* costs : {&expected.data, &expected.weights})
      for (int& v : *costs) v = std::max(v, 0);

    CostLimit limit = limitCosts(c.data.data(), static_cast<int>(c.data.size() / 2), 2,
                                 c.weights.data(), static_cast<long long>(c.weights.size()));
    SCOPED_TRACE(round);
    EXPECT_LE(total(c, INT_MAX), kCostBudget);
    if (total(expected, INT_MAX) <= kCostBudget) {
      EXPECT_EQ(limit.cap, -1);
    } else {
      ASSERT_GE(limit.cap, 0);
      EXPECT_LE(total(expected, limit.cap), kCostBudget);
      EXPECT_GT(total(expected, limit.cap + 1LL), kCostBudget);
      for (std::vector<int>* costs : {&expected.data, &expected.weights})
        for (int& v : *costs) v = std::min(v, limit.cap);
    }
    EXPECT_EQ(c.data, expected.data);
    EXPECT_EQ(c.weights, expected.weights);
    EXPECT_EQ(limit.changedDataCosts, changed(given.data, c.data));
    EXPECT_EQ(limit.changedWeights, changed(given.weights, c.weights));
  }
}
