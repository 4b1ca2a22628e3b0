// The grid's storage and its part of the two-tree search (twoTreeSearch.h):
// the arcs of a node found from the grid instead of from lists.
#include "flow/gridGraph3D.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

namespace {

// Fewest fresh chunks worth a thread that maps them.
constexpr uint32_t kMapAheadChunks = 2;
// The mapping thread calls madvise only.
constexpr std::size_t kMapStack = 1 << 16;

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
      voxel(0),
      node_total(0),
      node_count(0),
      dims{0, 0, 0},
      at{0, 0, 0},
      offset{0, 0, 0, 0, 0, 0},
      mapping(nullptr) {}

// The byte ranges to map, in the order the building first writes them.
struct GridGraph3D::mapping_st {
  std::vector<std::pair<char*, std::size_t>> ranges;
  pthread_t thread;

  static void* main(void* self) {
#ifdef MADV_POPULATE_WRITE
    const long size = sysconf(_SC_PAGESIZE);
    if (size <= 0) return nullptr;
    const std::uintptr_t page = static_cast<std::uintptr_t>(size);
    for (const auto& range : static_cast<mapping_st*>(self)->ranges) {
      // Whole pages inside the range only, so that no page of another
      // allocation is mapped on its behalf.
      const std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(range.first) + page - 1) & ~(page - 1);
      const std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(range.first) + range.second) & ~(page - 1);
      // A system that cannot map ahead refuses; the building then maps.
      if (to > from && madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE) != 0) break;
    }
#endif
    return nullptr;
  }
};

void GridGraph3D::map_ahead(uint32_t first_nodes, uint32_t first_links) {
#ifdef MADV_POPULATE_WRITE
  const uint32_t chunks = static_cast<uint32_t>((uint64_t(node_total) + NODES_PER_CHUNK - 1) >> CHUNK_SHIFT);
  if (chunks < first_nodes + kMapAheadChunks) return;
  mapping_st* m = new (std::nothrow) mapping_st;
  if (!m) return;
  try {
    for (uint32_t c = first_nodes; c < chunks; c++) {
      // The last chunk only as far as the grid reaches.
      const uint64_t used = std::min<uint64_t>(NODES_PER_CHUNK, uint64_t(node_total) - (uint64_t(c) << CHUNK_SHIFT));
      m->ranges.emplace_back(reinterpret_cast<char*>(node_chunks[c]), used * sizeof(node_st));
      if (site_of && c >= first_links)
        m->ranges.emplace_back(reinterpret_cast<char*>(link_chunks[c]), used * 4 * sizeof(uint32_t));
    }
  } catch (const std::bad_alloc&) {
    delete m;
    return;
  }
  pthread_attr_t attributes;
  const bool small = pthread_attr_init(&attributes) == 0;
  if (small) pthread_attr_setstacksize(&attributes, kMapStack);
  const bool started = pthread_create(&m->thread, small ? &attributes : nullptr, mapping_st::main, m) == 0;
  if (small) pthread_attr_destroy(&attributes);
  if (!started) {
    delete m;
    return;
  }
  mapping = m;
#else
  (void)first_nodes;
  (void)first_links;
#endif
}

void GridGraph3D::finish_mapping() {
  if (!mapping) return;
  pthread_join(mapping->thread, nullptr);
  delete mapping;
  mapping = nullptr;
}

GridGraph3D::~GridGraph3D() {
  finish_mapping();
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

void GridGraph3D::reset(int dimX, int dimY, int dimZ, const int* siteOf) {
  assert(dimX > 0 && dimY > 0 && dimZ > 0);
  const uint64_t voxels = uint64_t(dimX) * uint64_t(dimY) * uint64_t(dimZ);
  uint64_t total = voxels;
  if (siteOf) {
    total = 0;
    for (uint64_t v = 0; v < voxels; v++) total += siteOf[v] >= 0;
  }
  if (total >= NO_NODE) flow_fatal(on_error, "Not enough memory!");
  finish_mapping();
  const uint32_t chunks = static_cast<uint32_t>((total + NODES_PER_CHUNK - 1) >> CHUNK_SHIFT);
  const uint32_t fresh_nodes = node_chunks_held, fresh_links = siteOf ? link_chunks_held : 0;
  hold_chunks(node_chunks, node_chunks_held, chunks, sizeof(node_st));
  if (siteOf) hold_chunks(link_chunks, link_chunks_held, chunks, 4 * sizeof(uint32_t));
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
  clear_search();
  map_ahead(fresh_nodes, fresh_links);
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
  uint32_t* to = links_of(i);
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
  finish_mapping();
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
