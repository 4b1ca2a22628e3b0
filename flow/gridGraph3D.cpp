// The grid's storage and its two-tree search: Graph's search (maxflow.cpp)
// with the arcs of a node found from the grid instead of from lists.
#include "flow/gridGraph3D.h"

#include <climits>

namespace {

// The order in which a node's arcs are scanned: towards the nodes added
// before it (-z, -y, -x), then towards those added after it. Together with
// activating the roots in descending order, this is the order in which Graph
// meets the arcs of a grid built in voxel order with its pairs towards -x,
// -y, -z, which keeps the search's first sweep among nodes it has just passed.
constexpr int kScan[6] = {GridGraph3D::MINUS_Z, GridGraph3D::MINUS_Y, GridGraph3D::MINUS_X,
                          GridGraph3D::PLUS_Z,  GridGraph3D::PLUS_Y,  GridGraph3D::PLUS_X};

}  // namespace

GridGraph3D::GridGraph3D(void (*err_function)(char*))
    : nodes(nullptr),
      capacity(0),
      links(nullptr),
      link_capacity(0),
      site_of(nullptr),
      voxel(0),
      node_total(0),
      node_count(0),
      dims{0, 0, 0},
      at{0, 0, 0},
      offset{0, 0, 0, 0, 0, 0},
      orphan_pool(nullptr),
      on_error(err_function),
      total_flow(0),
      interrupt_check(nullptr),
      interrupt_extra(nullptr),
      interrupt_countdown(INTERRUPT_STEPS),
      search_state(SEARCH_NONE),
      resume_node(NO_NODE) {}

GridGraph3D::~GridGraph3D() {
  delete orphan_pool;
  delete[] reinterpret_cast<char*>(nodes);
  delete[] reinterpret_cast<char*>(links);
}

void GridGraph3D::reset(int dimX, int dimY, int dimZ, const int* siteOf) {
  assert(dimX > 0 && dimY > 0 && dimZ > 0);
  const uint64_t voxels = uint64_t(dimX) * uint64_t(dimY) * uint64_t(dimZ);
  uint64_t total = voxels;
  if (siteOf) {
    total = 0;
    for (uint64_t v = 0; v < voxels; v++) total += siteOf[v] >= 0;
  }
  if (total >= NO_NODE) flow_fatal(on_error, "Not enough memory!");
  if (total > capacity) {
    delete[] reinterpret_cast<char*>(nodes);
    nodes = nullptr;
    capacity = 0;
    nodes = reinterpret_cast<node_st*>(flow_alloc(sizeof(node_st) * total, on_error));
    capacity = total;
  }
  if (siteOf && total > link_capacity) {
    delete[] reinterpret_cast<char*>(links);
    links = nullptr;
    link_capacity = 0;
    links = reinterpret_cast<uint32_t*>(flow_alloc(4 * sizeof(uint32_t) * total, on_error));
    link_capacity = total;
  }
  site_of = siteOf;
  voxel = 0;
  node_total = static_cast<uint32_t>(total);
  node_count = 0;
  dims[0] = dimX;
  dims[1] = dimY;
  dims[2] = dimZ;
  at[0] = at[1] = at[2] = 0;
  const uint32_t stepY = uint32_t(dimX), stepZ = uint32_t(dimX) * uint32_t(dimY);
  offset[MINUS_X] = 0u - 1u;
  offset[PLUS_X] = 1u;
  offset[MINUS_Y] = 0u - stepY;
  offset[PLUS_Y] = stepY;
  offset[MINUS_Z] = 0u - stepZ;
  offset[PLUS_Z] = stepZ;
  total_flow = 0;
  // Left by an exception out of maxflow (an error function that throws).
  delete orphan_pool;
  orphan_pool = nullptr;
  search_state = SEARCH_NONE;
}

