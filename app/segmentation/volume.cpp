#include "app/segmentation/volume.h"

#include <cassert>
#include <climits>

namespace {

Image newImage(int dimX, int dimY, int dimZ, const char* name) {
  assert(dimX >= 0 && dimY >= 0 && dimZ >= 0);
  assert(static_cast<long long>(dimX) * dimY * dimZ <= INT_MAX);
  std::shared_ptr<float[]> storage(new float[static_cast<size_t>(dimX) * dimY * dimZ]);
  return {storage.get(), dimX, dimY, dimZ, name, storage};
}

void requireSameDimensions(const Image& reference, const Eigenvector& set) {
  requireSameDimensions(reference, set.eigenvalue);
  requireSameDimensions(reference, set.x);
  requireSameDimensions(reference, set.y);
  requireSameDimensions(reference, set.z);
}

}  // namespace

Eigenvector newEigenvector(int dimX, int dimY, int dimZ) {
  return {newImage(dimX, dimY, dimZ, "eigenvalue"), newImage(dimX, dimY, dimZ, "eigenvector_x"),
          newImage(dimX, dimY, dimZ, "eigenvector_y"), newImage(dimX, dimY, dimZ, "eigenvector_z")};
}

void requireSameDimensions(const Image& reference, const Image& other) {
  if (other.dimX != reference.dimX || other.dimY != reference.dimY || other.dimZ != reference.dimZ)
    throw AppError(other.name, "dimensions %d x %d x %d differ from the %d x %d x %d of %s",
                   other.dimX, other.dimY, other.dimZ, reference.dimX, reference.dimY,
                   reference.dimZ, reference.name);
}

Eigenvector largerOf(Eigenvector a, Eigenvector b) {
  const Image& shape = a.eigenvalue;
  requireSameDimensions(shape, a);
  requireSameDimensions(shape, b);
  Eigenvector result = newEigenvector(shape.dimX, shape.dimY, shape.dimZ);
  for (int z = 0; z < shape.dimZ; ++z) {
    for (int y = 0; y < shape.dimY; ++y) {
      for (int x = 0; x < shape.dimX; ++x) {
        int i = indexOf(x, y, z, shape);
        // A NaN on either side fails the comparison and selects b.
        const Eigenvector& from = a.eigenvalue.data[i] >= b.eigenvalue.data[i] ? a : b;
        result.eigenvalue.data[i] = from.eigenvalue.data[i];
        result.x.data[i] = from.x.data[i];
        result.y.data[i] = from.y.data[i];
        result.z.data[i] = from.z.data[i];
      }
    }
  }
  return result;
}

Eigenvector extractPrincipalEigenvector(Eigenvector first, Eigenvector second, Eigenvector third) {
  return largerOf(largerOf(first, second), third);
}

