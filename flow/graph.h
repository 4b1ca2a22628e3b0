// Directed graph with two implicit terminals (source and sink) whose minimum
// s-t cut `maxflow` computes by augmenting paths found with two search trees
// that survive from one augmentation to the next. After `maxflow()`, every
// residual capacity lies between 0 and the sum of the arc's two capacities,
// flow is conserved at every node, and `what_segment` reports the source side
// of the minimum cut that has the fewest nodes.
//
// Storage (64-bit build). Nothing is moved once stored:
//   * Nodes are numbered 0, 1, ... in the order of add_node calls. Their
//     node_st records (32 bytes) lie in chunks of NODES_PER_CHUNK = 1024,
//     listed in a table; node k is slot k % 1024 of chunk k / 1024. A node
//     handle is the address of its record and stays valid until the graph is
//     destroyed. Inside the engine nodes refer to each other by number.
//   * Arcs are numbered as they are stored. Their arc_st records (20 bytes, one
//     per arc whatever its capacities) lie in slabs of ARCS_PER_SLAB = 4096,
//     listed in a table; arc k is slot k % 4096 of slab k / 4096. Each node
//     chunk takes pieces of ARCS_PER_PIECE = 128 consecutive slots from the
//     newest slab, one piece at a time, and an arc goes into the piece of its
//     tail's chunk. So the arcs of nodes that were added close together lie
//     close together whatever order the arcs come in, and the search, which
//     visits neighbouring nodes close in time, stays in cache.
//   * Each arc sits in two singly linked lists threaded through it by arc
//     number: the outgoing list of its tail (`first_out`, `next_out`) and the
//     incoming list of its head (`first_in`, `next_in`). add_edge puts the new
//     arc at the front of both, so
//       - a node's outgoing arcs are read newest first: in the reverse of the
//         order in which add_edge added them;
//       - a node's incoming arcs are read the same way, newest first.
//     With arcs added in the order n1->n0, n0->n2, n0->n1, n2->n1, node n0
//     reads n0->n1, n0->n2 and node n1 reads n2->n1, n0->n1 (incoming).
//     The search scans a node's outgoing list and then its incoming list, in
//     that order. (The order decides only which paths the search finds first;
//     the flow and the reported cut do not depend on it.)
//   So a node costs 32 bytes and an arc 20 bytes, plus the unused rest of the
//   newest node chunk, of each chunk's piece (64 arcs per 1024 nodes on
//   average) and of the newest slab, and 32 bytes per chunk and 8 per slab in
//   the tables; `reset` keeps chunks and slabs for the next graph. There is
//   no temporary memory: the layout step (`prepare_graph`, inside maxflow)
//   has nothing to move, because add_edge already threads the lists; it only
//   enforces the limit on the arcs of a node.
//   Initialisation activates the nodes (the search's first sweep) against
//   the direction in which the arcs came: in descending node number when
//   add_edge saw the tail rise more often than fall from one arc to the
//   next, else ascending. A node's lists then name first the neighbours the
//   sweep has already passed, which are in cache (on a 3-D grid with arcs in
//   ascending tail order this shortens the search by about a sixth).
//
// Choices and contracts:
//   * Arcs from a node to itself are dropped by `add_edge`: they cross no cut,
//     so they change neither the flow nor the cut, and they do not count
//     towards the 1024 arcs a node may have.
//   * `head_offset` is the head's node number minus the tail's, modulo 2^32,
//     so any two nodes of a graph can be joined, however far apart their
//     records lie.
//   * Capacities, terminal capacities and the flow are 32-bit signed and
//     unchecked: the caller keeps every node's summed terminal capacities, the
//     sum of an arc's two capacities, and the total of all capacities leaving
//     the source (or of all entering the sink) plus the collected constant
//     within int. Capacities are non-negative.
//   * A node has at most MAX_ARCS_PER_NODE (1024) outgoing and as many
//     incoming arcs; the layout step in maxflow ends the process with
//     "# of arcs per node exceeds block size!" otherwise. Denser nodes are the caller's to split: dticut-maxflow makes
//     copies of such a node joined by arcs that no minimum cut can cross.
//     Node and arc numbers are 32 bits: a graph holds fewer than 2^32 - 1
//     nodes and at most 2^31 - 4096 arcs (about 2.1 billion), and the node or
//     arc that would pass those counts ends the process with "Not enough
//     memory!". Fatal conditions go to the error function, if any, and end
//     the process with exit status 1, unless the error function throws: the
//     engine itself never throws, but every frame an exception from the
//     error function unwinds through leaks nothing (the search's orphan pool
//     is freed by reset and the destructor). A graph left by such an
//     exception may be half-built or half-solved: reset it or destroy it.
//   * Interruption: an optional check (set_interrupt) that maxflow asks every
//     INTERRUPT_STEPS steps of its search whether to stop. When it says so,
//     maxflow returns at once with interrupted() true, the flow conserved and
//     the trees intact, so that calling maxflow again goes on with the same
//     search and ends with the same flow and cut. Unset (the default), it
//     costs one test of a pointer per step.
//   * Use: add nodes, arcs and terminal capacities in any interleaving, call
//     maxflow once (again after an interruption), then what_segment; nothing
//     may be added after maxflow until `reset` has emptied the graph.
//   * The scan counter `cur_stamp` starts again (every node's stamp and depth
//     is cleared) when it reaches INT_MAX; stamps only steer the search, so
//     the result stays exact.
#ifndef DTICUT_FLOW_GRAPH_H
#define DTICUT_FLOW_GRAPH_H

