// LinkedBlockList: a list of untyped pointers that grows at the front in
// blocks of four items and is read from front to back with a cursor. Its
// scan order is the order in which the general neighbourhood packs each
// site's entries (optimizer/GCgeneralGraph.h).
//
// Invariant: only the newest block (`first_block`) may be partly filled; every
// older block holds exactly ITEMS_PER_BLOCK items. Scan order is the newest
// block first, then older blocks, each block's items in insertion order.
// Cost: one allocation per four items; addFront, hasNext and next are O(1).
// The list owns its blocks, never the items it stores.
#ifndef OPTIMIZER_LINKEDBLOCKLIST_H_
#define OPTIMIZER_LINKEDBLOCKLIST_H_

class LinkedBlockList {
 public:
  static const int ITEMS_PER_BLOCK = 4;

  struct ItemBlock {
    void* items[ITEMS_PER_BLOCK];
    ItemBlock* next_block;  // the block that was newest before this one
  };

  LinkedBlockList()
      : first_block(nullptr), first_count(ITEMS_PER_BLOCK), scan_index(0), scan_block(nullptr) {}
  ~LinkedBlockList();
  LinkedBlockList(const LinkedBlockList&) = delete;
  LinkedBlockList& operator=(const LinkedBlockList&) = delete;

  // Stores one item at the front. A failed block allocation prints
  // "\nOut of memory" and ends the process with status 1.
  void addFront(void* item) {
    if (first_count == ITEMS_PER_BLOCK) openBlock();
    first_block->items[first_count++] = item;
  }

  bool empty() const { return first_block == nullptr; }

  // A scan: rewind, then next while hasNext. Adding during a scan is not
  // supported.
  void rewind() {
    scan_block = first_block;
    scan_index = 0;
  }
  bool hasNext() const { return scan_block != nullptr; }
  void* next() {
    void* item = scan_block->items[scan_index++];
    // The newest block ends at first_count, every older one at ITEMS_PER_BLOCK.
    if ((scan_block == first_block && scan_index == first_count) ||
        scan_index == ITEMS_PER_BLOCK) {
      scan_block = scan_block->next_block;
      scan_index = 0;
    }
    return item;
  }

 private:
  // Links a new, empty block in front (out of line: it runs once per four
  // items and holds the failure path).
  void openBlock();

  ItemBlock* first_block;   // newest block; null while the list is empty
  signed char first_count;  // items used in first_block, 1..4; 4 when empty
  signed char scan_index;   // index of the next item within scan_block
  ItemBlock* scan_block;    // block of the next item; null when the scan is over
};

#endif  // OPTIMIZER_LINKEDBLOCKLIST_H_
