// The linked block list on its own: growth in blocks of four at the front,
// the scan order, repeated scans, and the failure of a block allocation.
// (The general neighbourhood packs its pairs in this list's scan order; its
// tests use the list as their reference.) This file replaces the single-object
// allocation operators for the test program, so that a block allocation can
// be made to fail.
#include "optimizer/LinkedBlockList.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

namespace {
bool fail_nothrow_new = false;
}  // namespace

void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  if (fail_nothrow_new) return nullptr;
  return std::malloc(n ? n : 1);
}
void* operator new(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

std::vector<long> scan(LinkedBlockList& list) {
  std::vector<long> items;
  if (list.empty()) return items;
  for (list.rewind(); list.hasNext();) items.push_back(reinterpret_cast<long>(list.next()));
  return items;
}

void addItems(LinkedBlockList& list, long first, long last) {
  for (long k = first; k <= last; k++) list.addFront(reinterpret_cast<void*>(k));
}

TEST(LinkedBlockListTest, ReadsTheNewestBlockFirstEachInTheOrderAdded) {
  LinkedBlockList list;
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(scan(list).empty());
  addItems(list, 1, 4);
  EXPECT_FALSE(list.empty());
  EXPECT_EQ(scan(list), (std::vector<long>{1, 2, 3, 4}));
  EXPECT_FALSE(list.hasNext());
  addItems(list, 5, 6);  // the fifth item opens a second block
  EXPECT_EQ(scan(list), (std::vector<long>{5, 6, 1, 2, 3, 4}));
  EXPECT_FALSE(list.hasNext());
  EXPECT_EQ(scan(list), (std::vector<long>{5, 6, 1, 2, 3, 4})) << "a list can be scanned again";
  addItems(list, 7, 13);
  EXPECT_EQ(scan(list), (std::vector<long>{13, 9, 10, 11, 12, 5, 6, 7, 8, 1, 2, 3, 4}));
}

// The message goes to standard output; the child sends that to standard
// error, where the death test reads it.
TEST(LinkedBlockListDeathTest, AFailedBlockAllocationPrintsOutOfMemoryAndExitsWith1) {
  auto fill = [] {
    std::fflush(stdout);
    dup2(fileno(stderr), fileno(stdout));
    LinkedBlockList list;
    addItems(list, 1, 4);
    fail_nothrow_new = true;
    list.addFront(nullptr);  // needs a second block
    std::exit(0);
  };
  EXPECT_EXIT(fill(), ::testing::ExitedWithCode(1), "^\nOut of memory$");
}

}  // namespace
