// The per-voxel stages on every core: a range of work split into contiguous
// parts (forEachPart), or a few tasks (runTasks, as reading files), each run
// on its own thread (the first on the caller's).
//
// Exactness: parts write disjoint elements (each its range's, or what its
// range's elements alone determine), and results gathered over a range
// (counts, integer sums) are combined part by part in range order, so that
// no result depends on how the range was split; the callers'
// floating-point work is per element. Ranges under kMinPart elements per
// part are not split, so small volumes run on one thread. An exception
// thrown by a part or task is rethrown in the caller once every one has
// ended, the one of the earliest.
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

// Each task beyond the first runs on a thread with a small stack: tasks are
// loops (or a file's reading), and under an address-space limit (ulimit
// -v) a default 8 MB stack per thread would be memory the run itself
// cannot have.
const size_t kTaskStack = 1 << 20;

// How many tasks runTasks runs at once: one per core, at least two (so that
// the split is the same code everywhere).
inline int coresForTasks() { return static_cast<int>(std::max(2u, std::thread::hardware_concurrency())); }

// Runs task(k) for k = 0 ... tasks - 1 at once, task 0 on the caller's
// thread (and any for which no thread can be had), and returns once all
// have ended; then rethrows the exception of the earliest task that threw.
template <typename Task>
void runTasks(int tasks, Task task) {
  if (tasks == 1) {
    task(0);
    return;
  }
  struct Run {
    Task* task;
    int k;
    std::exception_ptr failed;
    static void* main(void* self) {
      Run& run = *static_cast<Run*>(self);
      try {
        (*run.task)(run.k);
      } catch (...) {
        run.failed = std::current_exception();
      }
      return nullptr;
    }
  };
  std::vector<Run> runs(tasks);
  std::vector<pthread_t> threads(tasks);
  std::vector<bool> started(tasks, false);
  pthread_attr_t attributes;
  const bool small = pthread_attr_init(&attributes) == 0;
  if (small) pthread_attr_setstacksize(&attributes, kTaskStack);
  for (int k = 0; k < tasks; ++k) {
    runs[k] = {&task, k, nullptr};
    started[k] = k > 0 && pthread_create(&threads[k], small ? &attributes : nullptr, Run::main,
                                         &runs[k]) == 0;
  }
  if (small) pthread_attr_destroy(&attributes);
  for (int k = 0; k < tasks; ++k)
    if (!started[k]) Run::main(&runs[k]);
  for (int k = 1; k < tasks; ++k)
    if (started[k]) pthread_join(threads[k], nullptr);
  for (const Run& run : runs)
    if (run.failed) std::rethrow_exception(run.failed);
}

// How many parts forEachPart makes of `count` elements: one per task that
// runs at once, and at most one per kMinPart elements.
inline int partsOf(long long count) {
  return static_cast<int>(std::max(1LL, std::min<long long>(coresForTasks(), count / kMinPart)));
}

// Calls part(k, begin, end) for the partsOf(count) parts k of [0, count),
// at once (runTasks), each range [begin, end) about count / parts long.
template <typename Part>
void forEachPart(long long count, Part part) {
  const int parts = partsOf(count);
  runTasks(parts, [&](int k) { part(k, count * k / parts, count * (k + 1) / parts); });
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
