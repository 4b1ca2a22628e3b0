#include "app/segmentation/geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

VoxelToWorld qformTransform(double b, double c, double d, const double offset[3],
                            const double pixdim[4]) {
  // a is implied by the unit quaternion; rounding can leave 1 - b² - c² - d²
  // slightly negative, when the standard normalises (b, c, d) instead.
  double a = 1.0 - (b * b + c * c + d * d);
  if (a < 1e-7) {
    const double norm = std::sqrt(b * b + c * c + d * d);
    if (norm > 0) b /= norm, c /= norm, d /= norm;
    a = 0.0;
  } else {
    a = std::sqrt(a);
  }
  const double rotation[3][3] = {
      {a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)},
      {2 * (b * c + a * d), a * a + c * c - b * b - d * d, 2 * (c * d - a * b)},
      {2 * (b * d - a * c), 2 * (c * d + a * b), a * a + d * d - c * c - b * b}};
  const double qfac = pixdim[0] == -1.0 ? -1.0 : 1.0;
  const double scale[3] = {pixdim[1], pixdim[2], qfac * pixdim[3]};
  VoxelToWorld transform;
  transform.source = "qform";
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column)
      transform.m[row][column] = rotation[row][column] * scale[column];
    transform.m[row][3] = offset[row];
  }
  return transform;
}

std::string geometryMismatch(const VoxelToWorld& reference, const char* referenceName,
                             const VoxelToWorld& other, const char* remedy) {
  double voxel = 0.0, translation = 0.0, linear = 0.0;
  for (int column = 0; column < 3; ++column) {
    double squares = 0.0;
    for (int row = 0; row < 3; ++row) squares += reference.m[row][column] * reference.m[row][column];
    voxel = std::max(voxel, std::sqrt(squares));
  }
  bool unusable = false;  // a NaN or infinite entry never agrees
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 4; ++column) {
      const double difference = std::fabs(reference.m[row][column] - other.m[row][column]);
      unusable = unusable || !std::isfinite(difference);
      double& largest = column == 3 ? translation : linear;
      largest = std::max(largest, difference);
    }
  }
  if (!unusable && translation <= 1e-3 * voxel && linear <= 1e-4 * voxel) return "";
  char text[1024];
  snprintf(text, sizeof text,
           "its voxel-to-world transform (%s) differs from that of %s (%s) by up to %.6g mm in "
           "position and %.6g in rotation and scaling, beyond what one grid allows (%.3g mm and "
           "%.3g for voxels of %.6g mm): it is from another subject or space; %s",
           other.source, referenceName, reference.source, translation, linear, 1e-3 * voxel,
           1e-4 * voxel, voxel, remedy);
  return text;
}
