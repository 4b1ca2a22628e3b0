// The item pool, and the engine's handling of exhausted memory. This file
// replaces the array forms of the global allocation operators for the whole
// test program so that it can count the engine's allocations (all of them
// nothrow new[]) and make them fail on demand.
#include "flow/block.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "flow/energy.h"
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

void print_error(char* msg) { std::fprintf(stderr, "error: %s\n", msg); }

TEST(DBlock, AllocatesOneBlockPerItemsPerBlockItemsInUse) {
  int before = nothrow_allocations;
  {
    DBlock<Item> unused(128);
  }
  DBlock<Item> pool(128);
  EXPECT_EQ(nothrow_allocations, before);
  Item* first = pool.New();
  EXPECT_EQ(nothrow_allocations, before + 1);
  Item* prev = first;
  for (int k = 1; k < 128; ++k) {
    Item* it = pool.New();
    EXPECT_EQ(it, prev + 1) << "fresh items come in address order";
    prev = it;
  }
  EXPECT_EQ(nothrow_allocations, before + 1);
  Item* second_block = pool.New();
  EXPECT_EQ(nothrow_allocations, before + 2);
  EXPECT_TRUE(second_block < first || second_block > prev);
  EXPECT_EQ(pool.New(), second_block + 1);
}

TEST(DBlock, ReleasedItemsComeBackLastInFirstOut) {
  DBlock<Item> pool(4);
  Item* a = pool.New();
  Item* b = pool.New();
  pool.Release(a);
  pool.Release(b);
  EXPECT_EQ(pool.New(), b);
  EXPECT_EQ(pool.New(), a);
  int before = nothrow_allocations;
  pool.New();
  pool.New();
  EXPECT_EQ(nothrow_allocations, before) << "released items are reused before a new block";
}

TEST(OutOfMemoryDeathTest, EveryEngineAllocationReportsAndExitsWithStatus1) {
  const char* msg = "^error: Not enough memory!\n$";
  EXPECT_EXIT(
      {
        DBlock<Item> pool(8, print_error);
        fail_nothrow_allocations = true;
        pool.New();
      },
      ::testing::ExitedWithCode(1), msg);
  EXPECT_EXIT(
      {
        Graph g(print_error);
        fail_nothrow_allocations = true;
        g.add_node();
      },
      ::testing::ExitedWithCode(1), msg);
  EXPECT_EXIT(
      {
        Graph g(print_error);
        void* a = g.add_node();
        void* b = g.add_node();
        fail_nothrow_allocations = true;
        g.add_edge(a, b, 1, 1);
      },
      ::testing::ExitedWithCode(1), msg);
  // Orphan entries are needed once an augmentation saturates a tree link
  // (here a -> c); the layout has allocated nothing new before.
  EXPECT_EXIT(
      {
        Graph g(print_error);
        void* a = g.add_node();
        void* b = g.add_node();
        void* c = g.add_node();
        g.add_tweights(a, 3, 0);
        g.add_tweights(b, 0, 3);
        g.add_edge(a, c, 1, 0);
        g.add_edge(c, b, 5, 0);
        fail_nothrow_allocations = true;
        g.maxflow();
      },
      ::testing::ExitedWithCode(1), msg);
  EXPECT_EXIT(
      {
        Energy e;
        fail_nothrow_allocations = true;
        e.add_node();
      },
      ::testing::ExitedWithCode(1), "^$");
}

}  // namespace
