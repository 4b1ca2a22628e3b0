// The per-voxel stages on every core: a range of work split into contiguous
// parts, each run on its own thread (the first on the caller's).
//
// Exactness: parts write disjoint elements (each its range's, or what its
// range's elements alone determine), and results gathered over a range
// (counts, integer sums) are combined part by part in range order, so that
// no result depends on how the range was split; the callers'
// floating-point work is per element. Ranges under kMinPart
// elements per part are not split, so small volumes (and the tests) run on
// one thread. An exception thrown by a part is rethrown in the caller once
// every part has ended, the one of the earliest part.
#ifndef DTICUT_APP_SEGMENTATION_PARALLEL_H
#define DTICUT_APP_SEGMENTATION_PARALLEL_H

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

// The fewest elements worth a thread of their own.
const long long kMinPart = 1 << 13;

// How many parts forEachPart makes of `count` elements: one per core (two
// on a single core, so that the split is the same code everywhere), and at
// most one per kMinPart elements.
inline int partsOf(long long count) {
  const long long cores = std::max(2u, std::thread::hardware_concurrency());
  return static_cast<int>(std::max(1LL, std::min(cores, count / kMinPart)));
}

// Each part beyond the first runs on a thread with a small stack: the parts
// are loops, and under an address-space limit (ulimit -v) a default 8 MB
// stack per thread would be memory the run itself cannot have.
const size_t kPartStack = 256 << 10;

// Calls part(k, begin, end) for the partsOf(count) parts k of [0, count),
// in order of k, each range [begin, end) about count / parts long. A part
// for which no thread can be had runs on the caller's thread.
template <typename Part>
void forEachPart(long long count, Part part) {
  const int parts = partsOf(count);
  if (parts == 1) {
    part(0, 0LL, count);
    return;
  }
  struct Run {
    Part* part;
    int k, parts;
    long long count;
    std::exception_ptr failed;
    static void* main(void* self) {
      Run& run = *static_cast<Run*>(self);
      try {
        (*run.part)(run.k, run.count * run.k / run.parts, run.count * (run.k + 1) / run.parts);
      } catch (...) {
        run.failed = std::current_exception();
      }
      return nullptr;
    }
  };
  std::vector<Run> runs(parts);
  std::vector<pthread_t> threads(parts);
  std::vector<bool> started(parts, false);
  pthread_attr_t attributes;
  const bool small = pthread_attr_init(&attributes) == 0;
  if (small) pthread_attr_setstacksize(&attributes, kPartStack);
  for (int k = 0; k < parts; ++k) {
    runs[k] = {&part, k, parts, count, nullptr};
    started[k] = k > 0 && pthread_create(&threads[k], small ? &attributes : nullptr, Run::main,
                                         &runs[k]) == 0;
  }
  if (small) pthread_attr_destroy(&attributes);
  for (int k = 0; k < parts; ++k)
    if (!started[k]) Run::main(&runs[k]);
  for (int k = 1; k < parts; ++k)
    if (started[k]) pthread_join(threads[k], nullptr);
  for (const Run& run : runs)
    if (run.failed) std::rethrow_exception(run.failed);
}

// The sum over the parts of [0, count) of sum(begin, end), a long long
// each: a count or an integer sum, so exactly that of one pass.
template <typename Sum>
long long sumOfParts(long long count, Sum sum) {
  std::vector<long long> partial(partsOf(count), 0);
  forEachPart(count, [&](int k, long long begin, long long end) { partial[k] = sum(begin, end); });
  long long total = 0;
  for (long long value : partial) total += value;
  return total;
}

#endif  // DTICUT_APP_SEGMENTATION_PARALLEL_H
