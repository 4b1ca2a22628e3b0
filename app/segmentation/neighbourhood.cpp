#include "app/segmentation/neighbourhood.h"

Neighbourhood::Neighbourhood(const Image& shape)
    : m_dimX(shape.dimX),
      m_dimY(shape.dimY),
      m_dimZ(shape.dimZ),
      m_sites(static_cast<int>(numVoxels())),
      m_pairs(pairsOfGrid(shape.dimX, shape.dimY, shape.dimZ)) {}

Neighbourhood::Neighbourhood(const Image& shape, const Image& mask)
    : m_dimX(shape.dimX), m_dimY(shape.dimY), m_dimZ(shape.dimZ), m_sites(0), m_pairs(0) {
  requireSameDimensions(shape, mask);
  const float* values = mask.data;
  numberSites([values](long long p) { return values[p] != 0.0f && values[p] == values[p]; },
              mask.name, "inside (non-zero and not NaN)");
}

Neighbourhood::Neighbourhood(const Image& shape, const std::vector<unsigned char>& inside,
                             const char* subject, const char* which)
    : m_dimX(shape.dimX), m_dimY(shape.dimY), m_dimZ(shape.dimZ), m_sites(0), m_pairs(0) {
  const unsigned char* in = inside.data();
  numberSites([in](long long p) { return in[p] != 0; }, subject, which);
}

// One pass in voxel order: a voxel's neighbours towards -x, -y and -z are
// numbered before it, so its pairs are counted as it is.
template <typename Inside>
void Neighbourhood::numberSites(Inside inside, const char* subject, const char* which) {
  const long long voxels = numVoxels();
  m_siteOf.resize(voxels);
  int* siteOf = m_siteOf.data();
  const long long dimX = m_dimX, dimY = m_dimY, slice = dimX * dimY;
  int sites = 0;
  long long pairs = 0;
  long long x = 0, y = 0;
  for (long long p = 0; p < voxels; ++p) {
    if (inside(p)) {
      siteOf[p] = sites++;
      pairs += (x > 0 && siteOf[p - 1] >= 0) + (y > 0 && siteOf[p - dimX] >= 0) +
               (p >= slice && siteOf[p - slice] >= 0);
    } else {
      siteOf[p] = -1;
    }
    if (++x == dimX) {
      x = 0;
      if (++y == dimY) y = 0;
    }
  }
  m_sites = sites;
  if (m_sites < 2)
    throw AppError(subject, "has %d voxel%s %s of %lld, the segmentation needs at least 2", m_sites,
                   m_sites == 1 ? "" : "s", which, voxels);
  m_pairs = pairs;
}

long long Neighbourhood::pairsOfGrid(int dimX, int dimY, int dimZ) {
  long long x = dimX, y = dimY, z = dimZ;
  return (x - 1) * y * z + x * (y - 1) * z + x * y * (z - 1);
}