#include <cstddef>
#include <cstdint>

#include "flow/block.h"
#include "flow/twoTreeSearch.h"

// `parent` says how the node hangs in its tree: PARENT_NONE (free),
// PARENT_TERMINAL (a root), PARENT_ORPHAN, or the arc k through which it
// hangs: PARENT_ARC + 2k if the node is the arc's tail (its parent is the
// head), PARENT_ARC + 2k + 1 ("marked") if it is the head.
struct graph_node_st {
  uint32_t parent;       // tree link, as above; before maxflow: the node's own number
  uint32_t active_next;  // 0 if in no active list; else 1 + the next node's number (its own at the tail)
  uint32_t first_out;    // newest outgoing arc, or NO_ARC
  uint32_t first_in;     // newest incoming arc, or NO_ARC
  int stamp;             // the cur_stamp at which depth was last known; before maxflow: outgoing count
  int depth;             // tree links up to the terminal, a root counting 1; before maxflow: incoming count
  int term_cap;          // > 0: residual from the source; < 0: minus residual to the sink
  unsigned char in_sink_tree;  // 0: source tree, 1: sink tree; meaningful while parent != PARENT_NONE
};

class Graph : public TwoTreeSearch<Graph, graph_node_st, uint32_t> {
 public:
  // The most arcs a node may have leaving it, and the most entering it; a
  // caller with denser nodes splits them before building (see above).
  static constexpr int MAX_ARCS_PER_NODE = 1024;

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
  // constant collected by add_tweights/set_tweights. Call once per graph, or
  // again after an interruption, which continues the interrupted search.
  int maxflow();

  // ---- interruption ----
  // set_interrupt(check, extra) and interrupted(), with INTERRUPT_STEPS and
  // InterruptFn, come from the search (twoTreeSearch.h); see above.

  // ---- reuse ----
  // Empties the graph, as if it had just been constructed with the same error
  // function, but keeps its node chunks and arc slabs for the nodes and arcs
  // added next, so that a series of graphs (one per move of an optimizer)
  // neither allocates nor touches fresh memory again. Handles of the old
  // nodes become invalid.
  void reset();

  // ---- queries ----
  // 0 if the node is on the source side of the cut, 1 otherwise; valid after
  // maxflow.
  int what_segment(void* i);
  // The handle of node number k (nodes are numbered from 0 in the order of
  // add_node since construction or the last reset; k must be one of them),
  // so that a caller adding nodes in a known order can keep their numbers
  // instead of their handles.
  void* node_handle(uint32_t k) const { return node_at(k); }

 private:
  friend class GraphTestAccess;   // tests/flow: internals and the steps of maxflow
  friend class GraphBenchAccess;  // bench/flow: times the layout step apart
  friend class TwoTreeSearch<Graph, graph_node_st, uint32_t>;
  typedef graph_node_st node_st;

  struct arc_st {
    uint32_t head_offset;  // head's node number minus the tail's (modulo 2^32)
    int res_cap;        // residual capacity from tail to head
    int res_rev_cap;    // residual capacity from head to tail
    uint32_t next_out;  // next (older) arc of the tail's outgoing list, or NO_ARC
    uint32_t next_in;   // next (older) arc of the head's incoming list, or NO_ARC
  };
  // Per node chunk: where its records lie and the piece its arcs go to.
  struct chunk_st {
    node_st* nodes;      // NODES_PER_CHUNK records, 32-byte aligned
    char* raw;           // what the allocator returned, freed through this
    uint32_t arc_next;   // number of the next free slot of the chunk's piece
    uint32_t arc_left;   // free slots left in that piece (0: none yet)
  };

  enum : int {
    NODE_CHUNK_SHIFT = 10,
    NODES_PER_CHUNK = 1 << NODE_CHUNK_SHIFT,
    ARC_SLAB_SHIFT = 12,
    ARCS_PER_SLAB = 1 << ARC_SLAB_SHIFT,
    ARCS_PER_PIECE = 128
  };
  static constexpr uint32_t NO_ARC = 0xFFFFFFFFu;
  static constexpr uint32_t PARENT_ARC = PARENT_LINK;

