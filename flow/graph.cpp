// Graph storage: node chunks, arc slabs and pieces, and the layout step.
#include "flow/graph.h"

#include <cstring>

Graph::Graph(void (*err_function)(char*))
    : TwoTreeSearch(err_function),
      node_base(nullptr),
      chunks(nullptr),
      node_chunk_count(0),
      node_chunks_allocated(0),
      node_chunk_capacity(0),
      node_count(0),
      node_free(nullptr),
      node_end(nullptr),
      arc_slabs(nullptr),
      arc_slab_count(0),
      arc_slabs_allocated(0),
      arc_slab_capacity(0),
      slab_used(ARCS_PER_SLAB),
      too_many_arcs(false),
      last_tail(0),
      tail_trend(0) {}

Graph::~Graph() {
  for (uint32_t c = 0; c < node_chunks_allocated; ++c) delete[] chunks[c].raw;
  delete[] reinterpret_cast<char*>(chunks);
  delete[] reinterpret_cast<char*>(node_base);
  for (uint32_t s = 0; s < arc_slabs_allocated; ++s) delete[] reinterpret_cast<char*>(arc_slabs[s]);
  delete[] reinterpret_cast<char*>(arc_slabs);
}

void Graph::reset() {
  node_chunk_count = 0;
  node_count = 0;
  node_free = node_end = nullptr;
  arc_slab_count = 0;
  slab_used = ARCS_PER_SLAB;
  too_many_arcs = false;
  last_tail = 0;
  tail_trend = 0;
  clear_search();
}

// Doubles a full table (`count` == `capacity`) of plain entries.
template <class T>
void Graph::grow_table(T*& table, uint32_t count, uint32_t& capacity, void (*on_error)(char*)) {
  const std::size_t bigger = capacity ? 2 * std::size_t{capacity} : 16;
  T* t = reinterpret_cast<T*>(flow_alloc(bigger * sizeof(T), on_error));
  if (count) std::memcpy(static_cast<void*>(t), table, count * sizeof(T));
  delete[] reinterpret_cast<char*>(table);
  table = t;
  capacity = static_cast<uint32_t>(bigger);
}

// Node records start at a multiple of 32 bytes, so that each lies within one
// cache line.
void Graph::new_node_chunk() {
  static_assert(sizeof(node_st) == 32, "two node records per cache line");
  if (node_count == NO_NODE) flow_fatal(on_error, "Not enough memory!");
  if (node_chunk_count == node_chunks_allocated) {
    if (node_chunks_allocated == node_chunk_capacity) {
      uint32_t capacity = node_chunk_capacity;
      grow_table(node_base, node_chunks_allocated, capacity, on_error);
      grow_table(chunks, node_chunks_allocated, node_chunk_capacity, on_error);
    }
    constexpr std::size_t align = sizeof(node_st);
    char* raw = flow_alloc(sizeof(node_st) * NODES_PER_CHUNK + align - 1, on_error);
    const std::size_t skip = (align - reinterpret_cast<std::uintptr_t>(raw) % align) % align;
    chunks[node_chunks_allocated].raw = raw;
    chunks[node_chunks_allocated].nodes = reinterpret_cast<node_st*>(raw + skip);
    node_base[node_chunks_allocated++] = chunks[node_chunk_count].nodes;
  }
  chunk_st& c = chunks[node_chunk_count++];
  c.arc_next = 0;
  c.arc_left = 0;
  node_free = c.nodes;
  node_end = c.nodes + NODES_PER_CHUNK;
}

// A chunk's arcs go into pieces of consecutive slots taken from the newest
// slab. Arc numbers are 32 bits, and a tree link holds twice an arc number
// plus a small constant, hence the limit on the slabs.
void Graph::new_arc_piece(chunk_st& c) {
  static_assert(ARCS_PER_SLAB % ARCS_PER_PIECE == 0, "pieces do not cross slabs");
  static_assert(sizeof(arc_st) == 20, "packed arc records");
  if (slab_used == ARCS_PER_SLAB) {
    if (arc_slab_count == (uint32_t{1} << (31 - ARC_SLAB_SHIFT)) - 1) flow_fatal(on_error, "Not enough memory!");
    if (arc_slab_count == arc_slabs_allocated) {
      if (arc_slabs_allocated == arc_slab_capacity) grow_table(arc_slabs, arc_slabs_allocated, arc_slab_capacity, on_error);
      arc_slabs[arc_slabs_allocated++] = reinterpret_cast<arc_st*>(flow_alloc(sizeof(arc_st) * ARCS_PER_SLAB, on_error));
    }
    ++arc_slab_count;
    slab_used = 0;
  }
  c.arc_next = ((arc_slab_count - 1) << ARC_SLAB_SHIFT) + slab_used;
  c.arc_left = ARCS_PER_PIECE;
  slab_used += ARCS_PER_PIECE;
}

// add_edge has already put every arc into its tail's outgoing list and its
// head's incoming list, so nothing is moved here: what is left of the layout
// step is the limit on the arcs of one node.
void Graph::prepare_graph() {
  if (too_many_arcs) flow_fatal(on_error, "# of arcs per node exceeds block size!");
}
