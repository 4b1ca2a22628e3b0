#include "app/segmentation/costLimit.h"

#include <cassert>
#include <vector>

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

// The values the budget counts, and how often: each free site's largest
// data cost once, each weight as often as its multiplicity; a hard site
// counts 1 on its own (offset), its derived cost's weights through theirs.
struct Budgeted {
  const int* dataCosts;
  int numSites;
  int numLabels;
  const int* weights;
  long long numPairs;
  const unsigned char* hard;          // or null
  const unsigned char* multiplicity;  // or null
  long long offset;                   // the number of hard sites

  // Calls visit(v, m) for every value v counted m times. Costs are
  // non-negative here.
  template <typename Visit>
  void forEach(Visit visit) const {
    for (int s = 0; s < numSites; ++s) {
      if (hard != nullptr && hard[s]) continue;
      const int* row = dataCosts + static_cast<long long>(s) * numLabels;
      int largest = row[0];
      for (int l = 1; l < numLabels; ++l)
        if (row[l] > largest) largest = row[l];
      visit(largest, 1);
    }
    for (long long i = 0; i < numPairs; ++i)
      visit(weights[i], multiplicity != nullptr ? multiplicity[i] : 1);
  }
};

// The largest cap c in [0, kCostBudget] whose total, the offset plus the
// sum over the budgeted values v of m * min(v, c), is at most kCostBudget;
// the caller knows that the total without a cap exceeds it. The total grows
// with c, so the cap is found by counting rather than by trying caps one
// pass each: a first pass counts and sums the values in buckets of kWidth,
// which locates the bucket where the total passes the budget, and a second
// pass counts the values within that bucket one by one. Values above the
// budget behave as kCostBudget + 1 for every cap in range, so they are
// counted as that; sums are 64-bit (at most 3 * 2^32 values of at most
// 2^29 + 1).
int largestCapWithinBudget(const Budgeted& budgeted) {
  const int kShift = 15;
  const long long kWidth = 1LL << kShift;
  const long long top = kCostBudget + 1;
  std::vector<long long> count((top >> kShift) + 1), sum(count.size());
  long long values = 0;
  budgeted.forEach([&](int v, int m) {
    const long long clipped = v < top ? v : top;
    count[clipped >> kShift] += m;
    sum[clipped >> kShift] += m * clipped;
    values += m;
  });
  // total(c) = offset + (sum of the values below c) + c * (how many are not).
  auto total = [&](long long c, long long sumBelow, long long countBelow) {
    return budgeted.offset + sumBelow + c * (values - countBelow);
  };
  long long bucket = 0, sumBelow = 0, countBelow = 0;  // below bucket * kWidth
  while ((bucket + 1) * kWidth <= kCostBudget &&
         total((bucket + 1) * kWidth, sumBelow + sum[bucket], countBelow + count[bucket]) <=
             kCostBudget) {
    sumBelow += sum[bucket];
    countBelow += count[bucket];
    ++bucket;
  }
  // The cap lies in [bucket * kWidth, (bucket + 1) * kWidth): count that
  // bucket's values one by one.
  const long long first = bucket * kWidth;
  std::vector<long long> within(kWidth);
  budgeted.forEach([&](int v, int m) {
    if (v >= first && v < first + kWidth) within[v - first] += m;
  });
  long long cap = first;
  for (long long c = first + 1; c < first + kWidth && c <= kCostBudget; ++c) {
    sumBelow += (c - 1) * within[c - 1 - first];
    countBelow += within[c - 1 - first];
    if (total(c, sumBelow, countBelow) > kCostBudget) break;
    cap = c;
  }
  return static_cast<int>(cap);
}

}  // namespace

CostLimit limitCosts(int* dataCosts, int numSites, int numLabels, int* weights,
                     long long numPairs) {
  return limitCostsWithHardSites(dataCosts, numSites, numLabels, weights, numPairs, nullptr,
                                 nullptr);
}

CostLimit limitCostsWithHardSites(int* dataCosts, int numSites, int numLabels, int* weights,
                                  long long numPairs, const unsigned char* hard,
                                  const unsigned char* multiplicity) {
  assert((hard == nullptr) == (multiplicity == nullptr));
  Budgeted budgeted = {dataCosts, numSites, numLabels, weights, numPairs, hard, multiplicity, 0};
  for (int s = 0; hard != nullptr && s < numSites; ++s) budgeted.offset += hard[s] != 0;
  assert(budgeted.offset <= kCostBudget);
  CostLimit limit = {zeroNegatives(weights, numPairs), 0, -1};
  // A hard site's data costs are the caller's to set: neither zeroed nor
  // capped here, nor counted as changed.
  for (int s = 0; s < numSites; ++s)
    if (hard == nullptr || !hard[s])
      limit.changedDataCosts += zeroNegatives(dataCosts + static_cast<long long>(s) * numLabels,
                                              numLabels);
  long long total = budgeted.offset;  // of the values, each counted at most as budget + 1
  budgeted.forEach([&](int v, int m) { total += m * (v <= kCostBudget ? v : kCostBudget + 1); });
  if (total <= kCostBudget) return limit;
  limit.cap = largestCapWithinBudget(budgeted);
  limit.changedWeights += lowerTo(limit.cap, weights, numPairs);
  for (int s = 0; s < numSites; ++s)
    if (hard == nullptr || !hard[s])
      limit.changedDataCosts +=
          lowerTo(limit.cap, dataCosts + static_cast<long long>(s) * numLabels, numLabels);
  return limit;
}
