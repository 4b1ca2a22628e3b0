// Max-flow over a six-connected dimX x dimY x dimZ grid whose arcs are
// implicit. Node k is voxel k = x + y * dimX + z * dimX * dimY (or, over a
// site map, site k), and its arcs join it to its neighbours along x, y and
// z; each node record holds the residual capacities of the six arcs leaving
// it (0 where there is no neighbour), so there are no arc records, no lists
// to thread, and building a network is writing its capacities in node
// order: a node costs 44 bytes (60 over a site map), against Graph's 32 a
// node and 40 a neighbour pair.
//
// It runs Graph's two-tree augmenting-path search (twoTreeSearch.h), with a
// tree link naming the direction of the parent instead of an arc, and its
// arcs scanned towards -z, -y, -x, +z, +y, +x, the roots activated in
// descending order: the order in which Graph meets a grid built in voxel
// order with its pairs towards -x, -y, -z. After
// `maxflow()`, every residual capacity is non-negative, flow is conserved at
// every node, and `what_segment` reports 0 exactly for the nodes the source
// reaches in the residual network: the source side of the minimum cut that
// has the fewest nodes, which does not depend on how the flow was found, so
// it is the cut Graph reports for the same network.
//
// Contracts, as Graph's:
//   * Use: reset with the grid's size, add every node in order (add_node),
//     add terminal capacities and arcs between nodes already added in any
//     interleaving, call maxflow once (again after an interruption), then
//     what_segment. reset empties the graph for the next network and keeps
//     the memory when the next grid is no larger.
//   * Capacities, terminal capacities and the flow are 32-bit signed and
//     unchecked: the caller keeps every node's summed terminal capacities, the
//     sum of an arc pair's residuals and the total leaving the source (or
//     entering the sink) plus the collected constant within int. Capacities
//     are non-negative.
//   * A grid holds fewer than 2^32 - 1 nodes; a larger one, or memory that
//     cannot be had, goes to the error function as "Not enough memory!" and
//     ends the process with exit status 1 unless the error function throws.
//   * Preparing ahead: every record is prepared (its capacities 0, its
//     neighbours found) before add_node hands it out. For a large grid (two
//     chunks or more) reset starts a thread that prepares the records ahead
//     of the caller, a block at a time, first mapping the pages of fresh
//     chunks (the system's first touch of fresh memory costs about as much
//     as building the network on it); add_node waits for it when it catches
//     up, the caller never touching a record the thread still writes, and
//     the thread ends before maxflow. Without such a thread add_node
//     prepares the records itself, and a system that cannot map ahead has
//     them mapped by their first write.
//   * Interruption: as Graph's. The optional check is asked every
//     INTERRUPT_STEPS steps of the search; when it says stop, maxflow returns
//     at once with interrupted() true, and calling it again goes on with the
//     same search.
#ifndef DTICUT_FLOW_GRIDGRAPH3D_H
#define DTICUT_FLOW_GRIDGRAPH3D_H

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "flow/block.h"
#include "flow/twoTreeSearch.h"

// `parent` is PARENT_NONE (free), PARENT_TERMINAL (a root), PARENT_ORPHAN,
// or PARENT_DIR + d: the node hangs under its neighbour in direction d.
struct grid_node_st {
  int cap[6];             // residual capacity to the neighbour in direction d
  int term_cap;           // > 0: residual from the source; < 0: minus residual to the sink
  uint32_t active_next;   // 0 if in no active list; else 1 + the next node's number (its own at the tail)
  int stamp;              // the cur_stamp at which depth was last known
  int depth;              // tree links up to the terminal, a root counting 1
  uint8_t parent;         // tree link, as above
  uint8_t in_sink_tree;   // 0: source tree, 1: sink tree; meaningful while parent != PARENT_NONE
  uint8_t neighbours;     // bit d: the neighbour in direction d exists
};

