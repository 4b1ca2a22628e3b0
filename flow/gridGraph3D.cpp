// The grid's storage and its part of the two-tree search (twoTreeSearch.h):
// the arcs of a node found from the grid instead of from lists.
#include "flow/gridGraph3D.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>

namespace {

// Fewest chunks worth a thread that prepares them.
constexpr uint32_t kPreparingChunks = 2;
// The preparing thread runs no deep calls.
constexpr std::size_t kPreparingStack = 1 << 16;
// Records prepared, and published to add_node, at a time: a whole number of
// blocks per chunk, and few enough records that add_node, waiting for the
// next block, waits briefly.
constexpr uint32_t kPrepareBlock = 4096;
static_assert((1u << 16) % kPrepareBlock == 0, "a block lies in one chunk");
// Pages of a block whose residence is looked up before mapping it: a block
// of records in pages of 4 KB or more.
constexpr std::size_t kResidentPages = 64;
// Looks at the thread's progress before add_node gives its core away.
constexpr int kSpins = 256;

// The order in which a node's arcs are scanned: towards the nodes added
// before it (-z, -y, -x), then towards those added after it. Together with
// activating the roots in descending order, this is the order in which Graph
// meets the arcs of a grid built in voxel order with its pairs towards -x,
// -y, -z, which keeps the search's first sweep among nodes it has just passed.
constexpr int kScan[6] = {GridGraph3D::MINUS_Z, GridGraph3D::MINUS_Y, GridGraph3D::MINUS_X,
                          GridGraph3D::PLUS_Z,  GridGraph3D::PLUS_Y,  GridGraph3D::PLUS_X};

}  // namespace

GridGraph3D::GridGraph3D(void (*err_function)(char*))
    : TwoTreeSearch(err_function),
      node_chunks(nullptr),
      node_chunks_held(0),
      link_chunks(nullptr),
      link_chunks_held(0),
      site_of(nullptr),
      node_total(0),
      node_count(0),
      prepared(0),
      dims{0, 0, 0},
      offset{0, 0, 0, 0, 0, 0},
      voxel(0),
      at{0, 0, 0},
      preparing(nullptr) {}

// The thread preparing the records: the nodes below `ready` are prepared,
// published in order with release, so that add_node, reading it with
// acquire, sees their records whole; `stop` ends it early (a reset or the
// destruction before the grid is built).
struct GridGraph3D::preparing_st {
  GridGraph3D* graph;
  uint32_t first_nodes, first_links;  // the chunks from which memory is fresh, to be mapped
  std::atomic<uint32_t> ready;
  std::atomic<bool> stop{false};
  pthread_t thread;

  static void* main(void* self);
};

namespace {

// Maps the pages of a block of `bytes` at `first`, and returns the page
// size again, or 0 once the system refuses (the writes then map). A page
// across two blocks of a chunk is mapped with the later one; a page across
// the chunk's ends is left to the first write, as it may hold another
// allocation.
std::uintptr_t map_block(void* first, std::size_t bytes, bool chunk_start, std::uintptr_t page) {
#ifdef MADV_POPULATE_WRITE
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(first);
  const std::uintptr_t from = chunk_start ? (at + page - 1) & ~(page - 1) : at & ~(page - 1);
  const std::uintptr_t to = (at + bytes) & ~(page - 1);
  if (to <= from) return page;
  // Memory the allocator hands back is often mapped already (the process
  // keeps what it frees): then only the system's page tables would be
  // walked again, on the second core's time.
  unsigned char resident[kResidentPages];
  const std::size_t pages = (to - from) / page;
  if (pages <= kResidentPages && mincore(reinterpret_cast<void*>(from), to - from, resident) == 0 &&
      std::all_of(resident, resident + pages, [](unsigned char r) { return r & 1; }))
    return page;
  if (madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE) != 0) return 0;
  return page;
#else
  (void)first;
  (void)bytes;
  (void)chunk_start;
  (void)page;
  return 0;
#endif
}

}  // namespace

void* GridGraph3D::preparing_st::main(void* self) {
  preparing_st& p = *static_cast<preparing_st*>(self);
  GridGraph3D& g = *p.graph;
  const long size = sysconf(_SC_PAGESIZE);
  std::uintptr_t page = size > 0 ? static_cast<std::uintptr_t>(size) : 0;
  for (uint32_t from = g.prepared; from < g.node_total && !p.stop.load(std::memory_order_relaxed);
       from += kPrepareBlock) {
    const uint32_t to = std::min(g.node_total, from + kPrepareBlock), count = to - from;
    const uint32_t chunk = from >> CHUNK_SHIFT;
    const bool chunk_start = (from & (NODES_PER_CHUNK - 1)) == 0;
    if (page && chunk >= p.first_nodes) page = map_block(g.node_at(from), count * sizeof(node_st), chunk_start, page);
    if (page && g.site_of && chunk >= p.first_links)
      page = map_block(g.links_of(from), count * 4 * sizeof(uint32_t), chunk_start, page);
    g.prepare(from, to);
    p.ready.store(to, std::memory_order_release);
  }
  return nullptr;
}

