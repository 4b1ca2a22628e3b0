// The optimizer over an arbitrary neighbourhood: pairs declared one at a time
// (collected in declaration order and packed into flat arrays by the first
// readiness check), or complete per-site arrays borrowed from the caller.
// Invariant: every declared pair (a, b, w) gives a the entry (b, w) and b the
// entry (a, w); pairs are never merged, self-pairs are kept (and ignored by
// energy and moves). A site's entries are packed in the scan order of a
// LinkedBlockList (optimizer/LinkedBlockList.h) filled with them in
// declaration order: blocks of four, newest block first, so entries
// e1 ... e6 are packed e5, e6, e1, e2, e3, e4.
// Cost: declaring a pair is an append of 12 bytes to a series of chunks that
// double in size (one allocation per chunk, none per pair); packing counts
// every site's entries and then puts each entry straight into its packed
// place, two passes over the pairs with one temporary int per site; a
// neighbourhood query is three array reads.
#ifndef OPTIMIZER_GCGENERALGRAPH_H_
#define OPTIMIZER_GCGENERALGRAPH_H_

#include <cstddef>

#include "optimizer/GCbase.h"

class GCoptimizationGeneralGraph : public GCoptimization {
 public:
  // ---- Types -------------------------------------------------------------
  // One entry of a site's neighbourhood: the other site and the pair weight.
  struct NeighborRecord {
    int site;  // the other site of the declared pair
    int weight;
  };

  // ---- Construction ------------------------------------------------------
  GCoptimizationGeneralGraph(int num_sites, int num_labels);  // asserts both > 1
  ~GCoptimizationGeneralGraph() override;

  // ---- Building ----------------------------------------------------------
  // Declares one pair; refused with "Already set up neighborhood system" once
  // the neighbourhood is packed or supplied.
  void setNeighbors(int site1, int site2, int weight);
  // Borrows complete per-site arrays (symmetric, unchanged, outliving the
  // optimizer); refused once any setNeighbors was called. May be repeated.
  void setAllNeighbors(int* numNeighbors, int** neighborsIndexes, int** neighborsWeights);

  // ---- Queries -----------------------------------------------------------
  // Valid after readyToOptimise or setAllNeighbors.
  void giveNeighborInfo(int site, int* numSites, int** neighbors, int** weights) override;
  // Base check first; then packs the declared pairs, once.
  bool readyToOptimise() override;

 protected:
  // Packs the declared pairs into the per-site arrays, in the order above.
  void finishSettingNeighbors();

  bool m_neighbors_pending;  // still declaring: must pack before use
  int* m_num_neighbors;
  int** m_neighbor_sites;       // per site, m_num_neighbors[s] indices; null for count 0
  int** m_neighbor_weights;     // parallel to m_neighbor_sites
  bool m_owns_neighbor_arrays;  // false after setAllNeighbors: the caller's arrays

 private:
  struct DeclaredPair {
    int site1, site2, weight;
  };
  // Declared pairs lie in chunks of 1024, 2048, ... pairs (doubling up to
  // 2^20 pairs, then 2^20 each), so that no pair is ever copied and at most
  // one chunk is partly used.
  static std::size_t pairChunkSize(int k) { return std::size_t(1) << (k < 10 ? 10 + k : 20); }
  DeclaredPair** m_pair_chunks;  // null until the first setNeighbors; freed by packing
  int m_pair_chunk_count;
  int m_pair_chunk_capacity;  // entries of m_pair_chunks
  std::size_t m_pair_count;   // pairs declared
  DeclaredPair* m_pair_free;  // next free slot of the newest chunk
  DeclaredPair* m_pair_end;   // end of the newest chunk
  bool m_declared;            // setNeighbors was called or the pairs were packed (even none):
                              // setAllNeighbors is refused for good
  void newPairChunk();
  void releasePairs();
  // Calls f(pair) for every declared pair, in declaration order.
  template <typename F>
  void forEachPair(F f) const;

  // After packing, every site's entries lie in this one array, site after
  // site, each site's neighbour indices followed by their weights:
  // m_neighbor_sites[s] and m_neighbor_weights[s] point into it.
  int* m_packed;
};

#endif  // OPTIMIZER_GCGENERALGRAPH_H_
