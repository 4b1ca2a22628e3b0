// Volumes of a diffusion-tensor fit as dticut holds them.
//
// Records: scalar volumes (Image), three-component vectors (Vector) and
// eigen-component sets (Eigenvector: an eigenvalue volume and the x, y, z
// components of its eigenvector), plus the choice of the principal set per
// voxel. Records are plain values; copies share voxel arrays, which live as
// long as some copy that owns them (Image::storage). Voxel (x, y, z) of a
// volume is element x + y*dimX + z*dimX*dimY. Operations that combine
// volumes first check that their dimensions agree and throw AppError
// otherwise, so none reads beyond an array. Per-voxel operations are O(1);
// whole-volume operations one pass.
#ifndef DTICUT_APP_SEGMENTATION_VOLUME_H
#define DTICUT_APP_SEGMENTATION_VOLUME_H

#include <memory>

#include "app/segmentation/error.h"

// A scalar volume.
struct Image {
  float* data = nullptr;  // dimX * dimY * dimZ values, x fastest
  int dimX = 0;
  int dimY = 0;
  int dimZ = 0;
  const char* name = "";  // not owned: the path read, or a fixed label
  // Keeps `data` alive while any copy exists; empty when the voxels belong
  // to someone else (a caller's array).
  std::shared_ptr<float[]> storage = nullptr;
};

struct Vector {
  float x;
  float y;
  float z;
};

// One eigen-component set; all four volumes have the same dimensions.
struct Eigenvector {
  Image eigenvalue;
  Image x;
  Image y;
  Image z;
};

// Four new volumes of the given size, contents undefined, named
// "eigenvalue", "eigenvector_x", "eigenvector_y", "eigenvector_z".
Eigenvector newEigenvector(int dimX, int dimY, int dimZ);

// Throws AppError naming `other` and both sizes unless the two volumes have
// the same dimensions.
void requireSameDimensions(const Image& reference, const Image& other);

// New set holding, per voxel, the four values of one of the two sets: `a`'s
// when a.eigenvalue >= b.eigenvalue (so ties go to `a`), otherwise `b`'s,
// which includes every voxel where either eigenvalue is NaN.
Eigenvector largerOf(Eigenvector a, Eigenvector b);
// Per voxel the set with the largest eigenvalue; ties go to the earlier set.
Eigenvector extractPrincipalEigenvector(Eigenvector first, Eigenvector second, Eigenvector third);
// Folds sets[1] and then sets[2], each if it and sets[0] are complete (all
// four volumes with voxels), into sets[0] as largerOf(sets[0], sets[k])
// and empties it: in sets[0]'s arrays when no records but those of `sets`
// hold them, otherwise in new ones. Folding the sets as they are read, the
// principal component is made with at most two sets in memory; once all
// are folded sets[0] is extractPrincipalEigenvector of the three.
void foldPrincipalSets(Eigenvector sets[3]);
// The principal component of `sets`, which it empties: the sets not yet
// folded are folded (foldPrincipalSets), and sets[0] is the result. The
// per-set operations here run on every core (parallel.h).
Eigenvector takePrincipalEigenvector(Eigenvector sets[3]);

// The per-voxel operations are inline: the costs call them for every voxel
// and pair. Records go by reference, which reads the same voxels as a copy
// would and leaves the shared arrays' counts alone.
inline int indexOf(int x, int y, int z, const Image& image) {
  return z * image.dimX * image.dimY + y * image.dimX + x;
}
// The eigenvector at voxel i scaled by its eigenvalue, in single precision.
inline Vector vectorAt(int i, const Eigenvector& set) {
  float e = set.eigenvalue.data[i];
  return {e * set.x.data[i], e * set.y.data[i], e * set.z.data[i]};
}
// a.x*b.x + a.y*b.y, then + a.z*b.z, in single precision.
inline float dot(Vector a, Vector b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

#endif  // DTICUT_APP_SEGMENTATION_VOLUME_H
