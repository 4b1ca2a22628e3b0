// The two-tree augmenting-path search: growth, augmentation and adoption.
#include <climits>

#include "flow/graph.h"

int Graph::maxflow() {
  prepare_graph();
  maxflow_init();
  return run_search();
}

void Graph::maxflow_init() {
  active_first[0] = active_last[0] = nullptr;
  active_first[1] = active_last[1] = nullptr;
  orphans_head = orphans_tail = nullptr;
  for (node_chunk* nc = node_blocks; nc; nc = nc->next_chunk) {
    for (node_st* i = nc->nodes; i < nc->first_free; ++i) {
      i->active_next = nullptr;
      i->stamp = 0;
      // A free node's tree flag is never read while it is free; clearing it
      // keeps it defined.
      i->in_sink_tree = i->term_cap < 0 ? 1 : 0;
      if (i->term_cap != 0) {
        i->parent_arc = from_bits<arc_st>(PARENT_TERMINAL);
        activate(i);
        i->depth = 1;
      } else {
        i->parent_arc = nullptr;
      }
    }
  }
  cur_stamp = 0;
}

// Appends j to list 1 unless it is in a list already (or is the node being
// grown, whose active_next points at itself).
inline void Graph::activate(node_st* j) {
  if (j->active_next) return;
  if (active_last[1]) {
    active_last[1]->active_next = j;
  } else {
    active_first[1] = j;
  }
  active_last[1] = j;
  j->active_next = j;
}

// Nodes are handled in generations: list 1 becomes list 0 only when list 0 is
// used up. Nodes that have become free since they were activated are skipped.
inline Graph::node_st* Graph::next_active() {
  for (;;) {
    node_st* i = active_first[0];
    if (!i) {
      i = active_first[0] = active_first[1];
      active_last[0] = active_last[1];
      active_first[1] = active_last[1] = nullptr;
      if (!i) return nullptr;
    }
    if (i->active_next == i) {
      active_first[0] = active_last[0] = nullptr;
    } else {
      active_first[0] = i->active_next;
    }
    i->active_next = nullptr;
    if (i->parent_arc) return i;
  }
}

// Stamps only steer the search (a stale stamp costs a longer walk), so when
// cur_stamp reaches the end of its range every node becomes stale and the
// count starts again, instead of overflowing.
void Graph::restamp() {
  for (node_chunk* nc = node_blocks; nc; nc = nc->next_chunk) {
    for (node_st* i = nc->nodes; i < nc->first_free; ++i) i->stamp = 0;
  }
  cur_stamp = 1;
}

// j is reached from i, which lies in the tree given by SINK, through `link`
// (j's parent_arc if j hangs under i). A free j joins the tree and is
// activated; a j of the same tree is re-hung under i when i's depth is known
// at least as recently as j's and is smaller. Returns false when j lies in
// the other tree.
template <bool SINK>
inline bool Graph::tree_link(node_st* i, node_st* j, arc_st* link) {
  if (j->parent_arc) {
    if ((j->in_sink_tree != 0) != SINK) return false;
    if (j->stamp > i->stamp || j->depth <= i->depth) return true;
  } else {
    j->in_sink_tree = SINK;
    activate(j);
  }
  j->parent_arc = link;
  j->stamp = i->stamp;
  j->depth = i->depth + 1;
  return true;
}

