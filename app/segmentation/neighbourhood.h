// The sites and neighbour pairs of a segmentation: the six-neighbourhood of
// a voxel grid, optionally restricted to a mask.
//
// Sites are the voxels of a dimX x dimY x dimZ grid, or with a mask only the
// voxels inside it (mask value non-zero and not NaN), numbered in voxel
// order. Each site is paired with its -x, -y and -z neighbours that are
// sites too. walk() is the one order in which everything is made: voxels x
// outermost and z innermost, each site followed by its pairs towards -x, -y
// and -z. The costs' pair weights and the optimizer's declared pairs both
// come from it, so pair k of one is pair k of the other. Cost: an unmasked
// neighbourhood holds nothing per voxel; a masked one one int per voxel (its
// site, or -1), made in one pass over the mask and one walk that counts the
// pairs.
#ifndef DTICUT_APP_SEGMENTATION_NEIGHBOURHOOD_H
#define DTICUT_APP_SEGMENTATION_NEIGHBOURHOOD_H

#include <algorithm>
#include <functional>
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
  // to stop). Empty by default.
  void setPoll(std::function<void()> poll) { m_poll = std::move(poll); }
  void poll() const {
    if (m_poll) m_poll();
  }

  int numSites() const { return m_sites; }
  long long numPairs() const { return m_pairs; }
  long long numVoxels() const { return static_cast<long long>(m_dimX) * m_dimY * m_dimZ; }
  bool masked() const { return !m_siteOf.empty(); }
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
  // pair(p, q, s, t) with t the site of q; in the order above.
  template <typename OnSite, typename OnPair>
  void walk(OnSite site, OnPair pair) const {
    if (masked()) {
      const int* siteOf = m_siteOf.data();
      walkGrid(site, pair, [siteOf](int p) { return siteOf[p]; });
    } else {
      walkGrid(site, pair, [](int p) { return p; });
    }
  }

 private:
  template <typename OnSite, typename OnPair, typename SiteOf>
  void walkGrid(OnSite site, OnPair pair, SiteOf siteOf) const {
    const int dimX = m_dimX, dimY = m_dimY, dimZ = m_dimZ, slice = dimX * dimY;
    for (int x = 0; x < dimX; ++x) {
      poll();
      for (int y = 0; y < dimY; ++y) {
        for (int z = 0; z < dimZ; ++z) {
          const int p = x + y * dimX + z * slice;
          const int s = siteOf(p);
          if (s < 0) continue;
          site(p, s);
          int t;
          if (x > 0 && (t = siteOf(p - 1)) >= 0) pair(p, p - 1, s, t);
          if (y > 0 && (t = siteOf(p - dimX)) >= 0) pair(p, p - dimX, s, t);
          if (z > 0 && (t = siteOf(p - slice)) >= 0) pair(p, p - slice, s, t);
        }
      }
    }
  }

  static const long long kPollVoxels = 1 << 16;

  int m_dimX, m_dimY, m_dimZ;
  int m_sites;
  long long m_pairs;
  std::vector<int> m_siteOf;  // per voxel its site or -1; empty without a mask
  std::function<void()> m_poll;
};

#endif  // DTICUT_APP_SEGMENTATION_NEIGHBOURHOOD_H