  node_st* node_at(uint32_t k) const {
    return node_base[k >> NODE_CHUNK_SHIFT] + (k & (NODES_PER_CHUNK - 1));
  }
  arc_st* arc_at(uint32_t k) const { return arc_slabs[k >> ARC_SLAB_SHIFT] + (k & (ARCS_PER_SLAB - 1)); }
  // The parent code of a node that hangs through arc k, as its tail or (marked)
  // as its head.
  static uint32_t tail_link(uint32_t k) { return PARENT_ARC + 2 * k; }
  static uint32_t head_link(uint32_t k) { return PARENT_ARC + 2 * k + 1; }
  // The node that node k hangs under through the arc link p (>= PARENT_ARC).
  uint32_t parent_of(uint32_t k, uint32_t p) const {
    const arc_st* a = arc_at((p - PARENT_ARC) >> 1);
    return (p - PARENT_ARC) & 1 ? k - a->head_offset : k + a->head_offset;
  }
  // Calls f(number, record) for every node, in node order.
  template <class F>
  void for_each_node(F f) const {
    for (uint32_t c = 0; c < node_chunk_count; ++c) {
      node_st* i = node_base[c];
      const uint32_t first = c << NODE_CHUNK_SHIFT;
      const uint32_t n = c + 1 == node_chunk_count ? node_count - first : uint32_t{NODES_PER_CHUNK};
      for (uint32_t s = 0; s < n; ++s) f(first + s, i + s);
    }
  }

  // Slow paths of the building operations.
  void new_node_chunk();
  void new_arc_piece(chunk_st& c);
  template <class T>
  static void grow_table(T*& table, uint32_t count, uint32_t& capacity, void (*on_error)(char*));

  void prepare_graph();
  void maxflow_init();
  int run_search();
  // What the search asks of the storage (twoTreeSearch.h).
  template <bool SINK>
  bool grow(uint32_t i, node_st* I, join_st& join);
  template <bool SINK>
  tree_arc_st tree_arc(uint32_t i, node_st* I, uint32_t p);
  template <bool SINK>
  void process_orphan(uint32_t n, node_st* N);

  node_st** node_base;             // per node chunk: its records (the hot table)
  chunk_st* chunks;                // per node chunk: records, raw block, arc piece
  uint32_t node_chunk_count;       // chunks in use
  uint32_t node_chunks_allocated;  // chunks held (kept by reset)
  uint32_t node_chunk_capacity;
  uint32_t node_count;             // nodes added; the number of the next one
  node_st* node_free;              // next free record of the newest chunk
  node_st* node_end;               // end of the newest chunk
  arc_st** arc_slabs;              // every arc slab, in the order opened
  uint32_t arc_slab_count;         // slabs in use
  uint32_t arc_slabs_allocated;    // slabs held (kept by reset)
  uint32_t arc_slab_capacity;
  uint32_t slab_used;              // slots of the newest slab given to pieces
  bool too_many_arcs;              // some node has more than 1024 arcs in or out
  uint32_t last_tail;              // tail of the arc added last
  int64_t tail_trend;              // arcs whose tail rose minus arcs whose tail fell
};

inline void* Graph::add_node() {
  if (node_free == node_end) new_node_chunk();
  node_st* n = node_free++;
  n->parent = node_count++;
  n->first_out = NO_ARC;
  n->first_in = NO_ARC;
  n->stamp = 0;
  n->depth = 0;
  n->term_cap = 0;
  return n;
}

inline void Graph::add_edge(void* from, void* to, int cap, int rev_cap) {
  node_st* tail = static_cast<node_st*>(from);
  node_st* head = static_cast<node_st*>(to);
  if (tail == head) return;
  // Before maxflow a node's parent field holds its number.
  tail_trend += (tail->parent > last_tail) - (tail->parent < last_tail);
  last_tail = tail->parent;
  chunk_st& c = chunks[tail->parent >> NODE_CHUNK_SHIFT];
  if (c.arc_left == 0) new_arc_piece(c);
  const uint32_t k = c.arc_next++;
  --c.arc_left;
  arc_st* a = arc_at(k);
  a->head_offset = head->parent - tail->parent;
  a->res_cap = cap;
  a->res_rev_cap = rev_cap;
  a->next_out = tail->first_out;
  tail->first_out = k;
  a->next_in = head->first_in;
  head->first_in = k;
  // The counts only need to tell whether some node went past the limit.
  const int out = ++tail->stamp;
  const int in = ++head->depth;
  if (out > MAX_ARCS_PER_NODE || in > MAX_ARCS_PER_NODE) too_many_arcs = true;
}

inline void Graph::set_tweights(void* i, int cap_source, int cap_sink) {
  node_st* n = static_cast<node_st*>(i);
  total_flow += cap_source < cap_sink ? cap_source : cap_sink;
  n->term_cap = cap_source - cap_sink;
}

inline void Graph::add_tweights(void* i, int cap_source, int cap_sink) {
  add_terminal(static_cast<node_st*>(i), cap_source, cap_sink);
}

inline int Graph::what_segment(void* i) {
  node_st* n = static_cast<node_st*>(i);
  if (n->parent == PARENT_NONE) return 1;
  return n->in_sink_tree ? 1 : 0;
}

#endif  // DTICUT_FLOW_GRAPH_H