// Grows the tree of i over its outgoing arcs and then its incoming references,
// in range order. An arc qualifies when it has residual capacity away from
// the root of i's tree. On meeting the other tree, `join` gets the path's ends
// and the joining arc's residual fields (source side to sink side first). The
// source tree stops there; the sink tree stops scanning the outgoing arcs but
// still grows over the incoming references, where a path found replaces the
// earlier one.
template <bool SINK>
inline void Graph::grow(node_st* i, join_st& join) {
  arc_st* a;
  arc_st* a_end;
  out_range(i, a, a_end);
  for (; a < a_end; ++a) {
    if (!(SINK ? a->res_rev_cap : a->res_cap)) continue;
    node_st* j = shift(i, a->head_offset);
    if (tree_link<SINK>(i, j, from_bits<arc_st>(bits(a) + 1))) continue;
    if (SINK) {
      join = {j, i, &a->res_rev_cap, &a->res_cap};
      break;
    }
    join = {i, j, &a->res_cap, &a->res_rev_cap};
    return;
  }
  arc_ref_st* r;
  arc_ref_st* r_end;
  in_range(i, r, r_end);
  for (; r < r_end; ++r) {
    arc_st* b = r->arc;
    if (!(SINK ? b->res_cap : b->res_rev_cap)) continue;
    node_st* j = unshift(i, b->head_offset);
    if (tree_link<SINK>(i, j, b)) continue;
    join = SINK ? join_st{j, i, &b->res_cap, &b->res_rev_cap}
                : join_st{i, j, &b->res_rev_cap, &b->res_cap};
    return;
  }
}

int Graph::run_search() {
  orphan_pool = new (std::nothrow) DBlock<nodeptr_st>(ORPHAN_PTRS_PER_BLOCK, on_error);
  if (!orphan_pool) flow_fatal(on_error, "Not enough memory!");

  node_st* current = nullptr;
  for (;;) {
    if (current) {
      current->active_next = nullptr;
      if (!current->parent_arc) current = nullptr;
    }
    if (!current) {
      current = next_active();
      if (!current) break;
    }
    node_st* i = current;

    join_st join = {nullptr, nullptr, nullptr, nullptr};
    if (i->in_sink_tree) {
      grow<true>(i, join);
    } else {
      grow<false>(i, join);
    }

    if (cur_stamp == INT_MAX) {
      restamp();
    } else {
      ++cur_stamp;
    }

    if (join.t) {
      i->active_next = i;
      augment(join.s, join.t, join.cap_st, join.cap_ts);
      adopt_orphans();
    } else {
      current = nullptr;
    }
  }

  delete orphan_pool;
  orphan_pool = nullptr;
  return total_flow;
}

inline void Graph::orphan_front(node_st* n) {
  n->parent_arc = from_bits<arc_st>(PARENT_ORPHAN);
  nodeptr_st* np = orphan_pool->New();
  np->node = n;
  np->link = orphans_head;
  orphans_head = np;
}

inline void Graph::orphan_back(node_st* n) {
  n->parent_arc = from_bits<arc_st>(PARENT_ORPHAN);
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
inline int Graph::path_bottleneck(node_st* i, int b) {
  for (arc_st* p = i->parent_arc; bits(p) != PARENT_TERMINAL; p = i->parent_arc) {
    const bool marked = bits(p) & 1;
    arc_st* a = marked ? from_bits<arc_st>(bits(p) - 1) : p;
    const int cap = marked != SINK ? a->res_cap : a->res_rev_cap;
    if (b > cap) b = cap;
    i = marked ? unshift(i, a->head_offset) : shift(i, a->head_offset);
  }
  const int root = SINK ? -i->term_cap : i->term_cap;
  return b < root ? b : root;
}

// Pushes b along the tree path from i up to its terminal. A link that runs
// dry orphans the node below it (at the front of the list); the walk goes on
// through the arc it has just read, so a new orphan does not stop it.
template <bool SINK>
inline void Graph::push_path(node_st* i, int b) {
  for (arc_st* p = i->parent_arc; bits(p) != PARENT_TERMINAL; p = i->parent_arc) {
    node_st* below = i;
    const bool marked = bits(p) & 1;
    arc_st* a = marked ? from_bits<arc_st>(bits(p) - 1) : p;
    int& used = marked != SINK ? a->res_cap : a->res_rev_cap;
    int& freed = marked != SINK ? a->res_rev_cap : a->res_cap;
    freed += b;
    used -= b;
    i = marked ? unshift(i, a->head_offset) : shift(i, a->head_offset);
    if (!used) orphan_front(below);
  }
  i->term_cap += SINK ? b : -b;
  if (!i->term_cap) orphan_front(i);
}

void Graph::augment(node_st* s, node_st* t, int* cap_st, int* cap_ts) {
  const int b = path_bottleneck<true>(t, path_bottleneck<false>(s, *cap_st));
  *cap_ts += b;
  *cap_st -= b;
  push_path<false>(s, b);
  push_path<true>(t, b);
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
      node_st* n = np->node;
      orphan_pool->Release(np);
      if (!orphans_head) orphans_tail = nullptr;
      if (n->in_sink_tree) {
        process_sink_orphan(n);
      } else {
        process_source_orphan(n);
      }
    }
    orphans_head = rest;
  }
}