class GridGraph3D : public TwoTreeSearch<GridGraph3D, grid_node_st, uint8_t> {
 public:
  // The opposite of direction d is d ^ 1.
  enum Direction { MINUS_X = 0, PLUS_X = 1, MINUS_Y = 2, PLUS_Y = 3, MINUS_Z = 4, PLUS_Z = 5 };

  explicit GridGraph3D(void (*err_function)(char*) = nullptr);
  ~GridGraph3D();
  GridGraph3D(const GridGraph3D&) = delete;
  GridGraph3D& operator=(const GridGraph3D&) = delete;

  // Empties the graph and sizes it for a dimX x dimY x dimZ grid (each at
  // least 1) with no node added yet. Given a site map (per voxel its site
  // or -1, the sites numbered 0, 1, ... in voxel order; borrowed until
  // maxflow has run), node k is site k and only sites are nodes, joined
  // where their voxels are neighbours; each node then costs 16 bytes more
  // for where its neighbours along y and z lie. `sites`, when not -1, is
  // the number of sites the map holds, which a caller that has counted
  // them need not have counted again; the records are prepared against
  // the map, and a map that differs from it or is out of order fails an
  // assertion there.
  void reset(int dimX, int dimY, int dimZ, const int* siteOf = nullptr, int64_t sites = -1);

  // ---- building (only before maxflow) ----
  // Adds the next node, with no terminal capacity and no arc capacity, and
  // returns its number.
  uint32_t add_node();
  // Adds to node i's terminal capacities, as Graph::add_tweights: either value
  // may be negative, and the part every cut pays goes straight into the flow.
  void add_tweights(uint32_t i, int cap_source, int cap_sink);
  // Adds cap to the arc from node i to its neighbour in direction d and
  // rev_cap to the arc back; both nodes must have been added, and the
  // neighbour must exist.
  void add_edge(uint32_t i, Direction d, int cap, int rev_cap);
  // The pairwise term E(x, y) of binary variables x = node i and y = its
  // neighbour in direction d (0: the source side), A = E(0,0), B = E(0,1),
  // C = E(1,0), D = E(1,1), as Energy::add_term2 adds it: a term that is not
  // regular (A + D > B + C) fails the assertion "B + C >= 0".
  void add_term2(uint32_t i, Direction d, int A, int B, int C, int D);

  // ---- solving ----
  // Computes the maximum flow; returns it plus the constant collected by
  // add_tweights. Every node of the grid must have been added.
  int maxflow();
  // set_interrupt(check, extra) and interrupted() come from the search
  // (twoTreeSearch.h), as Graph's.

  // ---- queries ----
  // 0 if node i is on the source side of the cut, 1 otherwise; valid after
  // maxflow.
  int what_segment(uint32_t i) const {
    const node_st& n = *node_at(i);
    return n.parent == PARENT_NONE ? 1 : n.in_sink_tree;
  }
  // Of node i, once add_node has returned it (a builder over a site map
  // finds its pairs here instead of in the map): bit d set when its
  // neighbour in direction d exists, and that neighbour's number.
  unsigned neighbours(uint32_t i) const {
    assert(i < node_count);
    return node_at(i)->neighbours;
  }
  // Along x a neighbour is the next or previous node; along y and z it is
  // at a fixed distance, or, with a site map, at the node's own.
  uint32_t neighbour(uint32_t i, int d) const {
    return d < 2 || !site_of ? i + offset[d] : i + links_of(i)[d - 2];
  }

 private:
  friend class GridGraph3DTestAccess;  // tests/flow: the search from a given scan counter
  friend class TwoTreeSearch<GridGraph3D, grid_node_st, uint8_t>;
  typedef grid_node_st node_st;

  static constexpr uint8_t PARENT_DIR = PARENT_LINK;

