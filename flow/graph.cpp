// Graph storage: chunk allocation and the in-place layout step.
#include "flow/graph.h"

Graph::Graph(void (*err_function)(char*))
    : node_blocks(nullptr),
      arc_blocks(nullptr),
      ref_blocks(nullptr),
      orphan_pool(nullptr),
      on_error(err_function),
      total_flow(0) {}

Graph::~Graph() {
  while (node_blocks) {
    node_chunk* older = node_blocks->next_chunk;
    delete[] reinterpret_cast<char*>(node_blocks);
    node_blocks = older;
  }
  while (arc_blocks) {
    arc_chunk* older = arc_blocks->next_chunk;
    delete[] arc_blocks->raw_start;
    arc_blocks = older;
  }
  while (ref_blocks) {
    ref_chunk* older = ref_blocks->next_chunk;
    delete[] ref_blocks->raw_start;
    ref_blocks = older;
  }
}

void Graph::new_node_chunk() {
  node_chunk* c = reinterpret_cast<node_chunk*>(flow_alloc(sizeof(node_chunk), on_error));
  c->first_free = &c->nodes[0];
  c->next_chunk = node_blocks;
  node_blocks = c;
}

// One byte more than the chunk needs, so that the chunk (and with it every
// slot, all of even size) can start at an even address whatever the
// allocator returns; the lowest bit of a slot address is then free for marks.
template <class Chunk>
Chunk* Graph::alloc_chunk() {
  static_assert(sizeof(Chunk::slots[0]) % 2 == 0 && offsetof(Chunk, slots) % 2 == 0, "even slots");
  char* raw = flow_alloc(sizeof(Chunk) + 1, on_error);
  Chunk* c = reinterpret_cast<Chunk*>(raw + (bits(raw) & 1));
  c->raw_start = raw;
  c->first_free = &c->slots[0];
  return c;
}

// Arc and reference chunks are opened in step, so the k-th of each list are
// partners: slot s of both was filled by the same add_edge call.
void Graph::new_arc_chunks() {
  arc_chunk* a = alloc_chunk<arc_chunk>();
  a->next_chunk = arc_blocks;
  arc_blocks = a;
  ref_chunk* r = alloc_chunk<ref_chunk>();
  r->next_chunk = ref_blocks;
  ref_blocks = r;
}

namespace {

// A range of k entries that does not fit behind slot p of the current chunk
// moves on to the next older chunk that existed before the layout step, or,
// once those are used up, to a chunk opened here.
template <class Chunk, class Open>
void fit_range(std::intptr_t k, int slots, Chunk*& cur, int& p, bool& opened, Chunk*& newest,
               Open open, void (*on_error)(char*)) {
  if (p + k <= slots) return;
  if (k > slots) flow_fatal(on_error, "# of arcs per node exceeds block size!");
  if (!opened && cur->next_chunk) {
    cur = cur->next_chunk;
  } else {
    Chunk* c = open();
    c->next_chunk = newest;
    newest = c;
    cur = c;
    opened = true;
  }
  p = 0;
}

}  // namespace

// Turns the range [start, free_slot) into its marked form: the first entry
// moves to free_slot, the start slot holds the end address, and the returned
// start is one byte before that slot.
template <class S>
S* Graph::mark_range(S* start, S* free_slot) {
  *free_slot = *start;
  store_word(start, free_slot + 1);
  return from_bits<S>(bits(start) - 1);
}