void GridGraph3D::start_preparing(uint32_t first_nodes, uint32_t first_links) {
  const uint64_t chunks = (uint64_t(node_total) + NODES_PER_CHUNK - 1) >> CHUNK_SHIFT;
  if (chunks < kPreparingChunks) return;
  preparing_st* p = new (std::nothrow) preparing_st;
  if (!p) return;
  p->graph = this;
  p->ready.store(prepared, std::memory_order_relaxed);
  p->first_nodes = first_nodes;
  p->first_links = first_links;
  pthread_attr_t attributes;
  const bool small = pthread_attr_init(&attributes) == 0;
  if (small) pthread_attr_setstacksize(&attributes, kPreparingStack);
  const bool started = pthread_create(&p->thread, small ? &attributes : nullptr, preparing_st::main, p) == 0;
  if (small) pthread_attr_destroy(&attributes);
  if (!started) {
    delete p;
    return;
  }
  preparing = p;
}

void GridGraph3D::finish_preparing() {
  if (!preparing) return;
  preparing->stop.store(true, std::memory_order_relaxed);
  pthread_join(preparing->thread, nullptr);
  delete preparing;
  preparing = nullptr;
}

void GridGraph3D::prepare_next() {
  if (!preparing) {
    const uint32_t to = std::min(node_total, node_count + kPrepareBlock);
    prepare(node_count, to);
    prepared = to;
    return;
  }
  uint32_t ready;
  for (int spins = 0; (ready = preparing->ready.load(std::memory_order_acquire)) <= node_count;) {
    if (++spins == kSpins) {
      spins = 0;
      sched_yield();
    }
  }
  prepared = ready;
}

GridGraph3D::~GridGraph3D() {
  finish_preparing();
  for (uint32_t c = 0; c < node_chunks_held; c++) delete[] reinterpret_cast<char*>(node_chunks[c]);
  delete[] reinterpret_cast<char*>(node_chunks);
  for (uint32_t c = 0; c < link_chunks_held; c++) delete[] reinterpret_cast<char*>(link_chunks[c]);
  delete[] reinterpret_cast<char*>(link_chunks);
}

// On a failed allocation the table still lists every chunk it holds.
template <class T>
void GridGraph3D::hold_chunks(T**& table, uint32_t& held, uint32_t need, std::size_t bytes) {
  if (need <= held) return;
  T** bigger = reinterpret_cast<T**>(flow_alloc(sizeof(T*) * need, on_error));
  for (uint32_t c = 0; c < held; c++) bigger[c] = table[c];
  delete[] reinterpret_cast<char*>(table);
  table = bigger;
  while (held < need) {
    table[held] = reinterpret_cast<T*>(flow_alloc(bytes * NODES_PER_CHUNK, on_error));
    held++;
  }
}

void GridGraph3D::reset(int dimX, int dimY, int dimZ, const int* siteOf, int64_t sites) {
  assert(dimX > 0 && dimY > 0 && dimZ > 0);
  const uint64_t voxels = uint64_t(dimX) * uint64_t(dimY) * uint64_t(dimZ);
  uint64_t total = voxels;
  // A site map is walked with 32-bit voxel numbers.
  assert(!siteOf || voxels <= UINT32_MAX);
  if (siteOf && sites >= 0) {
    total = uint64_t(sites);
  } else if (siteOf) {
    total = 0;
    for (uint64_t v = 0; v < voxels; v++) total += siteOf[v] >= 0;
  }
  if (total >= NO_NODE) flow_fatal(on_error, "Not enough memory!");
  finish_preparing();
  const uint32_t chunks = static_cast<uint32_t>((total + NODES_PER_CHUNK - 1) >> CHUNK_SHIFT);
  const uint32_t fresh_nodes = node_chunks_held, fresh_links = siteOf ? link_chunks_held : 0;
  hold_chunks(node_chunks, node_chunks_held, chunks, sizeof(node_st));
  if (siteOf) hold_chunks(link_chunks, link_chunks_held, chunks, 4 * sizeof(uint32_t));
  site_of = siteOf;
  voxel = 0;
  node_total = static_cast<uint32_t>(total);
  node_count = 0;
  prepared = 0;
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
  clear_search();
  // The first block now, while the thread starts, so that the caller
  // begins at once; the thread goes on from the next.
  if (node_total > 0) {
    prepared = std::min(node_total, kPrepareBlock);
    prepare(0, prepared);
  }
  start_preparing(fresh_nodes, fresh_links);
}

