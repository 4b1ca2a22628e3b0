#include "app/segmentation/costLimit.h"

#include <algorithm>
#include <cassert>
#include <vector>

#include "app/segmentation/parallel.h"

namespace {

// Applies `change` (which returns whether it changed the value) to every
// one of `count` weights, on every core; the number changed.
template <typename Change>
long long changeWeights(int* weights, long long count, Change change) {
  return sumOfParts(count, [&](long long begin, long long end) {
    long long changed = 0;
    for (long long i = begin; i < end; ++i) changed += change(weights[i]);
    return changed;
  });
}

// The same for the data costs of every site that is not hard (`hard` may
// be null): a hard site's costs are the caller's to set.
template <typename Change>
long long changeDataCosts(int* dataCosts, int numSites, int numLabels, const unsigned char* hard,
                          Change change) {
  return sumOfParts(numSites, [&](long long begin, long long end) {
    long long changed = 0;
    for (long long s = begin; s < end; ++s) {
      if (hard != nullptr && hard[s]) continue;
      int* row = dataCosts + s * numLabels;
      for (int l = 0; l < numLabels; ++l) changed += change(row[l]);
    }
    return changed;
  });
}

// A negative cost becomes 0.
bool zeroIfNegative(int& cost) {
  if (cost >= 0) return false;
  cost = 0;
  return true;
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

  // The entries: site s's largest data cost is entry s, weight k entry
  // numSites + k.
  long long entries() const { return numSites + numPairs; }

  // Calls visit(v, m) for every value v counted m times among the entries
  // [begin, end). Costs are non-negative here.
  template <typename Visit>
  void forEach(long long begin, long long end, Visit visit) const {
    for (long long s = begin; s < end && s < numSites; ++s) {
      if (hard != nullptr && hard[s]) continue;
      const int* row = dataCosts + s * numLabels;
      int largest = row[0];
      for (int l = 1; l < numLabels; ++l)
        if (row[l] > largest) largest = row[l];
      visit(largest, 1);
    }
    for (long long i = std::max<long long>(begin, numSites); i < end; ++i) {
      const long long k = i - numSites;
      visit(weights[k], multiplicity != nullptr ? multiplicity[k] : 1);
    }
  }

  // Counts the values (each m times) into `count` and sums them into `sum`
  // by slot: slot(v, value) gives the slot of v (or -1: none) and sets the
  // value to sum. Each part counts into arrays of its own, added up in part
  // order.
  template <typename Slot>
  void histogram(std::vector<long long>& count, std::vector<long long>& sum, Slot slot) const {
    const int parts = partsOf(entries());
    std::vector<std::vector<long long>> counts(parts, std::vector<long long>(count.size())),
        sums(parts, std::vector<long long>(sum.size()));
    forEachPart(entries(), [&](int k, long long begin, long long end) {
      std::vector<long long>& c = counts[k];
      std::vector<long long>& t = sums[k];
      forEach(begin, end, [&](int v, int m) {
        long long value;
        const long long at = slot(v, value);
        if (at < 0) return;
        c[at] += m;
        t[at] += m * value;
      });
    });
    for (int k = 0; k < parts; ++k)
      for (size_t i = 0; i < count.size(); ++i) count[i] += counts[k][i], sum[i] += sums[k][i];
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
  budgeted.histogram(count, sum, [top](int v, long long& value) {
    value = v < top ? v : top;
    return value >> kShift;
  });
  long long values = 0;
  for (long long c : count) values += c;
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
  std::vector<long long> within(kWidth), unused(kWidth);
  budgeted.histogram(within, unused, [first, kWidth](int v, long long& value) {
    value = 0;
    return v >= first && v < first + kWidth ? v - first : -1;
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
  CostLimit limit = {changeWeights(weights, numPairs, zeroIfNegative),
                     changeDataCosts(dataCosts, numSites, numLabels, hard, zeroIfNegative), -1};
  // Of the values, each counted at most as budget + 1.
  const long long total =
      budgeted.offset + sumOfParts(budgeted.entries(), [&](long long begin, long long end) {
        long long part = 0;
        budgeted.forEach(begin, end, [&](int v, int m) {
          part += m * (v <= kCostBudget ? v : kCostBudget + 1);
        });
        return part;
      });
  if (total <= kCostBudget) return limit;
  limit.cap = largestCapWithinBudget(budgeted);
  auto lower = [cap = limit.cap](int& cost) {
    if (cost <= cap) return false;
    cost = cap;
    return true;
  };
  limit.changedWeights += changeWeights(weights, numPairs, lower);
  limit.changedDataCosts += changeDataCosts(dataCosts, numSites, numLabels, hard, lower);
  return limit;
}
