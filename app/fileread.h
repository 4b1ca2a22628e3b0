// Volume records of the segmentation tool and the per-voxel operations on
// them: scalar volumes (Image), eigen-component sets of a diffusion-tensor
// fit (Eigenvector: an eigenvalue volume and the x, y, z components of its
// eigenvector) and the choice of the principal component per voxel.
//
// Records are plain values; copies share voxel arrays, and whoever made a
// record releases it once (releaseImage, releaseEigenvector). Voxel (x, y, z)
// of a volume is element x + y*dimX + z*dimX*dimY. Operations that combine
// volumes first check that their dimensions agree and throw NiftiError
// otherwise, so no operation reads beyond an array. Per-voxel operations
// are O(1); whole-volume operations one pass.
#ifndef DTICUT_APP_FILEREAD_H
#define DTICUT_APP_FILEREAD_H

// A scalar volume.
struct Image {
  float* data;  // dimX * dimY * dimZ values, x fastest
  int dimX;
  int dimY;
  int dimZ;
  const char* name;  // not owned: the path read, or a fixed label
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
// Four new volumes of the given size, contents undefined, named
// "eigenvalue", "eigenvector_x", "eigenvector_y", "eigenvector_z".
Eigenvector newEigenvector(int dimX, int dimY, int dimZ);

void releaseImage(Image image);
void releaseEigenvector(Eigenvector set);

// Throws NiftiError naming `other` and both sizes unless the two volumes
// have the same dimensions.
void requireSameDimensions(const Image& reference, const Image& other);

// New set holding, per voxel, the four values of one of the two sets: `a`'s
// when a.eigenvalue >= b.eigenvalue (so ties go to `a`), otherwise `b`'s,
// which includes every voxel where either eigenvalue is NaN.
Eigenvector largerOf(Eigenvector a, Eigenvector b);
// Per voxel the set with the largest eigenvalue; ties go to the earlier set.
Eigenvector extractPrincipalEigenvector(Eigenvector first, Eigenvector second, Eigenvector third);

int indexOf(int x, int y, int z, Image image);
// The eigenvector at voxel i scaled by its eigenvalue, in single precision.
Vector vectorAt(int i, Eigenvector set);
// a.x*b.x + a.y*b.y, then + a.z*b.z, in single precision.
float dot(Vector a, Vector b);

// Prints the name, dimensions, minimum, maximum and the mean of the
// strictly positive values. Minimum and maximum start from 1000000 and
// -1000000, so they never report beyond those bounds; NaN is ignored.
void summarize(Image image);
// The four summaries: eigenvalue, x, y, z.
void summarize(Eigenvector set);

#endif  // DTICUT_APP_FILEREAD_H
