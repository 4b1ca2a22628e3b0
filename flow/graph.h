// Directed graph with two implicit terminals (source and sink) whose minimum
// s-t cut `maxflow` computes by augmenting paths found with two search trees
// that survive from one augmentation to the next. After `maxflow()`, every
// residual capacity lies between 0 and the sum of the arc's two capacities,
// flow is conserved at every node, and `what_segment` reports the source side
// of the minimum cut that has the fewest nodes. Building costs one node record
// per node and one arc plus one reference per arc, allocated in chunks; the
// layout step is linear and in place, but it permutes the arcs by following
// chains of slots, so on graphs much larger than the cache it is bound by
// memory latency and can take most of maxflow's time on easy energies.
//
// Layout (64-bit build):
//   node_chunk: first_free, next_chunk, NODES_PER_CHUNK = 512 node_st slots
//     (48 bytes each). A chunk takes at most 511 nodes: the slot after the
//     last node marks where the ranges of the chunk's last node end.
//   arc_chunk: raw_start, first_free, next_chunk, ARCS_PER_CHUNK = 1024 arc_st
//     slots (12 bytes each) and one spare slot whose first word holds the
//     chunk's `last_node` during the layout step. Started at an even address.
//   ref_chunk: the same with arc_ref_st entries (8 bytes each).
//   So a node costs 48 bytes and an arc 20 bytes, whatever its capacities,
//   plus the slack of chunks that a range did not fit into.
//   Marks: arcs and references lie at even addresses. A range start with its
//   lowest bit set means "the slot one byte further holds the range's end
//   address in its first word; the entries follow it". A `parent_arc` with its
//   lowest bit set is a marked arc (the node is the arc's head). The values 0
//   (free), PARENT_TERMINAL = 1 and PARENT_ORPHAN = 2 are not arcs.
//   Node handles stay valid until the graph is destroyed (nodes never move);
//   arcs and references are moved by the layout step and are not handles.
//
// Choices and contracts:
//   * Arcs from a node to itself are dropped by `add_edge`: they cross no cut,
//     so they change neither the flow nor the cut, and they do not count
//     towards the 1024 arcs a node may have.
//   * `head_offset` is the byte distance from tail to head, computed when the
//     arc is added. Nodes of different chunks that lie 2 GiB or more apart
//     cannot be joined: `add_edge` ends the process through the error function
//     with "Node records too far apart for a 32-bit arc offset!" rather than
//     store a truncated offset.
//   * Capacities, terminal capacities and the flow are 32-bit signed and
//     unchecked: the caller keeps every node's summed terminal capacities, the
//     sum of an arc's two capacities, and the total of all capacities leaving
//     the source (or of all entering the sink) plus the collected constant
//     within int. Capacities are non-negative.
//   * A node has at most 1024 outgoing and 1024 incoming arcs; the layout step
//     in maxflow ends the process with "# of arcs per node exceeds block size!"
//     otherwise. Fatal conditions (that one and "Not enough memory!") go to the
//     error function, if any, and end the process with exit status 1. Nothing
//     here throws.
//   * Use: add nodes, arcs and terminal capacities in any interleaving, call
//     maxflow once, then what_segment; nothing may be added after maxflow.
//   * The scan counter `cur_stamp` starts again (every node's stamp is cleared)
//     when it reaches INT_MAX; stamps only steer the search, so the result
//     stays exact.
#ifndef DTICUT_FLOW_GRAPH_H
#define DTICUT_FLOW_GRAPH_H

#include <cstdint>
#include <cstring>

#include "flow/block.h"

class Graph {
 public:
  // ---- construction ----
  explicit Graph(void (*err_function)(char*) = nullptr);
  ~Graph();
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  // ---- building (only before maxflow) ----
  // Returns the new node's handle.
  void* add_node();
  // An arc from `from` to `to` with capacity `cap` and reverse capacity
  // `rev_cap`, both non-negative. Parallel arcs stay separate; an arc whose
  // ends are the same node is dropped.
  void add_edge(void* from, void* to, int cap, int rev_cap);
  // Replaces the node's terminal capacities; what earlier calls collected in
  // the flow stays there.
  void set_tweights(void* i, int cap_source, int cap_sink);
  // Adds to the node's terminal capacities. Either value may be negative. The
  // part every cut pays, min(source, sink), goes straight into the flow.
  void add_tweights(void* i, int cap_source, int cap_sink);

  // ---- solving ----
  // Lays the graph out and computes the maximum flow. Returns it plus the
  // constant collected by add_tweights/set_tweights. Call once per graph.
  int maxflow();

