// The two-tree augmenting-path search shared by the engine's two storages:
// the general graph (graph.h), whose arcs are records in lists, and the
// implicit 3-D grid (gridGraph3D.h). Everything here is the same for both:
// the active lists, the growth step's bookkeeping, augmentation along the
// tree paths, the orphans and their adoption, the interruption. The storage
// (Derived) says how a node's arcs are scanned and what a tree link names:
//   node_at(i)               node i's record (fields parent, active_next,
//                            stamp, depth, term_cap, in_sink_tree)
//   for_each_node(f)         f(i, record) for every node
//   grow<SINK>(i, I, join)   the growth of i's tree over its arcs
//   tree_arc<SINK>(i, I, p)  for node i hanging through link p: its parent
//                            and the residuals the flow uses and frees there
//   parent_of(i, p)          the parent alone
//   process_orphan<SINK>(n, N), with consider, settle and release below
// Invariants between two steps of the search: no orphan is pending, every
// tree is whole, and going up any chain of parents (stamp, -depth) never
// decreases, so that no link can close a cycle.
#ifndef DTICUT_FLOW_TWOTREESEARCH_H
#define DTICUT_FLOW_TWOTREESEARCH_H

#include <climits>
#include <cstdint>
#include <new>

#include "flow/block.h"

class TwoTreeSearchBase {
 public:
  // How many steps of the search (a step grows one node's tree over its
  // arcs, with the augmentation it may find) pass between two checks.
  static constexpr int INTERRUPT_STEPS = 1 << 10;
  // `check(extra)` is asked every INTERRUPT_STEPS steps of maxflow; true
  // stops it: maxflow returns at once with interrupted() true, the flow
  // conserved and the trees intact, so that calling maxflow again goes on
  // with the same search. A null check (the default) asks nothing. Kept by
  // reset.
  typedef bool (*InterruptFn)(void* extra);
  void set_interrupt(InterruptFn check, void* extra) {
    interrupt_check = check;
    interrupt_extra = extra;
  }
  // True after a maxflow that a check stopped; its return value and
  // what_segment mean nothing until a later maxflow has finished.
  bool interrupted() const { return search_state == SEARCH_INTERRUPTED; }

 protected:
  explicit TwoTreeSearchBase(void (*err_function)(char*))
      : orphan_pool(nullptr),
        on_error(err_function),
        total_flow(0),
        interrupt_check(nullptr),
        interrupt_extra(nullptr),
        interrupt_countdown(INTERRUPT_STEPS),
        search_state(SEARCH_NONE),
        resume_node(NO_NODE) {}
  ~TwoTreeSearchBase() { delete orphan_pool; }

  static constexpr uint32_t NO_NODE = 0xFFFFFFFFu;
  static constexpr int DEPTH_INFINITE = 1000000000;
  static constexpr int ORPHAN_PTRS_PER_BLOCK = 128;

  // An orphan-list entry (from the DBlock pool): a node number and the link.
  struct nodeptr_st {
    uint32_t node;
    nodeptr_st* link;
  };
  // The arc that joins the two trees: its source-side and sink-side ends and
  // its residual fields from s to t and from t to s.
  struct join_st {
    uint32_t s;
    uint32_t t;
    int* cap_st;
    int* cap_ts;
  };
  // A tree link seen from the node below it: the parent, and the residual
  // the flow along the path uses and the one it frees.
  struct tree_arc_st {
    uint32_t parent;
    int* used;
    int* freed;
  };

  // Empties the search's state for a new graph (reset).
  void clear_search() {
    total_flow = 0;
    // Left by an exception out of maxflow (an error function that throws).
    delete orphan_pool;
    orphan_pool = nullptr;
    search_state = SEARCH_NONE;
  }

  DBlock<nodeptr_st>* orphan_pool;  // exists only while maxflow runs
  void (*on_error)(char*);
  int total_flow;                   // constant collected by the terminal operations plus flow
  uint32_t active_first[2];         // list 0 is being consumed, list 1 filled; NO_NODE if empty
  uint32_t active_last[2];
  nodeptr_st* orphans_head;
  nodeptr_st* orphans_tail;
  int cur_stamp;                    // counts growth steps; restarted before it could overflow
  InterruptFn interrupt_check;      // or null
  void* interrupt_extra;
  int interrupt_countdown;          // steps until the next check
  enum : unsigned char { SEARCH_NONE, SEARCH_INTERRUPTED } search_state;
  uint32_t resume_node;             // after an interruption: the node the search was growing
};

// Link is the type of a node's parent field. Its codes below PARENT_LINK are
// shared: free, a root, an orphan; the storage gives the others their
// meaning.
template <class Derived, class Node, class Link>
class TwoTreeSearch : public TwoTreeSearchBase {
 protected:
  explicit TwoTreeSearch(void (*err_function)(char*)) : TwoTreeSearchBase(err_function) {}

