// How NIfTI voxels of each accepted datatype become floats and back.
//
// Reading: a voxel becomes the float nearest to it; unscaled, by the C
// conversion (one rounding); scaled (scalingOf), as raw * slope + inter
// computed in double precision and rounded once to float. Writing: floats
// as they are (float64 widened exactly), integers through floatToInt and
// then the type's low bits of the 32-bit result (64-bit types: the 32-bit
// result sign-extended). Every value passes through the header's field
// codec, so byte order is handled there alone.
#ifndef DTICUT_APP_IO_NIFTIVOXELS_H
#define DTICUT_APP_IO_NIFTIVOXELS_H

#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "app/io/niftiHeader.h"
#include "app/segmentation/floatToInt.h"

// Calls `f` with a value of the C++ type that holds `datatype`'s voxels.
template <typename F>
void withVoxelType(int datatype, F&& f) {
  switch (datatype) {
    case 2:
      f(uint8_t());
      break;
    case 4:
      f(int16_t());
      break;
    case 8:
      f(int32_t());
      break;
    case 16:
      f(float());
      break;
    case 64:
      f(double());
      break;
    case 256:
      f(int8_t());
      break;
    case 512:
      f(uint16_t());
      break;
    case 768:
      f(uint32_t());
      break;
    case 1024:
      f(int64_t());
      break;
    case 1280:
      f(uint64_t());
      break;
    default:
      assert(!"datatype accepted by readHeader");
  }
}

// How raw voxel values become floats (see the header comment).
struct Scaling {
  bool apply;
  double slope;
  double inter;
};

inline Scaling scalingOf(const HeaderData& header) {
  double slope = header.scl_slope;
  double inter = std::isfinite(header.scl_inter) ? header.scl_inter : 0.0;
  if (!std::isfinite(slope) || slope == 0.0 || (slope == 1.0 && inter == 0.0))
    return {false, 1.0, 0.0};
  return {true, slope, inter};
}

// Decodes `count` voxels of type Raw: unscaled, the C conversion to float
// (one rounding); scaled, raw -> double, raw * slope + inter in double,
// then one rounding to float.
template <typename Raw>
void decodeAs(const unsigned char* in, size_t count, bool swap, const Scaling& scaling,
              float* out) {
  if (!scaling.apply) {
    // The byte order a constant of each loop, so that the native one loads
    // and converts each voxel without testing and reversing its bytes.
    auto convert = [&](auto reversed) {
      for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<float>(loadField<Raw>(in + sizeof(Raw) * i, reversed));
    };
    swap ? convert(std::true_type()) : convert(std::false_type());
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    double raw = static_cast<double>(loadField<Raw>(in + sizeof(Raw) * i, swap));
    out[i] = static_cast<float>(raw * scaling.slope + scaling.inter);
  }
}

// Encodes one value as type Raw: floats as they are (float64 widened
// exactly); integers through floatToInt, then the type's low bits of the
// 32-bit result sign-extended to 64 bits (so 64-bit types sign-extend it).
template <typename Raw>
void encodeAs(float value, bool swap, unsigned char* out) {
  if constexpr (std::is_floating_point<Raw>::value) {
    storeField<Raw>(out, static_cast<Raw>(value), swap);
  } else {
    using Bits = typename std::make_unsigned<Raw>::type;
    storeField<Bits>(out, static_cast<Bits>(static_cast<int64_t>(floatToInt(value))), swap);
  }
}

#endif  // DTICUT_APP_IO_NIFTIVOXELS_H
