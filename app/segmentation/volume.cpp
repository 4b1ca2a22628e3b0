#include "app/segmentation/volume.h"

#include <cassert>
#include <algorithm>
#include <climits>

#include "app/segmentation/parallel.h"

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

namespace {

// The principal component of `sets` into `out`, which may be sets[0]: per
// voxel the first of the sets whose eigenvalue no later set's exceeds, as
// largerOf(largerOf(first, second), third) chooses (a NaN selects the later
// set).
void principalInto(const Eigenvector sets[3], const Eigenvector& out) {
  const Image& shape = sets[0].eigenvalue;
  for (int k = 0; k < 3; ++k) requireSameDimensions(shape, sets[k]);
  const float* value[3][4];
  for (int k = 0; k < 3; ++k) {
    const Eigenvector& set = sets[k];
    const float* v[4] = {set.eigenvalue.data, set.x.data, set.y.data, set.z.data};
    std::copy(v, v + 4, value[k]);
  }
  float* to[4] = {out.eigenvalue.data, out.x.data, out.y.data, out.z.data};
  const long long voxels = static_cast<long long>(shape.dimX) * shape.dimY * shape.dimZ;
  forEachPart(voxels, [&](int, long long begin, long long end) {
    for (long long i = begin; i < end; ++i) {
      const int first = value[0][0][i] >= value[1][0][i] ? 0 : 1;
      const int from = value[first][0][i] >= value[2][0][i] ? first : 2;
      const float picked[4] = {value[from][0][i], value[from][1][i], value[from][2][i],
                               value[from][3][i]};
      for (int c = 0; c < 4; ++c) to[c][i] = picked[c];
    }
  });
}

// Whether the arrays of sets[0] are held by no records but those of `sets`.
bool ownsFirstSet(const Eigenvector sets[3]) {
  const Image* images[12];
  for (int k = 0; k < 3; ++k) {
    const Image* set[4] = {&sets[k].eigenvalue, &sets[k].x, &sets[k].y, &sets[k].z};
    std::copy(set, set + 4, images + 4 * k);
  }
  for (int c = 0; c < 4; ++c) {
    const std::shared_ptr<float[]>& storage = images[c]->storage;
    if (storage == nullptr) return false;
    long held = 0;
    for (const Image* image : images) held += image->storage == storage;
    if (storage.use_count() != held) return false;
  }
  return true;
}

}  // namespace

Eigenvector extractPrincipalEigenvector(Eigenvector first, Eigenvector second, Eigenvector third) {
  const Eigenvector sets[3] = {first, second, third};
  const Image& shape = first.eigenvalue;
  Eigenvector result = newEigenvector(shape.dimX, shape.dimY, shape.dimZ);
  principalInto(sets, result);
  return result;
}

Eigenvector takePrincipalEigenvector(Eigenvector sets[3]) {
  if (!ownsFirstSet(sets)) {
    Eigenvector result = extractPrincipalEigenvector(sets[0], sets[1], sets[2]);
    for (int k = 0; k < 3; ++k) sets[k] = Eigenvector();
    return result;
  }
  principalInto(sets, sets[0]);
  Eigenvector result = sets[0];
  for (int k = 0; k < 3; ++k) sets[k] = Eigenvector();
  return result;
}

