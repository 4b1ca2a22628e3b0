// Typed item pool for records that are created and dropped by the thousand
// (the max-flow run's orphan-list entries). Items are carved from blocks of
// `items_per_block` items allocated in bulk; released items go onto a LIFO
// free list. Invariant: every item is either handed out or on the free list,
// and all blocks stay allocated until the pool is destroyed. Cost: New and
// Release are a few pointer moves; the allocator is called once per block.
//
// This header also holds the engine's one failure path, `flow_fatal`, and its
// one allocation function, `flow_alloc`, shared by the pool and the graph.
#ifndef DTICUT_FLOW_BLOCK_H
#define DTICUT_FLOW_BLOCK_H

#include <cassert>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <type_traits>

// Hands `msg` to `on_error` (when it is not null) and ends the process with
// exit status 1; an error function that returns cannot prevent the exit, one
// that throws leaves through here (see graph.h for what stays valid). The
// message is copied first, so an error function may modify what it receives.
[[noreturn]] inline void flow_fatal(void (*on_error)(char*), const char* msg) {
  if (on_error) {
    char copy[128];
    std::snprintf(copy, sizeof copy, "%s", msg);
    on_error(copy);
  }
  std::exit(1);
}

// Raw bytes for the engine's chunks and blocks, released with delete[].
// Exhausted memory is fatal: "Not enough memory!".
inline char* flow_alloc(std::size_t bytes, void (*on_error)(char*)) {
  char* p = new (std::nothrow) char[bytes];
  if (!p) flow_fatal(on_error, "Not enough memory!");
  return p;
}

template <class T>
class DBlock {
 public:
  // ---- construction ----
  // Allocates nothing; the first block comes with the first New.
  explicit DBlock(int size, void (*err_function)(char*) = nullptr)
      : items_per_block(size), blocks(nullptr), free_items(nullptr), on_error(err_function) {
    assert(size > 0);
  }
  // Frees every block, newest first; items still handed out become invalid.
  ~DBlock() {
    while (blocks) {
      block* older = blocks->next_block;
      delete[] reinterpret_cast<char*>(blocks);
      blocks = older;
    }
  }
  DBlock(const DBlock&) = delete;
  DBlock& operator=(const DBlock&) = delete;

  // ---- use ----
  // An item not in use, contents undefined. Items of a fresh block are handed
  // out in address order.
  T* New() {
    if (!free_items) add_block();
    item* it = free_items;
    free_items = it->next_free;
    return &it->value;
  }
  // Gives back an item from New of this pool; the next New returns it.
  void Release(T* t) {
    item* it = reinterpret_cast<item*>(t);
    it->next_free = free_items;
    free_items = it;
  }

 private:
  static_assert(std::is_trivial<T>::value, "pool items are plain records");

  // While free, an item's first word links the free list.
  union item {
    T value;
    item* next_free;
  };
  // A block is this link followed directly by items_per_block items.
  struct block {
    block* next_block;
  };
  static_assert(alignof(item) <= alignof(block), "items follow the block link");

  void add_block() {
    char* raw = flow_alloc(sizeof(block) + sizeof(item) * static_cast<std::size_t>(items_per_block),
                           on_error);
    block* b = reinterpret_cast<block*>(raw);
    item* first = reinterpret_cast<item*>(raw + sizeof(block));
    item* last = first + (items_per_block - 1);
    for (item* it = first; it < last; ++it) it->next_free = it + 1;
    last->next_free = nullptr;
    free_items = first;
    b->next_block = blocks;
    blocks = b;
  }

  int items_per_block;
  block* blocks;        // newest block; null until the first New
  item* free_items;     // head of the free list; null when none is left
  void (*on_error)(char*);
};

#endif  // DTICUT_FLOW_BLOCK_H
