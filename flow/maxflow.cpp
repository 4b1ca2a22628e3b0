// The two-tree augmenting-path search: growth, augmentation and adoption.
// Nodes are handled by number (i) together with their record (I).
#include <climits>

#include "flow/graph.h"

int Graph::maxflow() {
  if (search_state != SEARCH_INTERRUPTED) {
    prepare_graph();
    maxflow_init();
  }
  return run_search();
}

void Graph::maxflow_init() {
  active_first[0] = active_last[0] = NO_NODE;
  active_first[1] = active_last[1] = NO_NODE;
  orphans_head = orphans_tail = nullptr;
  auto init = [this](uint32_t i, node_st* I) {
    I->active_next = 0;
    I->stamp = 0;
    // A free node's tree flag is never read while it is free; clearing it
    // keeps it defined.
    I->in_sink_tree = I->term_cap < 0 ? 1 : 0;
    if (I->term_cap != 0) {
      I->parent = PARENT_TERMINAL;
      activate(i, I);
      I->depth = 1;
    } else {
      I->parent = PARENT_NONE;
    }
  };
  // The roots are activated against the direction the arcs came in, so that
  // the first sweep meets, first in every list, neighbours it has passed.
  if (tail_trend > 0) {
    for (uint32_t i = node_count; i-- > 0;) init(i, node_at(i));
  } else {
    for_each_node(init);
  }
  cur_stamp = 0;
}

// Appends j to list 1 unless it is in a list already (or is the node being
// grown, whose active_next names itself).
inline void Graph::activate(uint32_t j, node_st* J) {
  if (J->active_next) return;
  if (active_last[1] != NO_NODE) {
    node_at(active_last[1])->active_next = j + 1;
  } else {
    active_first[1] = j;
  }
  active_last[1] = j;
  J->active_next = j + 1;
}

// Nodes are handled in generations: list 1 becomes list 0 only when list 0 is
// used up. Nodes that have become free since they were activated are skipped.
inline uint32_t Graph::next_active() {
  for (;;) {
    uint32_t i = active_first[0];
    if (i == NO_NODE) {
      i = active_first[0] = active_first[1];
      active_last[0] = active_last[1];
      active_first[1] = active_last[1] = NO_NODE;
      if (i == NO_NODE) return NO_NODE;
    }
    node_st* I = node_at(i);
    if (I->active_next == i + 1) {
      active_first[0] = active_last[0] = NO_NODE;
    } else {
      active_first[0] = I->active_next - 1;
    }
    I->active_next = 0;
    if (I->parent != PARENT_NONE) return i;
  }
}

// Stamps only steer the search (a stale stamp costs a longer walk), so when
// cur_stamp reaches the end of its range every node becomes stale and the
// count starts again, instead of overflowing. The depths are levelled too:
// going up any chain of parents (stamp, -depth) never decreases, which is
// what keeps tree_link from hanging a node under its own descendant. Equal
// stamps over stale depths would break that and close a cycle of parents;
// equal depths keep it, and no node is re-hung until its depth is known
// again.
void Graph::restamp() {
  for_each_node([](uint32_t, node_st* I) {
    I->stamp = 0;
    I->depth = 0;
  });
  cur_stamp = 1;
}