  static constexpr Link PARENT_NONE = 0;
  static constexpr Link PARENT_TERMINAL = 1;
  static constexpr Link PARENT_ORPHAN = 2;
  static constexpr Link PARENT_LINK = 3;

  Derived& self() { return static_cast<Derived&>(*this); }
  Node* node_of(uint32_t i) { return self().node_at(i); }

  // The start of maxflow's first sweep: empty lists; the storage then
  // initialises each node with init_node, in the order it chooses.
  void start_search() {
    active_first[0] = active_last[0] = NO_NODE;
    active_first[1] = active_last[1] = NO_NODE;
    orphans_head = orphans_tail = nullptr;
  }
  void init_node(uint32_t i, Node* I) {
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
  }

  // Adds to node N's terminal capacities (either may be negative): the part
  // every cut pays, min(source, sink), goes straight into the flow.
  void add_terminal(Node* N, int cap_source, int cap_sink) {
    int d = N->term_cap;
    if (d > 0) {
      cap_source += d;
    } else {
      cap_sink -= d;
    }
    total_flow += cap_source < cap_sink ? cap_source : cap_sink;
    N->term_cap = cap_source - cap_sink;
  }

  // Appends j to list 1 unless it is in a list already (or is the node being
  // grown, whose active_next names itself).
  void activate(uint32_t j, Node* J) {
    if (J->active_next) return;
    if (active_last[1] != NO_NODE) {
      node_of(active_last[1])->active_next = j + 1;
    } else {
      active_first[1] = j;
    }
    active_last[1] = j;
    J->active_next = j + 1;
  }

  // Nodes are handled in generations: list 1 becomes list 0 only when list 0
  // is used up. Nodes that have become free since they were activated are
  // skipped.
  uint32_t next_active() {
    for (;;) {
      uint32_t i = active_first[0];
      if (i == NO_NODE) {
        i = active_first[0] = active_first[1];
        active_last[0] = active_last[1];
        active_first[1] = active_last[1] = NO_NODE;
        if (i == NO_NODE) return NO_NODE;
      }
      Node* I = node_of(i);
      if (I->active_next == i + 1) {
        active_first[0] = active_last[0] = NO_NODE;
      } else {
        active_first[0] = I->active_next - 1;
      }
      I->active_next = 0;
      if (I->parent != PARENT_NONE) return i;
    }
  }

  // Stamps only steer the search (a stale stamp costs a longer walk), so
  // when cur_stamp reaches the end of its range every node becomes stale
  // and the count starts again, instead of overflowing. The depths are
  // levelled too: equal stamps over stale depths could close a cycle of
  // parents; equal depths cannot, and no node is re-hung until its depth is
  // known again.
  void restamp() {
    self().for_each_node([](uint32_t, Node* I) {
      I->stamp = 0;
      I->depth = 0;
    });
    cur_stamp = 1;
  }

