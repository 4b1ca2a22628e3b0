// Volumes of a diffusion-tensor fit as dticut holds them, and how they are
// loaded from their files.
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
#ifndef DTICUT_APP_VOLUME_H
#define DTICUT_APP_VOLUME_H

#include <memory>
#include <string>
#include <vector>

#include "app/inputForms.h"
#include "app/niiIO.h"

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

// Reads a NIfTI-1 volume; the path becomes the record's name.
Image getImage(char const* path);
// Reads the eigenvalue volume, then the x, y and z component volumes, and
// refuses components whose dimensions differ from the eigenvalue volume's.
Eigenvector getEigenvector(char const* eigenvalue, char const* x, char const* y, char const* z);
// The same set from the eigenvalue volume and one 4-D file whose volumes 0,
// 1 and 2 are the x, y and z components (each component named after that
// file); refuses a file with fewer volumes or of another size.
Eigenvector getEigenvector(char const* eigenvalue, char const* vectors);
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

// The files of one run, resolved to paths, in the order of their form's
// table (inputForms.h), and the mask's path if any.
struct InputFiles {
  const InputVolume* form;  // kThirteenFileForm, kTensorPrefixForm or kDipyForm
  std::vector<std::string> paths;
  std::string mask;  // empty: no mask

  // The thirteen paths as given, in command-line order.
  static InputFiles thirteen(char* const* paths);
  // PREFIX_<name>.nii.gz, or else PREFIX_<name>.nii, for every file of the
  // prefix form, all resolved before any is read so that a missing one is
  // reported at once; a name that exists but cannot be opened is kept, so
  // that reading it reports why.
  static InputFiles tensorPrefix(const char* prefix);
  // The three files of the dipy form.
  static InputFiles dipy(const char* evals, const char* evecs, const char* scalar);
};

// Everything the segmentation reads: the three sets, the scalar volume, the
// mask (no data when none was given), and the first file's header, kept
// from its one read as the output's template.
struct TensorVolumes {
  Eigenvector sets[3];
  Image scalar;
  Image mask;
  std::unique_ptr<niiIO> outputTemplate;  // holds no voxels; writes one volume
};

// Reads every file once, in the form's order, then the mask: first every
// header, then the voxels, so that a file that is unreadable, of another
// size or with too few volumes is refused before any voxels are read. Each
// file must have the dimensions of the first, and each set's component
// files those of the set's eigenvalue file (checked in that order, so the
// message names the nearer file); files of several volumes must hold as
// many as their kind needs (3 for a set's eigenvectors or all eigenvalues, 9
// for all eigenvectors). `requireShape` sees the first file's dimensions
// (an Image without voxels) as soon as its header is read; it throws
// AppError to refuse. Names in the records point into `files`, which must
// outlive them.
TensorVolumes loadTensorVolumes(const InputFiles& files, void (*requireShape)(const Image& first));

#endif  // DTICUT_APP_VOLUME_H
