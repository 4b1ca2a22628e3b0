#include "app/io/preview.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include <png.h>

#include "app/io/atomicFile.h"
#include "app/segmentation/error.h"

static_assert(kPreviewMaxSide <= PNG_USER_WIDTH_MAX && kPreviewMaxSide <= PNG_USER_HEIGHT_MAX,
              "libpng would refuse the largest picture drawn");

namespace {

const int kBytesPerPixel = 3;  // 8-bit RGB

// Maps scalar values to grey levels over the volume's finite range.
class GreyScale {
 public:
  explicit GreyScale(const Image& volume) {
    long long count = static_cast<long long>(volume.dimX) * volume.dimY * volume.dimZ;
    for (long long i = 0; i < count; ++i) {
      double value = volume.data[i];
      if (!std::isfinite(value)) continue;
      if (!m_any || value < m_minimum) m_minimum = value;
      if (!m_any || value > m_maximum) m_maximum = value;
      m_any = true;
    }
  }

  unsigned char grey(float value) const {
    if (!std::isfinite(value)) return 0;
    if (m_maximum == m_minimum) return 128;
    // Finite floats differ by less than 2^129, so the double quotient is
    // exact enough and within [0, 255]; the clamp only guards rounding.
    double level = std::floor((value - m_minimum) * 255.0 / (m_maximum - m_minimum) + 0.5);
    return static_cast<unsigned char>(std::min(255.0, std::max(0.0, level)));
  }

 private:
  bool m_any = false;
  double m_minimum = 0.0;
  double m_maximum = 0.0;
};

// The voxels one panel shows: its pixel (column c, row r counted from the
// top) shows element first + c * columnStep + (rows - 1 - r) * rowStep of
// the volume, so that image up is the increasing axis; the steps include
// the layout's step.
struct SliceWalk {
  long long first;
  long long columnStep;
  long long rowStep;
  long long columns;
  long long rows;
};

// Builds the picture's rows from the volume and the labels.
class PreviewPainter {
 public:
  PreviewPainter(const Image& scalar, const float* labels, const PreviewLayout& layout)
      : m_scalar(scalar), m_labels(labels), m_layout(layout), m_grey(scalar) {
    const long long dimX = scalar.dimX, dimY = scalar.dimY, dimZ = scalar.dimZ;
    const long long plane = dimX * dimY, s = layout.step;
    const long long nx = (dimX + s - 1) / s, ny = (dimY + s - 1) / s, nz = (dimZ + s - 1) / s;
    m_slices[0] = {(dimZ / 2) * plane, s, s * dimX, nx, ny};  // axial: x right, y up
    m_slices[1] = {(dimY / 2) * dimX, s, s * plane, nx, nz};  // coronal: x right, z up
    m_slices[2] = {dimX / 2, s * dimX, s * plane, ny, nz};    // sagittal: y right, z up
  }

  // Fills `row` (layout.width pixels) with picture row `voxelRow` * scale,
  // which the next scale - 1 rows repeat.
  void paintRow(long long voxelRow, unsigned char* row) const {
    const long long scale = m_layout.scale;
    memset(row, 0, static_cast<size_t>(m_layout.width) * kBytesPerPixel);
    for (int p = 0; p < 3; ++p) {
      const SliceWalk& slice = m_slices[p];
      if (voxelRow >= slice.rows) continue;
      long long index = slice.first + (slice.rows - 1 - voxelRow) * slice.rowStep;
      unsigned char* out = row + m_layout.panels[p].left * kBytesPerPixel;
      for (long long c = 0; c < slice.columns; ++c, index += slice.columnStep) {
        int g = m_grey.grey(m_scalar.data[index]);
        unsigned char pixel[kBytesPerPixel] = {static_cast<unsigned char>(g),
                                               static_cast<unsigned char>(g),
                                               static_cast<unsigned char>(g)};
        if (m_labels[index] == 1.0f) {
          pixel[0] = static_cast<unsigned char>((g + 255) / 2);
          pixel[1] = pixel[2] = static_cast<unsigned char>(g / 2);
        }
        for (long long k = 0; k < scale; ++k, out += kBytesPerPixel)
          memcpy(out, pixel, kBytesPerPixel);
      }
    }
  }

 private:
  const Image& m_scalar;
  const float* m_labels;
  const PreviewLayout& m_layout;
  GreyScale m_grey;
  SliceWalk m_slices[3];
};

// What the libpng callbacks leave for the C++ side. libpng is C: an error
// leaves it only by longjmp, and no C++ exception may cross its frames, so
// the callbacks record what went wrong here and the caller throws it once
// libpng has returned.
struct EncoderState {
  AtomicFile* file;
  std::optional<AppError> writeError;  // the file's own failure, as thrown
  char problem[256] = "";                // libpng's first error or warning

