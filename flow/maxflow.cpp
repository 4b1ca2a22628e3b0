// The general graph's part of the two-tree search (twoTreeSearch.h): the
// first sweep, growth over its arc lists, tree links as arcs, and the
// orphans' scans. Nodes are handled by number (i) together with their record (I).
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
  start_search();
  // The roots are activated against the direction the arcs came in, so that
  // the first sweep meets, first in every list, neighbours it has passed.
  if (tail_trend > 0) {
    for (uint32_t i = node_count; i-- > 0;) init_node(i, node_at(i));
  } else {
    for_each_node([this](uint32_t i, node_st* I) { init_node(i, I); });
  }
  cur_stamp = 0;
}

int Graph::run_search() { return search(); }

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

// Node i hangs through link p: the parent is the arc's other end, and the
// flow uses the residual towards the root's side (into i in the source
// tree, out of i in the sink tree).
template <bool SINK>
inline Graph::tree_arc_st Graph::tree_arc(uint32_t i, node_st*, uint32_t p) {
  const bool marked = (p - PARENT_ARC) & 1;
  arc_st* a = arc_at((p - PARENT_ARC) >> 1);
  int* forward = &a->res_cap;
  int* backward = &a->res_rev_cap;
  return {marked ? i - a->head_offset : i + a->head_offset, marked != SINK ? forward : backward,
          marked != SINK ? backward : forward};
}

// Orphan n of the tree given by SINK looks for a parent among the ends of
// its outgoing and then its incoming arcs, in list order (twoTreeSearch.h):
// linked by residual capacity towards n's terminal side (from j into n in
// the source tree, from n into j in the sink tree).
template <bool SINK>
void Graph::process_orphan(uint32_t n, node_st* N) {
  adoption_st adoption;
  for (uint32_t k = N->first_out; k != NO_ARC;) {
    arc_st* x = arc_at(k);
    const uint32_t link = tail_link(k);
    k = x->next_out;
    if (SINK ? x->res_cap : x->res_rev_cap) consider<SINK>(adoption, n + x->head_offset, link);
  }
  for (uint32_t k = N->first_in; k != NO_ARC;) {
    arc_st* b = arc_at(k);
    const uint32_t link = head_link(k);
    k = b->next_in;
    if (SINK ? b->res_rev_cap : b->res_cap) consider<SINK>(adoption, n - b->head_offset, link);
  }
  if (settle(N, adoption)) return;

  for (uint32_t k = N->first_out; k != NO_ARC;) {
    arc_st* x = arc_at(k);
    k = x->next_out;
    const uint32_t j = n + x->head_offset;
    node_st* J = node_at(j);
    // j hangs under n when its parent is a marked arc (j its head) whose tail is n.
    release<SINK>(j, J, SINK ? x->res_cap : x->res_rev_cap, [&] {
      const uint32_t p = J->parent;
      return p >= PARENT_ARC && ((p - PARENT_ARC) & 1) && parent_of(j, p) == n;
    });
  }
  for (uint32_t k = N->first_in; k != NO_ARC;) {
    arc_st* b = arc_at(k);
    k = b->next_in;
    const uint32_t j = n - b->head_offset;
    node_st* J = node_at(j);
    // j hangs under n when its parent is an unmarked arc (j its tail) whose head is n.
    release<SINK>(j, J, SINK ? b->res_rev_cap : b->res_cap, [&] {
      const uint32_t p = J->parent;
      return p >= PARENT_ARC && !((p - PARENT_ARC) & 1) && parent_of(j, p) == n;
    });
  }
}
