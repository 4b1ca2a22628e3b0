#include "app/costLimit.h"

namespace {

// Number of entries of `costs` that are negative, each set to 0.
long long zeroNegatives(int* costs, long long count) {
  long long changed = 0;
  for (long long i = 0; i < count; ++i) {
    if (costs[i] < 0) {
      costs[i] = 0;
      ++changed;
    }
  }
  return changed;
}

// Number of entries of `costs` above `cap`, each lowered to it.
long long lowerTo(int cap, int* costs, long long count) {
  long long changed = 0;
  for (long long i = 0; i < count; ++i) {
    if (costs[i] > cap) {
      costs[i] = cap;
      ++changed;
    }
  }
  return changed;
}

// The budgeted total with every cost above `cap` lowered to it, in 64 bits
// (at most about 2^31 sites and 2^31 pairs of at most 2^31 each); stops
// counting once it exceeds the budget. Costs are non-negative here.
long long cappedTotal(long long cap, const int* dataCosts, int numSites, int numLabels,
                      const int* weights, long long numPairs) {
  long long total = 0;
  for (int s = 0; s < numSites; ++s) {
    const int* row = dataCosts + static_cast<long long>(s) * numLabels;
    int largest = row[0];
    for (int l = 1; l < numLabels; ++l)
      if (row[l] > largest) largest = row[l];
    total += largest < cap ? largest : cap;
  }
  for (long long i = 0; i < numPairs && total <= kCostBudget; ++i)
    total += weights[i] < cap ? weights[i] : cap;
  return total;
}

}  // namespace

CostLimit limitCosts(int* dataCosts, int numSites, int numLabels, int* weights,
                     long long numPairs) {
  long long numDataCosts = static_cast<long long>(numSites) * numLabels;
  CostLimit limit = {zeroNegatives(weights, numPairs), zeroNegatives(dataCosts, numDataCosts), -1};
  const long long noCap = 1LL << 31;  // above every int: lowers nothing
  if (cappedTotal(noCap, dataCosts, numSites, numLabels, weights, numPairs) <= kCostBudget)
    return limit;
  // The total grows with the cap and is 0 at cap 0: find the largest cap in
  // [0, budget] whose total stays within the budget.
  long long low = 0, high = kCostBudget;
  while (low < high) {
    long long middle = low + (high - low + 1) / 2;
    if (cappedTotal(middle, dataCosts, numSites, numLabels, weights, numPairs) <= kCostBudget)
      low = middle;
    else
      high = middle - 1;
  }
  limit.cap = static_cast<int>(low);
  limit.changedWeights += lowerTo(limit.cap, weights, numPairs);
  limit.changedDataCosts += lowerTo(limit.cap, dataCosts, numDataCosts);
  return limit;
}