// Depth of j below its terminal if j's chain of parents reaches the terminal,
// DEPTH_INFINITE if it meets an orphan. A chain that meets a node confirmed at
// cur_stamp ends there; a root reached is confirmed with depth 1.
inline int Graph::origin_depth(node_st* j) {
  int d = 0;
  for (node_st* k = j;;) {
    if (k->stamp == cur_stamp) return d + k->depth;
    arc_st* p = k->parent_arc;
    ++d;
    if (bits(p) == PARENT_TERMINAL) {
      k->stamp = cur_stamp;
      k->depth = 1;
      return d;
    }
    if (bits(p) == PARENT_ORPHAN) return DEPTH_INFINITE;
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
void Graph::process_orphan(node_st* n) {
  arc_st* a;
  arc_st* a_end;
  arc_ref_st* r;
  arc_ref_st* r_end;
  out_range(n, a, a_end);
  in_range(n, r, r_end);

  arc_st* best = nullptr;
  int d_min = DEPTH_INFINITE;
  auto consider = [&](node_st* j, arc_st* link) {
    if ((j->in_sink_tree != 0) != SINK || !j->parent_arc) return;
    int d = origin_depth(j);
    if (d >= DEPTH_INFINITE) return;
    if (d < d_min) {
      best = link;
      d_min = d;
    }
    for (node_st* k = j; k->stamp != cur_stamp; k = parent_of(k, k->parent_arc)) {
      k->stamp = cur_stamp;
      k->depth = d--;
    }
  };
  for (arc_st* x = a; x < a_end; ++x) {
    if (SINK ? x->res_cap : x->res_rev_cap) consider(shift(n, x->head_offset), x);
  }
  for (arc_ref_st* y = r; y < r_end; ++y) {
    arc_st* b = y->arc;
    if (SINK ? b->res_rev_cap : b->res_cap) {
      consider(unshift(n, b->head_offset), from_bits<arc_st>(bits(b) + 1));
    }
  }

  n->parent_arc = best;
  if (best) {
    n->stamp = cur_stamp;
    n->depth = d_min + 1;
    return;
  }

  n->stamp = 0;
  for (arc_st* x = a; x < a_end; ++x) {
    node_st* j = shift(n, x->head_offset);
    arc_st* p = j->parent_arc;
    if ((j->in_sink_tree != 0) != SINK || !p) continue;
    if (SINK ? x->res_cap : x->res_rev_cap) activate(j);
    // j hangs under n when p is a marked arc (j its head) whose tail is n.
    if ((bits(p) & 1) && bits(p) != PARENT_TERMINAL &&
        unshift(j, from_bits<arc_st>(bits(p) - 1)->head_offset) == n) {
      orphan_back(j);
    }
  }
  for (arc_ref_st* y = r; y < r_end; ++y) {
    arc_st* b = y->arc;
    node_st* j = unshift(n, b->head_offset);
    arc_st* p = j->parent_arc;
    if ((j->in_sink_tree != 0) != SINK || !p) continue;
    if (SINK ? b->res_rev_cap : b->res_cap) activate(j);
    // j hangs under n when p is an unmarked arc (j its tail) whose head is n.
    if (!(bits(p) & 1) && bits(p) != PARENT_ORPHAN && shift(j, p->head_offset) == n) {
      orphan_back(j);
    }
  }
}

void Graph::process_source_orphan(node_st* n) { process_orphan<false>(n); }

void Graph::process_sink_orphan(node_st* n) { process_orphan<true>(n); }