// j is reached from I, which lies in the tree given by SINK, through `link`
// (j's parent code if j hangs under I). A free j joins the tree and is
// activated; a j of the same tree is re-hung under I when I's depth is known
// at least as recently as j's and is smaller. Returns false when j lies in
// the other tree.
template <bool SINK>
inline bool Graph::tree_link(node_st* I, uint32_t j, node_st* J, uint32_t link) {
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

// Grows the tree of i over its outgoing arcs and then its incoming arcs, in
// list order. An arc qualifies when it has residual capacity away from the
// root of i's tree. On meeting the other tree, `join` gets the path's ends and
// the joining arc's residual fields (source side to sink side first), and the
// result is true. The source tree stops there; the sink tree stops scanning
// the outgoing arcs but still grows over the incoming ones, where a path
// found replaces the earlier one.
template <bool SINK>
inline bool Graph::grow(uint32_t i, node_st* I, join_st& join) {
  bool found = false;
  for (uint32_t k = I->first_out; k != NO_ARC;) {
    arc_st* a = arc_at(k);
    const uint32_t link = head_link(k);
    k = a->next_out;
    if (!(SINK ? a->res_rev_cap : a->res_cap)) continue;
    const uint32_t j = i + a->head_offset;
    if (tree_link<SINK>(I, j, node_at(j), link)) continue;
    if (SINK) {
      join = {j, i, &a->res_rev_cap, &a->res_cap};
      found = true;
      break;
    }
    join = {i, j, &a->res_cap, &a->res_rev_cap};
    return true;
  }
  for (uint32_t k = I->first_in; k != NO_ARC;) {
    arc_st* b = arc_at(k);
    const uint32_t link = tail_link(k);
    k = b->next_in;
    if (!(SINK ? b->res_cap : b->res_rev_cap)) continue;
    const uint32_t j = i - b->head_offset;
    if (tree_link<SINK>(I, j, node_at(j), link)) continue;
    join = SINK ? join_st{j, i, &b->res_cap, &b->res_rev_cap}
                : join_st{i, j, &b->res_rev_cap, &b->res_cap};
    return true;
  }
  return found;
}

int Graph::run_search() {
  orphan_pool = new (std::nothrow) DBlock<nodeptr_st>(ORPHAN_PTRS_PER_BLOCK, on_error);
  if (!orphan_pool) flow_fatal(on_error, "Not enough memory!");

  // Between two steps no orphan is pending and every tree is whole, so an
  // interrupted search resumes from here with the node it was growing.
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
      node_st* C = node_at(current);
      C->active_next = 0;
      if (C->parent == PARENT_NONE) current = NO_NODE;
    }
    if (current == NO_NODE) {
      current = next_active();
      if (current == NO_NODE) break;
    }
    const uint32_t i = current;
    node_st* I = node_at(i);

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

inline void Graph::orphan_front(uint32_t n, node_st* N) {
  N->parent = PARENT_ORPHAN;
  nodeptr_st* np = orphan_pool->New();
  np->node = n;
  np->link = orphans_head;
  orphans_head = np;
}

inline void Graph::orphan_back(uint32_t n, node_st* N) {
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

// The smaller of b and the residual capacities along the tree path from i up
// to its terminal, in the direction the flow takes in that tree.
template <bool SINK>
inline int Graph::path_bottleneck(uint32_t i, int b) {
  node_st* I = node_at(i);
  for (uint32_t p = I->parent; p != PARENT_TERMINAL; p = I->parent) {
    const bool marked = (p - PARENT_ARC) & 1;
    arc_st* a = arc_at((p - PARENT_ARC) >> 1);
    const int cap = marked != SINK ? a->res_cap : a->res_rev_cap;
    if (b > cap) b = cap;
    i = marked ? i - a->head_offset : i + a->head_offset;
    I = node_at(i);
  }
  const int root = SINK ? -I->term_cap : I->term_cap;
  return b < root ? b : root;
}

// Pushes b along the tree path from i up to its terminal. A link that runs
// dry orphans the node below it (at the front of the list); the walk goes on
// through the arc it has just read, so a new orphan does not stop it.
template <bool SINK>
inline void Graph::push_path(uint32_t i, int b) {
  node_st* I = node_at(i);
  for (uint32_t p = I->parent; p != PARENT_TERMINAL; p = I->parent) {
    const uint32_t below = i;
    node_st* B = I;
    const bool marked = (p - PARENT_ARC) & 1;
    arc_st* a = arc_at((p - PARENT_ARC) >> 1);
    int& used = marked != SINK ? a->res_cap : a->res_rev_cap;
    int& freed = marked != SINK ? a->res_rev_cap : a->res_cap;
    freed += b;
    used -= b;
    i = marked ? i - a->head_offset : i + a->head_offset;
    I = node_at(i);
    if (!used) orphan_front(below, B);
  }
  I->term_cap += SINK ? b : -b;
  if (!I->term_cap) orphan_front(i, I);
}

void Graph::augment(const join_st& join) {
  const int b = path_bottleneck<true>(join.t, path_bottleneck<false>(join.s, *join.cap_st));
  *join.cap_ts += b;
  *join.cap_st -= b;
  push_path<false>(join.s, b);
  push_path<true>(join.t, b);
  total_flow += b;
}

// The orphans of one augmentation are handled in list order (the one made
// last first); orphans made while handling one of them join at the back and
// are all handled before the next orphan of the augmentation.
void Graph::adopt_orphans() {
  while (orphans_head) {
    nodeptr_st* rest = orphans_head->link;
    orphans_head->link = nullptr;
    while (orphans_head) {
      nodeptr_st* np = orphans_head;
      orphans_head = np->link;
      const uint32_t n = np->node;
      orphan_pool->Release(np);
      if (!orphans_head) orphans_tail = nullptr;
      node_st* N = node_at(n);
      if (N->in_sink_tree) {
        process_sink_orphan(n, N);
      } else {
        process_source_orphan(n, N);
      }
    }
    orphans_head = rest;
  }
}

// Depth of j below its terminal if j's chain of parents reaches the terminal,
// DEPTH_INFINITE if it meets an orphan. A chain that meets a node confirmed at
// cur_stamp ends there; a root reached is confirmed with depth 1.
inline int Graph::origin_depth(uint32_t j) {
  int d = 0;
  for (uint32_t k = j;;) {
    node_st* K = node_at(k);
    if (K->stamp == cur_stamp) return d + K->depth;
    const uint32_t p = K->parent;
    ++d;
    if (p == PARENT_TERMINAL) {
      K->stamp = cur_stamp;
      K->depth = 1;
      return d;
    }
    if (p == PARENT_ORPHAN) return DEPTH_INFINITE;
    k = parent_of(k, p);
  }
}

// Orphan n of the tree given by SINK looks for the neighbour j of its tree,
// linked by residual capacity towards n's terminal side (from j into n in the
// source tree, from n into j in the sink tree), whose chain reaches the
// terminal in the fewest links; ties keep the earlier arc. Every chain checked
// is left confirmed at cur_stamp. Without a parent n becomes free: its
// neighbours of the tree that could feed it are activated and its children
// become orphans at the back.
template <bool SINK>
void Graph::process_orphan(uint32_t n, node_st* N) {
  uint32_t best = PARENT_NONE;
  int d_min = DEPTH_INFINITE;
  auto consider = [&](uint32_t j, uint32_t link) {
    node_st* J = node_at(j);
    if (J->in_sink_tree != SINK || J->parent == PARENT_NONE) return;
    int d = origin_depth(j);
    if (d >= DEPTH_INFINITE) return;
    if (d < d_min) {
      best = link;
      d_min = d;
    }
    for (uint32_t k = j;;) {
      node_st* K = node_at(k);
      if (K->stamp == cur_stamp) break;
      K->stamp = cur_stamp;
      K->depth = d--;
      k = parent_of(k, K->parent);
    }
  };
  for (uint32_t k = N->first_out; k != NO_ARC;) {
    arc_st* x = arc_at(k);
    const uint32_t link = tail_link(k);
    k = x->next_out;
    if (SINK ? x->res_cap : x->res_rev_cap) consider(n + x->head_offset, link);
  }
  for (uint32_t k = N->first_in; k != NO_ARC;) {
    arc_st* b = arc_at(k);
    const uint32_t link = head_link(k);
    k = b->next_in;
    if (SINK ? b->res_rev_cap : b->res_cap) consider(n - b->head_offset, link);
  }

  N->parent = best;
  if (best != PARENT_NONE) {
    N->stamp = cur_stamp;
    N->depth = d_min + 1;
    return;
  }

  N->stamp = 0;
  for (uint32_t k = N->first_out; k != NO_ARC;) {
    arc_st* x = arc_at(k);
    k = x->next_out;
    const uint32_t j = n + x->head_offset;
    node_st* J = node_at(j);
    const uint32_t p = J->parent;
    if (J->in_sink_tree != SINK || p == PARENT_NONE) continue;
    if (SINK ? x->res_cap : x->res_rev_cap) activate(j, J);
    // j hangs under n when p is a marked arc (j its head) whose tail is n.
    if (p >= PARENT_ARC && ((p - PARENT_ARC) & 1) && parent_of(j, p) == n) orphan_back(j, J);
  }
  for (uint32_t k = N->first_in; k != NO_ARC;) {
    arc_st* b = arc_at(k);
    k = b->next_in;
    const uint32_t j = n - b->head_offset;
    node_st* J = node_at(j);
    const uint32_t p = J->parent;
    if (J->in_sink_tree != SINK || p == PARENT_NONE) continue;
    if (SINK ? b->res_rev_cap : b->res_cap) activate(j, J);
    // j hangs under n when p is an unmarked arc (j its tail) whose head is n.
    if (p >= PARENT_ARC && !((p - PARENT_ARC) & 1) && parent_of(j, p) == n) orphan_back(j, J);
  }
}

void Graph::process_source_orphan(uint32_t n, node_st* N) { process_orphan<false>(n, N); }

void Graph::process_sink_orphan(uint32_t n, node_st* N) { process_orphan<true>(n, N); }
