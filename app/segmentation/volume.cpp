#include "app/segmentation/volume.h"

#include <algorithm>
#include <cassert>
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

namespace {

// Per voxel the four values of `a` when a.eigenvalue >= b.eigenvalue, else
// of `b` (so a NaN on either side selects b), written to `out`, which may be
// `a`: a voxel's values are all read before any is written. On every core.
void chooseLarger(const Eigenvector& a, const Eigenvector& b, const Eigenvector& out) {
  const Image& shape = a.eigenvalue;
  requireSameDimensions(shape, a);
  requireSameDimensions(shape, b);
  const float* from[2][4] = {{a.eigenvalue.data, a.x.data, a.y.data, a.z.data},
                             {b.eigenvalue.data, b.x.data, b.y.data, b.z.data}};
  float* to[4] = {out.eigenvalue.data, out.x.data, out.y.data, out.z.data};
  const long long voxels = static_cast<long long>(shape.dimX) * shape.dimY * shape.dimZ;
  if (std::equal(to, to + 4, from[0])) {
    // In place: a voxel that keeps a's values is not written (it would be
    // written with what it holds), so that only the eigenvalues are read
    // where a's are the larger, as they mostly are.
    forEachPart(voxels, [&](int, long long begin, long long end) {
      for (long long i = begin; i < end; ++i) {
        if (from[0][0][i] >= from[1][0][i]) continue;
        for (int c = 0; c < 4; ++c) to[c][i] = from[1][c][i];
      }
    });
    return;
  }
  forEachPart(voxels, [&](int, long long begin, long long end) {
    for (long long i = begin; i < end; ++i) {
      const float* const* set = from[from[0][0][i] >= from[1][0][i] ? 0 : 1];
      const float picked[4] = {set[0][i], set[1][i], set[2][i], set[3][i]};
      for (int c = 0; c < 4; ++c) to[c][i] = picked[c];
    }
  });
}

bool complete(const Eigenvector& set) {
  return set.eigenvalue.data && set.x.data && set.y.data && set.z.data;
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

Eigenvector largerOf(Eigenvector a, Eigenvector b) {
  const Image& shape = a.eigenvalue;
  Eigenvector result = newEigenvector(shape.dimX, shape.dimY, shape.dimZ);
  chooseLarger(a, b, result);
  return result;
}

Eigenvector extractPrincipalEigenvector(Eigenvector first, Eigenvector second, Eigenvector third) {
  Eigenvector result = largerOf(first, second);
  chooseLarger(result, third, result);
  return result;
}

void foldPrincipalSets(Eigenvector sets[3]) {
  for (int k = 1; k < 3; ++k) {
    if (!complete(sets[0]) || !complete(sets[k])) continue;
    if (ownsFirstSet(sets))
      chooseLarger(sets[0], sets[k], sets[0]);
    else
      sets[0] = largerOf(sets[0], sets[k]);
    sets[k] = Eigenvector();
  }
}

Eigenvector takePrincipalEigenvector(Eigenvector sets[3]) {
  foldPrincipalSets(sets);
  Eigenvector principal = sets[0];
  sets[0] = Eigenvector();
  return principal;
}
