#include "app/segmentation/neighbourhood.h"

Neighbourhood::Neighbourhood(const Image& shape)
    : m_dimX(shape.dimX),
      m_dimY(shape.dimY),
      m_dimZ(shape.dimZ),
      m_sites(static_cast<int>(numVoxels())),
      m_pairs(pairsOfGrid(shape.dimX, shape.dimY, shape.dimZ)) {}

namespace {

std::vector<unsigned char> insideOf(const Image& shape, const Image& mask) {
  requireSameDimensions(shape, mask);
  const long long voxels = static_cast<long long>(shape.dimX) * shape.dimY * shape.dimZ;
  std::vector<unsigned char> inside(voxels);
  for (long long p = 0; p < voxels; ++p) {
    const float m = mask.data[p];
    inside[p] = m != 0.0f && m == m;
  }
  return inside;
}

}  // namespace

Neighbourhood::Neighbourhood(const Image& shape, const Image& mask)
    : Neighbourhood(shape, insideOf(shape, mask), mask.name, "inside (non-zero and not NaN)") {}

Neighbourhood::Neighbourhood(const Image& shape, const std::vector<unsigned char>& inside,
                             const char* subject, const char* which)
    : m_dimX(shape.dimX), m_dimY(shape.dimY), m_dimZ(shape.dimZ), m_sites(0), m_pairs(0) {
  const long long voxels = numVoxels();
  m_siteOf.resize(voxels);
  for (long long p = 0; p < voxels; ++p) m_siteOf[p] = inside[p] ? m_sites++ : -1;
  if (m_sites < 2)
    throw AppError(subject, "has %d voxel%s %s of %lld, the segmentation needs at least 2", m_sites,
                   m_sites == 1 ? "" : "s", which, voxels);
  walk([](int, int) {}, [this](int, int, int, int, long long) { ++m_pairs; });
}

long long Neighbourhood::pairsOfGrid(int dimX, int dimY, int dimZ) {
  long long x = dimX, y = dimY, z = dimZ;
  return (x - 1) * y * z + x * (y - 1) * z + x * y * (z - 1);
}
