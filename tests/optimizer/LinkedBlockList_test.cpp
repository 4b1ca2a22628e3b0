// LinkedBlockList: front insertion in blocks of four and the scan order.
#include "optimizer/LinkedBlockList.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<void*> scan(LinkedBlockList& list) {
  std::vector<void*> out;
  for (list.rewind(); list.hasNext();) out.push_back(list.next());
  return out;
}

TEST(LinkedBlockListTest, EmptyListHasNothingToScan) {
  LinkedBlockList list;
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(scan(list).empty());
}

// Newest block first, each block in insertion order: a1..a6 reads a5 a6 a1..a4.
TEST(LinkedBlockListTest, ScansNewestBlockFirstInInsertionOrder) {
  int items[13];
  for (int n = 1; n <= 13; n++) {
    LinkedBlockList list;
    for (int k = 0; k < n; k++) list.addFront(&items[k]);
    std::vector<void*> expected;
    for (int block = (n - 1) / 4; block >= 0; block--)
      for (int k = 4 * block; k < n && k < 4 * block + 4; k++) expected.push_back(&items[k]);
    EXPECT_FALSE(list.empty());
    EXPECT_EQ(scan(list), expected) << n << " items";
    EXPECT_EQ(scan(list), expected) << "a second scan of " << n << " items";
  }
}

}  // namespace
