// Where a volume's voxels lie in the world, and whether two volumes share
// one grid: the check that refuses an anisotropy map from another subject or
// space that happens to have the same size.
//
// A transform maps voxel (i, j, k) to world (x, y, z) = m * (i, j, k, 1), in
// millimetres. Two transforms agree when their offsets differ by at most a
// thousandth of the reference's largest voxel size (a column of its 3 x 3
// part) and every entry of their 3 x 3 parts by at most a ten-thousandth of
// it: float32 header fields rounded by different writers stay well inside,
// a shift of a voxel or a rotation of a degree well outside.
#ifndef DTICUT_APP_SEGMENTATION_GEOMETRY_H
#define DTICUT_APP_SEGMENTATION_GEOMETRY_H

#include <string>

struct VoxelToWorld {
  double m[3][4] = {};
  // Which field it came from: "sform", "qform", "pixdim" (no transform in
  // the file: the voxel sizes alone), or "affine" (given by a caller).
  const char* source = "pixdim";
};

// The transform of a NIfTI qform: quaternion (b, c, d), offsets, voxel
// sizes pixdim[1..3] and qfac (pixdim[0]; any value but -1 counts as 1),
// as the standard defines it.
VoxelToWorld qformTransform(double b, double c, double d, const double offset[3],
                            const double pixdim[4]);

// Empty when `other` agrees with `reference` (see above); otherwise what
// is wrong with `other`, naming `referenceName` and the largest
// differences, and ending in `remedy` (what the caller can do to segment
// them anyway): the text of an AppError about `other`.
std::string geometryMismatch(const VoxelToWorld& reference, const char* referenceName,
                             const VoxelToWorld& other, const char* remedy);

#endif  // DTICUT_APP_SEGMENTATION_GEOMETRY_H
