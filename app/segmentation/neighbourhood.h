// The sites and neighbour pairs of a segmentation: the six-neighbourhood of
// a voxel grid, optionally restricted to a mask.
//
// Sites are the voxels of a dimX x dimY x dimZ grid, or with a mask only the
// voxels inside it (mask value non-zero and not NaN), numbered in voxel
// order. Each site is paired with its -x, -y and -z neighbours that are
// sites too. walk() visits everything in voxel order (x fastest), the order
// that reads volumes fastest: each site followed by its pairs towards -x, -y
// and -z. A pair has a slot in the per-direction layout of pair values that
// the costs and the optimizer's 3-D grid share: the pair of site t and the
// site of its +x neighbour at slot t, +y at numSites + t, +z at 2 numSites +
// t; a slot without a pair holds 0. Cost: an unmasked neighbourhood holds
// nothing per voxel; a masked one one int per voxel (its site, or -1), made
// in one pass over the mask that counts the pairs as well.
#ifndef DTICUT_APP_SEGMENTATION_NEIGHBOURHOOD_H
#define DTICUT_APP_SEGMENTATION_NEIGHBOURHOOD_H

#include <algorithm>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "app/segmentation/volume.h"

class Neighbourhood {
 public:
  // Every voxel of a grid shaped like `shape` is a site.
  explicit Neighbourhood(const Image& shape);
  // Only the voxels inside `mask` (of the grid's dimensions) are sites;
  // throws AppError naming the mask when fewer than 2 are.
  Neighbourhood(const Image& shape, const Image& mask);
  // Only the voxels p with inside[p] set are sites; when fewer than 2 are,
  // throws AppError about `subject`: "has N voxels <which> of V, ...".
  Neighbourhood(const Image& shape, const std::vector<unsigned char>& inside, const char* subject,
                const char* which);

  // Neighbour pairs of a whole grid, in 64 bits whatever its size.
  static long long pairsOfGrid(int dimX, int dimY, int dimZ);

  // Called every few thousand voxels by walk and forEachSite, and by
  // poll(): a long pass over a large volume can be interrupted (it throws
  // to stop). Empty by default. Only the thread that set it calls it: the
  // parts of a pass run on other threads leave the polling to the part on
  // the caller's thread, so that the callback never runs on two at once.
  void setPoll(std::function<void()> poll) {
    m_poll = std::move(poll);
    m_pollThread = std::this_thread::get_id();
  }
  void poll() const {
    if (m_poll && std::this_thread::get_id() == m_pollThread) m_poll();
  }

  int numSites() const { return m_sites; }
  long long numPairs() const { return m_pairs; }
  long long numVoxels() const { return static_cast<long long>(m_dimX) * m_dimY * m_dimZ; }
  // Slots of the per-direction layout: three per site.
  long long numSlots() const { return 3LL * m_sites; }
  int dimX() const { return m_dimX; }
  int dimY() const { return m_dimY; }
  int dimZ() const { return m_dimZ; }
  bool masked() const { return !m_siteOf.empty(); }
  // Per voxel its site or -1; null without a mask.
  const int* siteMap() const { return masked() ? m_siteOf.data() : nullptr; }
  // The site of voxel p, or -1 when p lies outside the mask.
  int siteOf(long long p) const { return masked() ? m_siteOf[p] : static_cast<int>(p); }

  // Calls site(p, s) for every site (voxel p, site number s) in voxel
  // order, which is site order: the order that reads volumes fastest.
  template <typename OnSite>
  void forEachSite(OnSite site) const {
    const long long voxels = numVoxels();
    for (long long start = 0; start < voxels; start += kPollVoxels) {
      poll();
      const long long end = std::min(voxels, start + kPollVoxels);
      if (!masked()) {
        for (long long p = start; p < end; ++p) site(static_cast<int>(p), static_cast<int>(p));
      } else {
        for (long long p = start; p < end; ++p)
          if (m_siteOf[p] >= 0) site(static_cast<int>(p), m_siteOf[p]);
      }
    }
  }

  // Calls site(p, s) for every site (voxel p, site number s), then, for
  // each of its neighbours q towards -x, -y and -z that is a site,
  // pair(p, q, s, t, k) with t the site of q and k the pair's slot; in the
  // order above.
  template <typename OnSite, typename OnPair>
  void walk(OnSite site, OnPair pair) const {
    walkVoxels(0, numVoxels(), site, pair);
  }
  // The part of walk() at the voxels [first, end): parts of the voxels
  // walked apart (on several threads) make the whole walk.
  template <typename OnSite, typename OnPair>
  void walkVoxels(long long first, long long end, OnSite site, OnPair pair) const {
    if (masked()) {
      const int* siteOf = m_siteOf.data();
      walkGrid(first, end, site, pair, [siteOf](int p) { return siteOf[p]; });
    } else {
      walkGrid(first, end, site, pair, [](int p) { return p; });
    }
  }

 private:
  // Numbers the voxels p with inside(p) as sites and counts their pairs;
  // throws as the constructors say when fewer than 2 are sites.
  template <typename Inside>
  void numberSites(Inside inside, const char* subject, const char* which);
  template <typename OnSite, typename OnPair, typename SiteOf>
  void walkGrid(long long first, long long end, OnSite site, OnPair pair, SiteOf siteOf) const {
    const int dimX = m_dimX, dimY = m_dimY, slice = dimX * dimY;
    const long long sites = m_sites;
    int x = static_cast<int>(first % dimX), y = static_cast<int>(first / dimX % dimY),
        z = static_cast<int>(first / slice);
    for (int p = static_cast<int>(first); p < end; ++p) {
      if (((p - first) & (kPollVoxels - 1)) == 0) poll();
      const int s = siteOf(p);
      if (s >= 0) {
        site(p, s);
        int t;
        if (x > 0 && (t = siteOf(p - 1)) >= 0) pair(p, p - 1, s, t, t);
        if (y > 0 && (t = siteOf(p - dimX)) >= 0) pair(p, p - dimX, s, t, sites + t);
        if (z > 0 && (t = siteOf(p - slice)) >= 0) pair(p, p - slice, s, t, 2 * sites + t);
      }
      if (++x == dimX) {
        x = 0;
        if (++y == dimY) y = 0, ++z;
      }
    }
  }

  static const long long kPollVoxels = 1 << 16;

  int m_dimX, m_dimY, m_dimZ;
  int m_sites;
  long long m_pairs;
  std::vector<int> m_siteOf;  // per voxel its site or -1; empty without a mask
  std::function<void()> m_poll;
  std::thread::id m_pollThread;
};

#endif  // DTICUT_APP_SEGMENTATION_NEIGHBOURHOOD_H
