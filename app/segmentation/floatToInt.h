// Float to 32-bit integer, as the tool converts costs, pair weights and
// integer voxels on output: truncation toward zero, saturating at the 32-bit
// limits (at or above 2^31 gives 2147483647, below -2^31 and NaN give
// -2147483648). Never performs an out-of-range float-to-int cast, whose
// result the language leaves undefined.
#ifndef DTICUT_APP_SEGMENTATION_FLOATTOINT_H
#define DTICUT_APP_SEGMENTATION_FLOATTOINT_H

#include <climits>

inline int floatToInt(float value) {
  if (value != value) return INT_MIN;
  if (value >= 2147483648.0f) return INT_MAX;
  if (value < -2147483648.0f) return INT_MIN;
  return static_cast<int>(value);
}

#endif  // DTICUT_APP_SEGMENTATION_FLOATTOINT_H
