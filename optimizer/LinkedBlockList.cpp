#include "optimizer/LinkedBlockList.h"

#include <cstdio>
#include <cstdlib>
#include <new>

LinkedBlockList::~LinkedBlockList() {
  while (first_block) {
    ItemBlock* older = first_block->next_block;
    delete first_block;
    first_block = older;
  }
}

void LinkedBlockList::addFront(void* item) {
  if (first_count == ITEMS_PER_BLOCK) {
    ItemBlock* block = new (std::nothrow) ItemBlock;
    if (!block) {
      printf("\nOut of memory");
      exit(1);
    }
    block->next_block = first_block;
    first_block = block;
    first_count = 0;
  }
  first_block->items[first_count++] = item;
}

void* LinkedBlockList::next() {
  void* item = scan_block->items[scan_index++];
  // The newest block ends at first_count, every older one at ITEMS_PER_BLOCK.
  if ((scan_block == first_block && scan_index == first_count) || scan_index == ITEMS_PER_BLOCK) {
    scan_block = scan_block->next_block;
    scan_index = 0;
  }
  return item;
}
