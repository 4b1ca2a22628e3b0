// The linked block list on its own: the failure of a block allocation. (Its
// scan order, the newest block first, each block in the order added, is the
// reference of the general neighbourhood's packed-order test, whose
// hand-made case pins that order.) This file replaces the single-object
// allocation operators for the test program, so that a block allocation can
// be made to fail.
#include "optimizer/LinkedBlockList.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

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

// The message goes to standard output; the child sends that to standard
// error, where the death test reads it.
TEST(LinkedBlockListDeathTest, AFailedBlockAllocationPrintsOutOfMemoryAndExitsWith1) {
  auto fill = [] {
    std::fflush(stdout);
    dup2(fileno(stderr), fileno(stdout));
    LinkedBlockList list;
    for (int k = 0; k < 4; k++) list.addFront(nullptr);
    fail_nothrow_new = true;
    list.addFront(nullptr);  // needs a second block
    std::exit(0);
  };
  EXPECT_EXIT(fill(), ::testing::ExitedWithCode(1), "^\nOut of memory$");
}

}  // namespace