// The next site of the map becomes node n: its neighbours are the sites
// around its voxel, and along x, sites being numbered in voxel order, the
// one before or after it.
void GridGraph3D::add_site_node(node_st* n) {
  while (site_of[voxel] < 0) {
    ++voxel;
    if (++at[0] == dims[0]) {
      at[0] = 0;
      if (++at[1] == dims[1]) at[1] = 0, ++at[2];
    }
  }
  const uint32_t i = node_count, v = voxel;
  unsigned around = 0;
  uint32_t* to = links + 4 * std::size_t(i);
  for (int d = 0; d < 6; d++) {
    const int axis = d >> 1;
    const bool exists = d & 1 ? at[axis] < dims[axis] - 1 : at[axis] > 0;
    if (!exists) continue;
    const int j = site_of[v + offset[d]];
    if (j < 0) continue;
    around |= 1u << d;
    if (axis > 0) to[d - 2] = uint32_t(j) - i;
  }
  n->neighbours = static_cast<uint8_t>(around);
  ++voxel;
  if (++at[0] == dims[0]) {
    at[0] = 0;
    if (++at[1] == dims[1]) at[1] = 0, ++at[2];
  }
}

int GridGraph3D::maxflow() {
  assert(node_count == node_total);
  if (search_state != SEARCH_INTERRUPTED) maxflow_init();
  return run_search();
}

void GridGraph3D::maxflow_init() {
  active_first[0] = active_last[0] = NO_NODE;
  active_first[1] = active_last[1] = NO_NODE;
  orphans_head = orphans_tail = nullptr;
  for (uint32_t i = node_total; i-- > 0;) {
    node_st* I = nodes + i;
    I->active_next = 0;
    I->stamp = 0;
    I->in_sink_tree = I->term_cap < 0 ? 1 : 0;
    if (I->term_cap != 0) {
      I->parent = PARENT_TERMINAL;
      activate(i, I);
      I->depth = 1;
    } else {
      I->parent = PARENT_NONE;
      I->depth = 0;
    }
  }
  cur_stamp = 0;
}

inline void GridGraph3D::activate(uint32_t j, node_st* J) {
  if (J->active_next) return;
  if (active_last[1] != NO_NODE) {
    nodes[active_last[1]].active_next = j + 1;
  } else {
    active_first[1] = j;
  }
  active_last[1] = j;
  J->active_next = j + 1;
}

inline uint32_t GridGraph3D::next_active() {
  for (;;) {
    uint32_t i = active_first[0];
    if (i == NO_NODE) {
      i = active_first[0] = active_first[1];
      active_last[0] = active_last[1];
      active_first[1] = active_last[1] = NO_NODE;
      if (i == NO_NODE) return NO_NODE;
    }
    node_st* I = nodes + i;
    if (I->active_next == i + 1) {
      active_first[0] = active_last[0] = NO_NODE;
    } else {
      active_first[0] = I->active_next - 1;
    }
    I->active_next = 0;
    if (I->parent != PARENT_NONE) return i;
  }
}

// As Graph::restamp: every depth becomes stale and equal, so no parent chain
// can close into a cycle.
void GridGraph3D::restamp() {
  for (uint32_t i = 0; i < node_total; i++) {
    nodes[i].stamp = 0;
    nodes[i].depth = 0;
  }
  cur_stamp = 1;
}

template <bool SINK>
inline bool GridGraph3D::tree_link(node_st* I, uint32_t j, node_st* J, uint8_t link) {
  if (J->parent != PARENT_NONE) {
    if (J->in_sink_tree != SINK) return false;
    if (J->stamp > I->stamp || J->depth <= I->depth) return true;
  } else {
    J->in_sink_tree = SINK;
    activate(j, J);
  }
  J->parent = link;
  J->stamp = I->stamp;
  J->depth = I->depth + 1;
  return true;
}

