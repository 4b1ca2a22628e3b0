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
  const long long voxels = numVoxels();
  m_siteOf.resize(voxels);
  for (long long p = 0; p < voxels; ++p) {
    const float m = mask.data[p];
    m_siteOf[p] = m != 0.0f && m == m ? m_sites++ : -1;
  }
  if (m_sites < 2)
    throw AppError(mask.name,
                   "has %d voxel%s inside (non-zero and not NaN) of %lld, the segmentation "
                   "needs at least 2",
                   m_sites, m_sites == 1 ? "" : "s", voxels);
  walk([](int, int) {}, [this](int, int, int, int) { ++m_pairs; });
}

long long Neighbourhood::pairsOfGrid(int dimX, int dimY, int dimZ) {
  long long x = dimX, y = dimY, z = dimZ;
  return (x - 1) * y * z + x * (y - 1) * z + x * y * (z - 1);
}