void Graph::prepare_graph() {
  if (!ref_blocks) {
    // The layout needs at least one arc chunk; this arc has no terminal
    // capacity at either end and never carries flow.
    void* x = add_node();
    void* y = add_node();
    add_edge(x, y, 1, 0);
  }

  // Every reference entry now names the tail of the arc in its partner slot,
  // or null where there is none.
  for (arc_ref_st* r = ref_blocks->first_free; r < &ref_blocks->slots[ARCS_PER_CHUNK]; ++r) {
    r->arc = nullptr;
  }

  // Reserve the ranges. Each node's arcs_out and refs_in become the end of its
  // range; parent_arc follows arcs_out in the partner reference chunk, or
  // points at `no_partner` for a range in a chunk opened here (it holds no
  // arcs yet). Each chunk's spare slot remembers its last node.
  arc_chunk* const old_arcs = arc_blocks;
  ref_chunk* const old_refs = ref_blocks;
  arc_ref_st no_partner = {nullptr};
  arc_chunk* f = arc_blocks;
  ref_chunk* partner = ref_blocks;
  int p = 0;
  bool arcs_opened = false;
  ref_chunk* r = ref_blocks;
  int q = 0;
  bool refs_opened = false;
  auto open_arcs = [this] { return alloc_chunk<arc_chunk>(); };
  auto open_refs = [this] { return alloc_chunk<ref_chunk>(); };
  for (node_chunk* nc = node_blocks; nc; nc = nc->next_chunk) {
    for (node_st* i = nc->nodes; i < nc->first_free; ++i) {
      std::intptr_t k = static_cast<std::intptr_t>(bits(i->arcs_out));
      arc_chunk* before = f;
      fit_range(k, ARCS_PER_CHUNK, f, p, arcs_opened, arc_blocks, open_arcs, on_error);
      if (f != before) partner = arcs_opened ? nullptr : partner->next_chunk;
      p += static_cast<int>(k);
      i->arcs_out = &f->slots[p];
      store_word(&f->slots[ARCS_PER_CHUNK], i);
      i->parent_arc = reinterpret_cast<arc_st*>(partner ? &partner->slots[p] : &no_partner);

      k = static_cast<std::intptr_t>(bits(i->refs_in));
      fit_range(k, ARCS_PER_CHUNK, r, q, refs_opened, ref_blocks, open_refs, on_error);
      q += static_cast<int>(k);
      i->refs_in = &r->slots[q];
      r->slots[ARCS_PER_CHUNK].arc = reinterpret_cast<arc_st*>(i);
    }
    nc->first_free->arcs_out = &f->slots[p];
    nc->first_free->refs_in = &r->slots[q];
  }

  for (arc_chunk* c = arc_blocks; c; c = c->next_chunk) {
    c->first_free = load_word<node_st>(&c->slots[ARCS_PER_CHUNK])->arcs_out;
  }

  // Move every arc into its tail's range by displacement cycles: the arc
  // taken from a slot goes to the end of its tail's range, the unplaced arc
  // found there moves on in turn, until a slot without one is reached. Every
  // arcs_out walks back to the start of its range.
  ref_chunk* pc = old_refs;
  for (arc_chunk* c = old_arcs; c; c = c->next_chunk, pc = pc->next_chunk) {
    for (int s = 0; s < ARCS_PER_CHUNK; ++s) {
      arc_ref_st* e = &pc->slots[s];
      if (!e->arc) continue;
      arc_st* x = &c->slots[s];
      arc_st pending = *x;
      for (;;) {
        node_st* t = reinterpret_cast<node_st*>(e->arc);
        e->arc = nullptr;
        x = --t->arcs_out;
        if (reinterpret_cast<arc_ref_st*>(t->parent_arc) != &no_partner) {
          e = reinterpret_cast<arc_ref_st*>(t->parent_arc) - 1;
          t->parent_arc = reinterpret_cast<arc_st*>(e);
        }
        if (!e->arc) break;
        arc_st displaced = *x;
        *x = pending;
        pending = displaced;
      }
      *x = pending;
    }
  }

  // A chunk's last node cannot end its range at the next node's start (that
  // may lie in another chunk), so its first arc moves behind the last range
  // and its first slot holds the range's end instead; the start is marked.
  for (arc_chunk* c = arc_blocks; c; c = c->next_chunk) {
    node_st* i = load_word<node_st>(&c->slots[ARCS_PER_CHUNK]);
    i->arcs_out = mark_range(i->arcs_out, c->first_free);
  }

  for (ref_chunk* c = ref_blocks; c; c = c->next_chunk) {
    c->first_free = reinterpret_cast<node_st*>(c->slots[ARCS_PER_CHUNK].arc)->refs_in;
  }

  // Fill the incoming ranges from the back, in node order and range order of
  // the tails' outgoing arcs.
  for (node_chunk* nc = node_blocks; nc; nc = nc->next_chunk) {
    for (node_st* i = nc->nodes; i < nc->first_free; ++i) {
      arc_st* a;
      arc_st* end;
      out_range(i, a, end);
      for (; a < end; ++a) {
        node_st* h = shift(i, a->head_offset);
        (--h->refs_in)->arc = a;
      }
    }
  }

  for (ref_chunk* c = ref_blocks; c; c = c->next_chunk) {
    node_st* i = reinterpret_cast<node_st*>(c->slots[ARCS_PER_CHUNK].arc);
    i->refs_in = mark_range(i->refs_in, c->first_free);
  }
}