  uint32_t* links_of(uint32_t i) const {
    return link_chunks[i >> CHUNK_SHIFT] + 4 * (i & (NODES_PER_CHUNK - 1));
  }
  // Makes `table` hold `need` chunks of `bytes` each, keeping those it has.
  template <class T>
  void hold_chunks(T**& table, uint32_t& held, uint32_t need, std::size_t bytes);
  // Prepares the records of nodes [from, to), which lie in one chunk, from
  // the cursor (voxel, at), which it moves past them.
  void prepare(uint32_t from, uint32_t to);
  // Makes more records prepared for add_node: waits for the thread that
  // prepares them, or without one prepares the next block.
  void prepare_next();
  // Starts the thread that prepares the records, mapping the node chunks
  // from `first_nodes` on (and the link chunks from `first_links` on), when
  // the grid is large enough and one can be had; finish_preparing stops it
  // and waits for it.
  void start_preparing(uint32_t first_nodes, uint32_t first_links);
  void finish_preparing();

  // What the search asks of the storage (twoTreeSearch.h).
  node_st* node_at(uint32_t i) const {
    return node_chunks[i >> CHUNK_SHIFT] + (i & (NODES_PER_CHUNK - 1));
  }
  template <class F>
  void for_each_node(F f) const {
    for (uint32_t i = 0; i < node_total; i++) f(i, node_at(i));
  }
  uint32_t parent_of(uint32_t i, uint8_t p) const { return neighbour(i, p - PARENT_DIR); }
  template <bool SINK>
  bool grow(uint32_t i, node_st* I, join_st& join);
  template <bool SINK>
  tree_arc_st tree_arc(uint32_t i, node_st* I, uint8_t p);
  template <bool SINK>
  void process_orphan(uint32_t n, node_st* N);

  void maxflow_init();
  int run_search();

  // Records lie in chunks of NODES_PER_CHUNK, so that a large grid can take
  // memory that earlier, smaller blocks gave back; reset keeps them.
  enum : int { CHUNK_SHIFT = 16, NODES_PER_CHUNK = 1 << CHUNK_SHIFT };
  node_st** node_chunks;     // node k is slot k % NODES_PER_CHUNK of chunk k / NODES_PER_CHUNK
  uint32_t node_chunks_held;
  uint32_t** link_chunks;    // with a site map: per node its distances to -y, +y, -z, +z
  uint32_t link_chunks_held;
  const int* site_of;        // the site map, or null: every voxel a node
  uint32_t node_total;       // nodes of the grid
  uint32_t node_count;       // nodes added; the number of the next one
  uint32_t prepared;         // the records add_node may hand out: nodes below it are prepared
  int dims[3];
  uint32_t offset[6];        // neighbour number minus node number, modulo 2^32, per direction
  // The preparing cursor, moved by whoever prepares (the thread while it
  // runs): the voxel and coordinates of the next node to prepare.
  uint32_t voxel;
  int at[3];
  struct preparing_st;
  preparing_st* preparing;   // the thread preparing records ahead, or null
};

inline uint32_t GridGraph3D::add_node() {
  assert(node_count < node_total);
  if (node_count == prepared) prepare_next();
  return node_count++;
}

inline void GridGraph3D::add_tweights(uint32_t i, int cap_source, int cap_sink) {
  add_terminal(node_at(i), cap_source, cap_sink);
}

inline void GridGraph3D::add_edge(uint32_t i, Direction d, int cap, int rev_cap) {
  const uint32_t j = neighbour(i, d);
  assert(i < node_count && (node_at(i)->neighbours >> d & 1) && j < node_count);
  node_at(i)->cap[d] += cap;
  node_at(j)->cap[d ^ 1] += rev_cap;
}

inline void GridGraph3D::add_term2(uint32_t i, Direction d, int A, int B, int C, int D) {
  const uint32_t j = neighbour(i, d);
  add_tweights(i, D, A);
  B -= A;
  C -= D;
  assert(B + C >= 0);
  if (B < 0) {
    add_tweights(i, 0, B);
    add_tweights(j, 0, -B);
    add_edge(i, d, 0, B + C);
  } else if (C < 0) {
    add_tweights(i, 0, -C);
    add_tweights(j, 0, C);
    add_edge(i, d, B + C, 0);
  } else {
    add_edge(i, d, B, C);
  }
}

#endif  // DTICUT_FLOW_GRIDGRAPH3D_H
