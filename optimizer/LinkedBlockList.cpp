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

void LinkedBlockList::openBlock() {
  ItemBlock* block = new (std::nothrow) ItemBlock;
  if (!block) {
    printf("\nOut of memory");
    exit(1);
  }
  block->next_block = first_block;
  first_block = block;
  first_count = 0;
}