// A node without capacities, whose neighbours are the voxels around its
// own; over a site map, only those that are sites (along x, sites being
// numbered in voxel order, the one before or after it). Everything it
// reads is copied first, as its writes could otherwise be taken to change
// it, and the cursor is written back once.
void GridGraph3D::prepare(uint32_t from, uint32_t to) {
  const int* const map = site_of;
  const int dx = dims[0], dy = dims[1], dz = dims[2];
  uint32_t step[6];
  for (int d = 0; d < 6; d++) step[d] = offset[d];
  int x = at[0], y = at[1], z = at[2];
  uint32_t v = voxel;
  node_st* n = node_at(from);
  uint32_t* to_links = map ? links_of(from) : nullptr;
  auto next_voxel = [&] {
    ++v;
    if (++x == dx) {
      x = 0;
      if (++y == dy) y = 0, ++z;
    }
  };
  for (uint32_t i = from; i < to; i++, n++) {
    for (int d = 0; d < 6; d++) n->cap[d] = 0;
    n->term_cap = 0;
    if (!map) {
      n->neighbours = static_cast<uint8_t>((x > 0) | (x < dx - 1) << 1 | (y > 0) << 2 | (y < dy - 1) << 3 |
                                           (z > 0) << 4 | (z < dz - 1) << 5);
      next_voxel();
      continue;
    }
    // Past the last voxel only when the map holds fewer sites than reset
    // was told.
    for (;; next_voxel()) {
      assert(z < dz && "the site map holds fewer sites than the grid's nodes");
      if (map[v] >= 0) break;
    }
    const bool exists[6] = {x > 0, x < dx - 1, y > 0, y < dy - 1, z > 0, z < dz - 1};
    unsigned around = 0;
    for (int d = 0; d < 6; d++) {
      if (!exists[d]) continue;
      const int j = map[v + step[d]];
      if (j < 0) continue;
      around |= 1u << d;
      if (d >= 2) to_links[d - 2] = uint32_t(j) - i;
    }
    n->neighbours = static_cast<uint8_t>(around);
    to_links += 4;
    next_voxel();
  }
  at[0] = x;
  at[1] = y;
  at[2] = z;
  voxel = v;
  // After the last node no voxel may be a site, which a link would reach.
  if (map && to == node_total) {
    const uint32_t voxels = uint32_t(dx) * uint32_t(dy) * uint32_t(dz);  // below 2^32: reset
    assert(std::all_of(map + v, map + voxels, [](int site) { return site < 0; }) &&
           "the site map holds more sites than the grid's nodes");
    (void)voxels;
  }
}

int GridGraph3D::maxflow() {
  assert(node_count == node_total);
  finish_preparing();
  if (search_state != SEARCH_INTERRUPTED) maxflow_init();
  return run_search();
}

void GridGraph3D::maxflow_init() {
  start_search();
  for (uint32_t i = node_total; i-- > 0;) init_node(i, node_at(i));
  cur_stamp = 0;
}

int GridGraph3D::run_search() { return search(); }

// Grows i's tree over each arc with residual capacity away from its root;
// on meeting the other tree, `join` gets the path's ends and the joining
// arc's residuals (source side to sink side first).
template <bool SINK>
inline bool GridGraph3D::grow(uint32_t i, node_st* I, join_st& join) {
  const unsigned around = I->neighbours;
  for (int d : kScan) {
    if (!(around >> d & 1)) continue;
    const uint32_t j = neighbour(i, d);
    node_st* J = node_at(j);
    if (!(SINK ? J->cap[d ^ 1] : I->cap[d])) continue;
    if (tree_link<SINK>(I, j, J, static_cast<uint8_t>(PARENT_DIR + (d ^ 1)))) continue;
    join = SINK ? join_st{j, i, &J->cap[d ^ 1], &I->cap[d]} : join_st{i, j, &I->cap[d], &J->cap[d ^ 1]};
    return true;
  }
  return false;
}

// Along a source-tree link flow goes from the parent j into i (j's arc in
// direction d ^ 1); along a sink-tree link from i into the parent (i's arc
// in direction d).
template <bool SINK>
inline GridGraph3D::tree_arc_st GridGraph3D::tree_arc(uint32_t i, node_st* I, uint8_t p) {
  const int d = p - PARENT_DIR;
  const uint32_t j = neighbour(i, d);
  int* out = &I->cap[d];
  int* in = &node_at(j)->cap[d ^ 1];
  return {j, SINK ? out : in, SINK ? in : out};
}

// The neighbours in scan order (twoTreeSearch.h): a parent is linked by
// residual capacity towards n's terminal side, and a neighbour hangs under
// n when its parent lies in the direction back to n.
template <bool SINK>
void GridGraph3D::process_orphan(uint32_t n, node_st* N) {
  adoption_st adoption;
  const unsigned around = N->neighbours;
  for (int d : kScan) {
    if (!(around >> d & 1)) continue;
    const uint32_t j = neighbour(n, d);
    if (SINK ? N->cap[d] : node_at(j)->cap[d ^ 1]) consider<SINK>(adoption, j, static_cast<uint8_t>(PARENT_DIR + d));
  }
  if (settle(N, adoption)) return;
  for (int d : kScan) {
    if (!(around >> d & 1)) continue;
    const uint32_t j = neighbour(n, d);
    node_st* J = node_at(j);
    release<SINK>(j, J, SINK ? N->cap[d] : J->cap[d ^ 1], [&] { return J->parent == PARENT_DIR + (d ^ 1); });
  }
}
