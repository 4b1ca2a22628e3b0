#include "app/segmentation/costLimit.h"

#include <algorithm>
#include <cassert>
#include <vector>

#include "app/segmentation/parallel.h"

namespace {

// The costs limiting reads and changes, and the values the budget counts:
// each free site's largest data cost once, each weight as often as its
// multiplicity; a hard site counts 1 on its own (offset), its derived
// cost's weights through theirs. The entries: site s is entry s, weight k
// entry numSites + k.
struct Budgeted {
  int* dataCosts;
  int numSites;
  int numLabels;
  int* weights;
  long long numPairs;
  const unsigned char* hard;          // or null
  const unsigned char* multiplicity;  // or null
  long long offset;                   // the number of hard sites

  long long entries() const { return numSites + numPairs; }
};

// What a pass over the entries found: the changes it made, and per slot the
// count and the sum of the values placed there.
struct Pass {
  long long changedWeights = 0;
  long long changedDataCosts = 0;
  std::vector<long long> count, sum;
};

// One pass over every entry, on every core: `change` (which returns whether
// it changed the cost) is applied to each cost that limiting may change (a
// free site's data costs, every weight), then each budgeted value v,
// counted m times, is placed by slot(v, value), which gives its slot among
// `slots` (or -1: none) and sets the value to sum there. Each part counts
// into a Pass of its own; the parts are added up in order. With `runs`
// (slots that most values share with the one before, as the buckets),
// each run of one slot is counted and summed in registers and added to the
// slot once it ends, rather than through memory value by value.
template <typename Change, typename Slot>
Pass pass(const Budgeted& b, Change change, Slot slot, size_t slots, bool runs) {
  std::vector<Pass> parts(partsOf(b.entries()));
  forEachPart(b.entries(), [&](int k, long long begin, long long end) {
    Pass& part = parts[k];
    part.count.assign(slots, 0);
    part.sum.assign(slots, 0);
    // Copied, so that the loops keep them in registers instead of reading
    // them again after every store.
    const bool byRuns = runs;
    const Budgeted entries = b;
    long long run = -1, runCount = 0, runSum = 0;
    auto flush = [&] {
      if (run >= 0) part.count[run] += runCount, part.sum[run] += runSum;
    };
    auto place = [&](int v, int m) {
      long long value;
      const long long at = slot(v, value);
      if (at < 0) return;
      if (!byRuns) {
        part.count[at] += m;
        part.sum[at] += m * value;
        return;
      }
      if (at != run) {
        flush();
        run = at, runCount = 0, runSum = 0;
      }
      runCount += m;
      runSum += m * value;
    };
    for (long long s = begin; s < end && s < entries.numSites; ++s) {
      if (entries.hard != nullptr && entries.hard[s]) continue;
      int* row = entries.dataCosts + s * entries.numLabels;
      int largest = 0;
      for (int l = 0; l < entries.numLabels; ++l) {
        part.changedDataCosts += change(row[l]);
        if (l == 0 || row[l] > largest) largest = row[l];
      }
      place(largest, 1);
    }
    for (long long i = std::max<long long>(begin, entries.numSites); i < end; ++i) {
      const long long k = i - entries.numSites;
      part.changedWeights += change(entries.weights[k]);
      place(entries.weights[k], entries.multiplicity != nullptr ? entries.multiplicity[k] : 1);
    }
    flush();
  });
  Pass total;
  total.count.assign(slots, 0);
  total.sum.assign(slots, 0);
  for (const Pass& part : parts) {
    total.changedWeights += part.changedWeights;
    total.changedDataCosts += part.changedDataCosts;
    for (size_t i = 0; i < slots; ++i) total.count[i] += part.count[i], total.sum[i] += part.sum[i];
  }
  return total;
}

// The largest cap c in [0, kCostBudget] whose total, the offset plus the
// sum over the budgeted values v of m * min(v, c), is at most kCostBudget,
// or -1 when the total without a cap is within the budget. Costs are
// non-negative here. The total grows with c, so the cap is found by
// counting rather than by trying caps one pass each: `buckets` holds the
// values counted and summed in buckets of kWidth (bucketsOf), which locates
// the bucket where the total passes the budget (or shows that it never
// does), and a second pass counts the values within that bucket one by
// one. Values above the budget behave as kCostBudget + 1 for every cap in
// range, so they are counted as that; sums are 64-bit (at most 3 * 2^32
// values of at most 2^29 + 1).
const int kShift = 15;
const long long kWidth = 1LL << kShift;
const long long kTop = kCostBudget + 1;
long long bucketOf(int v, long long& value) {
  value = v < kTop ? v : kTop;
  return value >> kShift;
}
const size_t kBuckets = (kTop >> kShift) + 1;

int largestCapWithinBudget(const Budgeted& budgeted, const Pass& buckets) {
  long long values = 0, all = budgeted.offset;
  for (size_t i = 0; i < kBuckets; ++i) values += buckets.count[i], all += buckets.sum[i];
  if (all <= kCostBudget) return -1;
  // total(c) = offset + (sum of the values below c) + c * (how many are not).
  auto total = [&](long long c, long long sumBelow, long long countBelow) {
    return budgeted.offset + sumBelow + c * (values - countBelow);
  };
  const std::vector<long long>& count = buckets.count;
  const std::vector<long long>& sum = buckets.sum;
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
  const std::vector<long long> within =
      pass(budgeted, [](int&) { return false; },
           [first](int v, long long& value) {
             value = 0;
             return v >= first && v < first + kWidth ? v - first : -1;
           },
           kWidth, false)
          .count;
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

// Three passes at most: the first makes negative costs 0 and counts the
// values in buckets (which also gives the total), the second (only with a
// cap) the values of the cap's bucket, the third lowers the costs above it.
CostLimit limitCostsWithHardSites(int* dataCosts, int numSites, int numLabels, int* weights,
                                  long long numPairs, const unsigned char* hard,
                                  const unsigned char* multiplicity) {
  assert((hard == nullptr) == (multiplicity == nullptr));
  Budgeted budgeted = {dataCosts, numSites, numLabels, weights, numPairs, hard, multiplicity, 0};
  for (int s = 0; hard != nullptr && s < numSites; ++s) budgeted.offset += hard[s] != 0;
  assert(budgeted.offset <= kCostBudget);
  const Pass buckets = pass(
      budgeted,
      [](int& cost) {
        if (cost >= 0) return false;
        cost = 0;
        return true;
      },
      [](int v, long long& value) { return bucketOf(v, value); }, kBuckets, true);
  CostLimit limit = {buckets.changedWeights, buckets.changedDataCosts, -1};
  limit.cap = largestCapWithinBudget(budgeted, buckets);
  if (limit.cap < 0) return limit;
  const Pass lowered = pass(
      budgeted,
      [cap = limit.cap](int& cost) {
        if (cost <= cap) return false;
        cost = cap;
        return true;
      },
      [](int, long long&) { return -1LL; }, 0, false);
  limit.changedWeights += lowered.changedWeights;
  limit.changedDataCosts += lowered.changedDataCosts;
  return limit;
}