  // ---- queries ----
  // 0 if the node is on the source side of the cut, 1 otherwise; valid after
  // maxflow.
  int what_segment(void* i);

 private:
  friend class GraphTestAccess;

  struct arc_st {
    int head_offset;  // byte distance from the tail's node_st to the head's
    int res_cap;      // residual capacity from tail to head
    int res_rev_cap;  // residual capacity from head to tail
  };
  // In its head's range: the arc entering the head. Before the layout step it
  // holds the arc's tail handle instead.
  struct arc_ref_st {
    arc_st* arc;
  };
  struct node_st {
    arc_st* arcs_out;      // start of the outgoing range (maybe marked); a count before layout
    arc_ref_st* refs_in;   // start of the incoming range (maybe marked); a count before layout
    arc_st* parent_arc;    // tree link: 0, PARENT_TERMINAL, PARENT_ORPHAN, an arc or a marked arc
    node_st* active_next;  // next node in its active list, itself at the tail, null if inactive
    int stamp;             // the cur_stamp at which depth was last known to be exact
    int depth;             // tree links up to the terminal, a root counting 1
    short in_sink_tree;    // 0: source tree, 1: sink tree; meaningful while parent_arc != 0
    int term_cap;          // > 0: residual from the source; < 0: minus residual to the sink
  };
  struct nodeptr_st {
    node_st* node;
    nodeptr_st* link;
  };

  enum : int { NODES_PER_CHUNK = 512, ARCS_PER_CHUNK = 1024 };
  static constexpr std::uintptr_t PARENT_TERMINAL = 1;
  static constexpr std::uintptr_t PARENT_ORPHAN = 2;
  static constexpr int DEPTH_INFINITE = 1000000000;
  static constexpr int ORPHAN_PTRS_PER_BLOCK = 128;

  struct node_chunk {
    node_st* first_free;
    node_chunk* next_chunk;  // older chunk
    node_st nodes[NODES_PER_CHUNK];
  };
  struct arc_chunk {
    char* raw_start;  // what the allocator returned; freed through this
    arc_st* first_free;
    arc_chunk* next_chunk;  // older chunk
    arc_st slots[ARCS_PER_CHUNK + 1];
  };
  struct ref_chunk {
    char* raw_start;
    arc_ref_st* first_free;
    ref_chunk* next_chunk;
    arc_ref_st slots[ARCS_PER_CHUNK + 1];
  };