  void note(const char* message) {
    if (problem[0] == '\0') snprintf(problem, sizeof problem, "%s", message);
  }
};

void onPngError(png_structp png, png_const_charp message) {
  static_cast<EncoderState*>(png_get_error_ptr(png))->note(message);
  png_longjmp(png, 1);
}

// The writer uses nothing that libpng should warn about, so a warning is
// treated as a failure rather than printed and forgotten.
void onPngWarning(png_structp png, png_const_charp message) {
  static_cast<EncoderState*>(png_get_error_ptr(png))->note(message);
}

void onPngWrite(png_structp png, png_bytep bytes, size_t length) {
  EncoderState* state = static_cast<EncoderState*>(png_get_io_ptr(png));
  bool failed = false;
  try {
    state->file->write(bytes, length);
  } catch (const AppError& error) {
    state->writeError.emplace(error);
    failed = true;
  }
  // Outside the handler: longjmp out of a catch block would skip the
  // exception's cleanup.
  if (failed) png_error(png, "write failed");
}

// The file is flushed once, by AtomicFile::commit; libpng's default flush
// would treat the I/O pointer as a FILE*.
void onPngFlush(png_structp) {}

// Runs libpng from the header to the end of the stream; false when libpng
// reported an error. libpng's errors longjmp back to the setjmp below: no
// frame between here and libpng's holds an object with a destructor, and
// nothing assigned after setjmp is read after the jump.
bool encodeRows(png_structp png, png_infop info, const PreviewLayout& layout,
                const PreviewPainter& painter, unsigned char* row) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_set_IHDR(png, info, static_cast<png_uint_32>(layout.width),
               static_cast<png_uint_32>(layout.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (long long y = 0; y < layout.height; ++y) {
    if (y % layout.scale == 0) painter.paintRow(y / layout.scale, row);
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
  return true;
}

// libpng's encoder state, released whatever happens.
struct PngEncoder {
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngEncoder() {
    if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
  }
};

}  // namespace

PreviewLayout previewLayout(int dimX, int dimY, int dimZ) {
  assert(dimX >= 1 && dimY >= 1 && dimZ >= 1);
  const long long largest = std::max({dimX, dimY, dimZ});
  PreviewLayout layout;
  layout.scale = static_cast<int>((kPreviewMinSide + largest - 1) / largest);
  layout.step = 1;
  for (;;) {
    const long long k = layout.scale, s = layout.step;
    const long long nx = (dimX + s - 1) / s, ny = (dimY + s - 1) / s, nz = (dimZ + s - 1) / s;
    layout.panels[0] = {0, k * nx, k * ny};
    layout.panels[1] = {layout.panels[0].width + kPreviewGap, k * nx, k * nz};
    layout.panels[2] = {layout.panels[1].left + layout.panels[1].width + kPreviewGap, k * ny,
                        k * nz};
    layout.width = layout.panels[2].left + layout.panels[2].width;
    layout.height = k * std::max(ny, nz);
    if (layout.width <= kPreviewMaxSide && layout.height <= kPreviewMaxSide) return layout;
    // Only a volume of more than kPreviewMinSide voxels along some axis
    // (scale 1) can be too large; each larger step shrinks every panel.
    assert(layout.scale == 1);
    ++layout.step;
  }
}

void writePreview(const char* path, const Image& scalar, const float* labels) {
  if (scalar.dimX < 1 || scalar.dimY < 1 || scalar.dimZ < 1)
    throw AppError(path, "cannot draw %s: dimensions %d x %d x %d, expected each at least 1",
                     scalar.name, scalar.dimX, scalar.dimY, scalar.dimZ);
  assert(scalar.data != nullptr && labels != nullptr);
  const PreviewLayout layout = previewLayout(scalar.dimX, scalar.dimY, scalar.dimZ);
  const PreviewPainter painter(scalar, labels, layout);
  std::vector<unsigned char> row(static_cast<size_t>(layout.width) * kBytesPerPixel);
  AtomicFile file(path);
  EncoderState state;
  state.file = &file;
  PngEncoder encoder;
  encoder.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, onPngError, onPngWarning);
  if (encoder.png != nullptr) encoder.info = png_create_info_struct(encoder.png);
  if (encoder.info == nullptr)
    throw AppError(path, "cannot start the PNG encoder%s%s", state.problem[0] ? ": " : "",
                     state.problem);
  png_set_write_fn(encoder.png, &state, onPngWrite, onPngFlush);
  bool encoded = encodeRows(encoder.png, encoder.info, layout, painter, row.data());
  if (state.writeError) throw *state.writeError;
  if (!encoded || state.problem[0] != '\0')
    throw AppError(path, "PNG encoder: %s", state.problem[0] ? state.problem : "failed");
  file.commit();
}