// Grows i's tree over each arc with residual capacity away from its root;
// on meeting the other tree, `join` gets the path's ends and the joining
// arc's residuals (source side to sink side first).
template <bool SINK>
inline bool GridGraph3D::grow(uint32_t i, node_st* I, join_st& join) {
  const unsigned around = I->neighbours;
  for (int d : kScan) {
    if (!(around >> d & 1)) continue;
    const uint32_t j = neighbour(i, d);
    node_st* J = nodes + j;
    if (!(SINK ? J->cap[d ^ 1] : I->cap[d])) continue;
    if (tree_link<SINK>(I, j, J, static_cast<uint8_t>(PARENT_DIR + (d ^ 1)))) continue;
    join = SINK ? join_st{j, i, &J->cap[d ^ 1], &I->cap[d]} : join_st{i, j, &I->cap[d], &J->cap[d ^ 1]};
    return true;
  }
  return false;
}

int GridGraph3D::run_search() {
  orphan_pool = new (std::nothrow) DBlock<nodeptr_st>(ORPHAN_PTRS_PER_BLOCK, on_error);
  if (!orphan_pool) flow_fatal(on_error, "Not enough memory!");

  uint32_t current = search_state == SEARCH_INTERRUPTED ? resume_node : NO_NODE;
  search_state = SEARCH_NONE;
  for (;;) {
    if (interrupt_check && --interrupt_countdown == 0) {
      interrupt_countdown = INTERRUPT_STEPS;
      if (interrupt_check(interrupt_extra)) {
        search_state = SEARCH_INTERRUPTED;
        resume_node = current;
        break;
      }
    }
    if (current != NO_NODE) {
      node_st* C = nodes + current;
      C->active_next = 0;
      if (C->parent == PARENT_NONE) current = NO_NODE;
    }
    if (current == NO_NODE) {
      current = next_active();
      if (current == NO_NODE) break;
    }
    const uint32_t i = current;
    node_st* I = nodes + i;

    join_st join;
    const bool found = I->in_sink_tree ? grow<true>(i, I, join) : grow<false>(i, I, join);

    if (cur_stamp == INT_MAX) {
      restamp();
    } else {
      ++cur_stamp;
    }

    if (found) {
      I->active_next = i + 1;
      augment(join);
      adopt_orphans();
    } else {
      current = NO_NODE;
    }
  }

  delete orphan_pool;
  orphan_pool = nullptr;
  return total_flow;
}

inline void GridGraph3D::orphan_front(uint32_t n, node_st* N) {
  N->parent = PARENT_ORPHAN;
  nodeptr_st* np = orphan_pool->New();
  np->node = n;
  np->link = orphans_head;
  orphans_head = np;
}

inline void GridGraph3D::orphan_back(uint32_t n, node_st* N) {
  N->parent = PARENT_ORPHAN;
  nodeptr_st* np = orphan_pool->New();
  np->node = n;
  np->link = nullptr;
  if (orphans_tail) {
    orphans_tail->link = np;
  } else {
    orphans_head = np;
  }
  orphans_tail = np;
}

// Along a source-tree link flow goes from the parent j into i (j's arc in
// direction d ^ 1); along a sink-tree link from i into the parent (i's arc
// in direction d).
template <bool SINK>
inline int GridGraph3D::path_bottleneck(uint32_t i, int b) {
  node_st* I = nodes + i;
  for (uint8_t p = I->parent; p != PARENT_TERMINAL; p = I->parent) {
    const int d = p - PARENT_DIR;
    const uint32_t j = neighbour(i, d);
    node_st* J = nodes + j;
    const int cap = SINK ? I->cap[d] : J->cap[d ^ 1];
    if (b > cap) b = cap;
    i = j;
    I = J;
  }
  const int root = SINK ? -I->term_cap : I->term_cap;
  return b < root ? b : root;
}