  // Pointer bits: marks, counters and byte offsets between node records.
  static std::uintptr_t bits(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
  template <class S>
  static S* from_bits(std::uintptr_t v) {
    return reinterpret_cast<S*>(v);
  }
  static node_st* shift(node_st* n, int offset) {
    return from_bits<node_st>(bits(n) + static_cast<std::uintptr_t>(static_cast<std::intptr_t>(offset)));
  }
  static node_st* unshift(node_st* n, int offset) {
    return from_bits<node_st>(bits(n) - static_cast<std::uintptr_t>(static_cast<std::intptr_t>(offset)));
  }
  // The node that `k` hangs under through the arc (marked or not) `a`.
  static node_st* parent_of(node_st* k, arc_st* a) {
    std::uintptr_t v = bits(a);
    if (v & 1) return unshift(k, from_bits<arc_st>(v - 1)->head_offset);
    return shift(k, a->head_offset);
  }
  // A pointer kept in the first word of an arc or reference slot. Arc slots
  // are only 4-byte aligned, hence the copies.
  template <class S>
  static S* load_word(const void* slot) {
    S* p;
    std::memcpy(&p, slot, sizeof p);
    return p;
  }
  static void store_word(void* slot, const void* p) { std::memcpy(slot, &p, sizeof p); }
  // The laid-out range [first, end) whose start is `start`; `next_start` is the
  // start stored in the node slot that follows in the same node chunk.
  template <class S>
  static void read_range(S* start, S* next_start, S*& first, S*& end) {
    std::uintptr_t s = bits(start);
    if (s & 1) {
      first = from_bits<S>(s + 1);
      end = load_word<S>(first);
      ++first;
    } else {
      std::uintptr_t e = bits(next_start);
      first = start;
      end = from_bits<S>(e + (e & 1));
    }
  }
  static void out_range(node_st* i, arc_st*& first, arc_st*& end) {
    read_range(i->arcs_out, (i + 1)->arcs_out, first, end);
  }
  static void in_range(node_st* i, arc_ref_st*& first, arc_ref_st*& end) {
    read_range(i->refs_in, (i + 1)->refs_in, first, end);
  }

  template <class S>
  static S* mark_range(S* start, S* free_slot);

  // Slow paths of the building operations.
  void new_node_chunk();
  void new_arc_chunks();
  template <class Chunk>
  Chunk* alloc_chunk();

  // The arc that joins the two trees: its source-side and sink-side ends and
  // its residual fields from s to t and from t to s.
  struct join_st {
    node_st* s;
    node_st* t;
    int* cap_st;
    int* cap_ts;
  };

  void prepare_graph();
  void maxflow_init();
  int run_search();
  void restamp();
  void activate(node_st* j);
  node_st* next_active();
  template <bool SINK>
  bool tree_link(node_st* i, node_st* j, arc_st* link);
  template <bool SINK>
  void grow(node_st* i, join_st& join);
  template <bool SINK>
  int path_bottleneck(node_st* i, int b);
  template <bool SINK>
  void push_path(node_st* i, int b);
  void augment(node_st* s, node_st* t, int* cap_st, int* cap_ts);
  void orphan_front(node_st* n);
  void orphan_back(node_st* n);
  void adopt_orphans();
  int origin_depth(node_st* j);
  template <bool SINK>
  void process_orphan(node_st* n);
  void process_source_orphan(node_st* n);
  void process_sink_orphan(node_st* n);

  node_chunk* node_blocks;         // newest node chunk; null before the first node
  arc_chunk* arc_blocks;           // newest arc chunk; null before the first arc
  ref_chunk* ref_blocks;           // newest reference chunk, partner of arc_blocks
  DBlock<nodeptr_st>* orphan_pool; // exists only while maxflow runs
  void (*on_error)(char*);
  int total_flow;                  // constant collected by the terminal operations plus flow
  node_st* active_first[2];        // list 0 is being consumed, list 1 filled
  node_st* active_last[2];
  nodeptr_st* orphans_head;
  nodeptr_st* orphans_tail;
  int cur_stamp;                   // counts growth steps; restarted before it could overflow
};

inline void* Graph::add_node() {
  if (!node_blocks || node_blocks->first_free >= &node_blocks->nodes[NODES_PER_CHUNK - 1]) {
    new_node_chunk();
  }
  node_st* n = node_blocks->first_free++;
  n->arcs_out = nullptr;
  n->refs_in = nullptr;
  n->term_cap = 0;
  return n;
}

inline void Graph::add_edge(void* from, void* to, int cap, int rev_cap) {
  node_st* tail = static_cast<node_st*>(from);
  node_st* head = static_cast<node_st*>(to);
  if (tail == head) return;
  std::intptr_t offset = static_cast<std::intptr_t>(bits(head) - bits(tail));
  if (offset != static_cast<int>(offset)) {
    flow_fatal(on_error, "Node records too far apart for a 32-bit arc offset!");
  }
  if (!arc_blocks || arc_blocks->first_free == &arc_blocks->slots[ARCS_PER_CHUNK]) {
    new_arc_chunks();
  }
  arc_st* a = arc_blocks->first_free++;
  arc_ref_st* r = ref_blocks->first_free++;
  r->arc = reinterpret_cast<arc_st*>(tail);
  a->head_offset = static_cast<int>(offset);
  a->res_cap = cap;
  a->res_rev_cap = rev_cap;
  tail->arcs_out = from_bits<arc_st>(bits(tail->arcs_out) + 1);
  head->refs_in = from_bits<arc_ref_st>(bits(head->refs_in) + 1);
}

inline void Graph::set_tweights(void* i, int cap_source, int cap_sink) {
  node_st* n = static_cast<node_st*>(i);
  total_flow += cap_source < cap_sink ? cap_source : cap_sink;
  n->term_cap = cap_source - cap_sink;
}

inline void Graph::add_tweights(void* i, int cap_source, int cap_sink) {
  node_st* n = static_cast<node_st*>(i);
  int d = n->term_cap;
  if (d > 0) {
    cap_source += d;
  } else {
    cap_sink -= d;
  }
  total_flow += cap_source < cap_sink ? cap_source : cap_sink;
  n->term_cap = cap_source - cap_sink;
}

inline int Graph::what_segment(void* i) {
  node_st* n = static_cast<node_st*>(i);
  if (!n->parent_arc) return 1;
  return n->in_sink_tree ? 1 : 0;
}

#endif  // DTICUT_FLOW_GRAPH_H