  // j is reached from I, which lies in the tree given by SINK, through
  // `link` (j's parent code if j hangs under I). A free j joins the tree and
  // is activated; a j of the same tree is re-hung under I when I's depth is
  // known at least as recently as j's and is smaller. Returns false when j
  // lies in the other tree.
  template <bool SINK>
  bool tree_link(Node* I, uint32_t j, Node* J, Link link) {
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

  // The search itself, from the state maxflow's initialisation or an
  // interruption left; returns the flow plus the collected constant.
  int search() {
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
        Node* C = node_of(current);
        C->active_next = 0;
        if (C->parent == PARENT_NONE) current = NO_NODE;
      }
      if (current == NO_NODE) {
        current = next_active();
        if (current == NO_NODE) break;
      }
      const uint32_t i = current;
      Node* I = node_of(i);

      join_st join;
      const bool found = I->in_sink_tree ? self().template grow<true>(i, I, join)
                                         : self().template grow<false>(i, I, join);

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

  void orphan_front(uint32_t n, Node* N) {
    N->parent = PARENT_ORPHAN;
    nodeptr_st* np = orphan_pool->New();
    np->node = n;
    np->link = orphans_head;
    orphans_head = np;
  }

  void orphan_back(uint32_t n, Node* N) {
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

  // The smaller of b and the residual capacities along the tree path from i
  // up to its terminal, in the direction the flow takes in that tree.
  template <bool SINK>
  int path_bottleneck(uint32_t i, int b) {
    Node* I = node_of(i);
    for (Link p = I->parent; p != PARENT_TERMINAL; p = I->parent) {
      const tree_arc_st a = self().template tree_arc<SINK>(i, I, p);
      if (b > *a.used) b = *a.used;
      i = a.parent;
      I = node_of(i);
    }
    const int root = SINK ? -I->term_cap : I->term_cap;
    return b < root ? b : root;
  }

  // Pushes b along the tree path from i up to its terminal. A link that runs
  // dry orphans the node below it (at the front of the list); the walk goes
  // on through the arc it has just read, so a new orphan does not stop it.
  template <bool SINK>
  void push_path(uint32_t i, int b) {
    Node* I = node_of(i);
    for (Link p = I->parent; p != PARENT_TERMINAL; p = I->parent) {
      const uint32_t below = i;
      Node* B = I;
      const tree_arc_st a = self().template tree_arc<SINK>(i, I, p);
      *a.freed += b;
      *a.used -= b;
      i = a.parent;
      I = node_of(i);
      if (!*a.used) orphan_front(below, B);
    }
    I->term_cap += SINK ? b : -b;
    if (!I->term_cap) orphan_front(i, I);
  }

  void augment(const join_st& join) {
    const int b = path_bottleneck<true>(join.t, path_bottleneck<false>(join.s, *join.cap_st));
    *join.cap_ts += b;
    *join.cap_st -= b;
    push_path<false>(join.s, b);
    push_path<true>(join.t, b);
    total_flow += b;
  }

  // The orphans of one augmentation are handled in list order (the one made
  // last first); orphans made while handling one of them join at the back
  // and are all handled before the next orphan of the augmentation.
  void adopt_orphans() {
    while (orphans_head) {
      nodeptr_st* rest = orphans_head->link;
      orphans_head->link = nullptr;
      while (orphans_head) {
        nodeptr_st* np = orphans_head;
        orphans_head = np->link;
        const uint32_t n = np->node;
        orphan_pool->Release(np);
        if (!orphans_head) orphans_tail = nullptr;
        Node* N = node_of(n);
        if (N->in_sink_tree) {
          self().template process_orphan<true>(n, N);
        } else {
          self().template process_orphan<false>(n, N);
        }
      }
      orphans_head = rest;
    }
  }

  // Depth of j below its terminal if j's chain of parents reaches the
  // terminal, DEPTH_INFINITE if it meets an orphan. A chain that meets a node
  // confirmed at cur_stamp ends there; a root reached is confirmed with
  // depth 1.
  int origin_depth(uint32_t j) {
    int d = 0;
    for (uint32_t k = j;;) {
      Node* K = node_of(k);
      if (K->stamp == cur_stamp) return d + K->depth;
      const Link p = K->parent;
      ++d;
      if (p == PARENT_TERMINAL) {
        K->stamp = cur_stamp;
        K->depth = 1;
        return d;
      }
      if (p == PARENT_ORPHAN) return DEPTH_INFINITE;
      k = self().parent_of(k, p);
    }
  }

  // Orphan n of the tree given by SINK looks for the neighbour j of its
  // tree, linked by residual capacity towards n's terminal side, whose chain
  // reaches the terminal in the fewest links; ties keep the earlier arc. The
  // storage calls consider for each such arc in its scan order, then settle;
  // when settle finds no parent, release for each neighbour j (feeds: the
  // arc has residual capacity towards n's terminal side; hangs(): j hangs
  // under n). Every chain checked is left confirmed at cur_stamp.
  struct adoption_st {
    Link best = PARENT_NONE;
    int d_min = DEPTH_INFINITE;
  };
  template <bool SINK>
  void consider(adoption_st& a, uint32_t j, Link link) {
    Node* J = node_of(j);
    if (J->in_sink_tree != SINK || J->parent == PARENT_NONE) return;
    int d = origin_depth(j);
    if (d >= DEPTH_INFINITE) return;
    if (d < a.d_min) {
      a.best = link;
      a.d_min = d;
    }
    for (uint32_t k = j;;) {
      Node* K = node_of(k);
      if (K->stamp == cur_stamp) break;
      K->stamp = cur_stamp;
      K->depth = d--;
      k = self().parent_of(k, K->parent);
    }
  }
  // Hangs n under the best parent found, if any; without one n becomes free
  // (false), and its neighbours are then released.
  bool settle(Node* N, const adoption_st& a) {
    N->parent = a.best;
    if (a.best != PARENT_NONE) {
      N->stamp = cur_stamp;
      N->depth = a.d_min + 1;
      return true;
    }
    N->stamp = 0;
    return false;
  }
  // A neighbour of the tree that could feed the freed node is activated,
  // and a child of it becomes an orphan at the back.
  template <bool SINK, class Hangs>
  void release(uint32_t j, Node* J, bool feeds, Hangs hangs) {
    if (J->in_sink_tree != SINK || J->parent == PARENT_NONE) return;
    if (feeds) activate(j, J);
    if (hangs()) orphan_back(j, J);
  }
};

#endif  // DTICUT_FLOW_TWOTREESEARCH_H