template <bool SINK>
inline void GridGraph3D::push_path(uint32_t i, int b) {
  node_st* I = nodes + i;
  for (uint8_t p = I->parent; p != PARENT_TERMINAL; p = I->parent) {
    const int d = p - PARENT_DIR;
    const uint32_t j = neighbour(i, d);
    node_st* J = nodes + j;
    int& used = SINK ? I->cap[d] : J->cap[d ^ 1];
    int& freed = SINK ? J->cap[d ^ 1] : I->cap[d];
    freed += b;
    used -= b;
    if (!used) orphan_front(i, I);
    i = j;
    I = J;
  }
  I->term_cap += SINK ? b : -b;
  if (!I->term_cap) orphan_front(i, I);
}

void GridGraph3D::augment(const join_st& join) {
  const int b = path_bottleneck<true>(join.t, path_bottleneck<false>(join.s, *join.cap_st));
  *join.cap_ts += b;
  *join.cap_st -= b;
  push_path<false>(join.s, b);
  push_path<true>(join.t, b);
  total_flow += b;
}

void GridGraph3D::adopt_orphans() {
  while (orphans_head) {
    nodeptr_st* rest = orphans_head->link;
    orphans_head->link = nullptr;
    while (orphans_head) {
      nodeptr_st* np = orphans_head;
      orphans_head = np->link;
      const uint32_t n = np->node;
      orphan_pool->Release(np);
      if (!orphans_head) orphans_tail = nullptr;
      node_st* N = nodes + n;
      if (N->in_sink_tree) {
        process_orphan<true>(n, N);
      } else {
        process_orphan<false>(n, N);
      }
    }
    orphans_head = rest;
  }
}

inline int GridGraph3D::origin_depth(uint32_t j) {
  int d = 0;
  for (uint32_t k = j;;) {
    node_st* K = nodes + k;
    if (K->stamp == cur_stamp) return d + K->depth;
    const uint8_t p = K->parent;
    ++d;
    if (p == PARENT_TERMINAL) {
      K->stamp = cur_stamp;
      K->depth = 1;
      return d;
    }
    if (p == PARENT_ORPHAN) return DEPTH_INFINITE;
    k = neighbour(k, p - PARENT_DIR);
  }
}

// As Graph::process_orphan: the neighbour of n's tree with residual capacity
// towards n's terminal side whose chain is shortest becomes n's parent (ties
// keep the one scanned first); without one n becomes free, the neighbours
// that could feed it are activated and its children become orphans.
template <bool SINK>
void GridGraph3D::process_orphan(uint32_t n, node_st* N) {
  uint8_t best = PARENT_NONE;
  int d_min = DEPTH_INFINITE;
  const unsigned around = N->neighbours;
  for (int d : kScan) {
    if (!(around >> d & 1)) continue;
    const uint32_t j = neighbour(n, d);
    node_st* J = nodes + j;
    if (!(SINK ? N->cap[d] : J->cap[d ^ 1])) continue;
    if (J->in_sink_tree != SINK || J->parent == PARENT_NONE) continue;
    int depth = origin_depth(j);
    if (depth >= DEPTH_INFINITE) continue;
    if (depth < d_min) {
      best = static_cast<uint8_t>(PARENT_DIR + d);
      d_min = depth;
    }
    for (uint32_t k = j;;) {
      node_st* K = nodes + k;
      if (K->stamp == cur_stamp) break;
      K->stamp = cur_stamp;
      K->depth = depth--;
      k = neighbour(k, K->parent - PARENT_DIR);
    }
  }

  N->parent = best;
  if (best != PARENT_NONE) {
    N->stamp = cur_stamp;
    N->depth = d_min + 1;
    return;
  }

  N->stamp = 0;
  for (int d : kScan) {
    if (!(around >> d & 1)) continue;
    const uint32_t j = neighbour(n, d);
    node_st* J = nodes + j;
    const uint8_t p = J->parent;
    if (J->in_sink_tree != SINK || p == PARENT_NONE) continue;
    if (SINK ? N->cap[d] : J->cap[d ^ 1]) activate(j, J);
    // j hangs under n when its parent lies in the direction back to n.
    if (p == PARENT_DIR + (d ^ 1)) orphan_back(j, J);
  }
}
