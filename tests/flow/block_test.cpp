// The item pool, and the engine's handling of exhausted memory. This file
// replaces the array forms of the global allocation operators for the whole
// test program, so that it can count the engine's allocations (all of them
// nothrow new[]) and make them fail on demand.
#include "flow/block.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "flow/graph.h"

namespace {
int nothrow_allocations = 0;
bool fail_nothrow_allocations = false;
}  // namespace

void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  if (fail_nothrow_allocations) return nullptr;
  ++nothrow_allocations;
  return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

struct Item {
  void* a;
  int b;
};

TEST(DBlock, AllocatesBlocksOnlyWhenNoItemIsFreeAndReusesLastReleasedFirst) {
  const int before = nothrow_allocations;
  DBlock<Item> pool(128);
  EXPECT_EQ(nothrow_allocations, before);
  Item* first = pool.New();
  Item* last = first;
  for (int k = 1; k < 128; ++k) EXPECT_EQ(pool.New(), ++last) << "fresh items come in address order";
  EXPECT_EQ(nothrow_allocations, before + 1);
  Item* second_block = pool.New();
  EXPECT_EQ(nothrow_allocations, before + 2);
  EXPECT_TRUE(second_block < first || second_block > last);
  pool.Release(first);
  pool.Release(last);
  EXPECT_EQ(pool.New(), last);
  EXPECT_EQ(pool.New(), first);
  EXPECT_EQ(pool.New(), second_block + 1);
  EXPECT_EQ(nothrow_allocations, before + 2);
}

void print_error(char* msg) { std::fprintf(stderr, "error: %s\n", msg); }

// Builds a -> c -> b with a saturating first arc, then fails the allocation
// number `fail_at` (0: the first) from there on. The arcs come with a falling
// tail, so the search starts from a, hangs c under it and orphans c.
void build_and_solve(int fail_at, void (*on_error)(char*)) {
  int budget = fail_at;
  auto step = [&] { fail_nothrow_allocations = budget-- == 0 || fail_nothrow_allocations; };
  Graph g(on_error);
  step();
  void* a = g.add_node();
  void* b = g.add_node();
  void* c = g.add_node();
  g.add_tweights(a, 3, 0);
  g.add_tweights(b, 0, 3);
  step();
  g.add_edge(c, b, 5, 0);
  g.add_edge(a, c, 1, 0);
  step();
  g.maxflow();  // the orphan pool's first block comes with the first orphan
  std::exit(0);
}

TEST(OutOfMemoryDeathTest, EveryEngineAllocationReportsAndExitsWithStatus1) {
  for (int fail_at = 0; fail_at < 3; ++fail_at) {
    EXPECT_EXIT(build_and_solve(fail_at, print_error), ::testing::ExitedWithCode(1),
                "^error: Not enough memory!\n$")
        << "allocation " << fail_at;
  }
  EXPECT_EXIT(build_and_solve(0, nullptr), ::testing::ExitedWithCode(1), "^$");
}

}  // namespace
