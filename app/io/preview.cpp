#include "app/io/preview.h"

#include <algorithm>
#include <cassert>
#include <cctype>
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

// The characters the picture writes, and their glyphs (see previewGlyph).
const char kFontCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -.=:,+()/?";
const unsigned char kFont[][7] = {
    {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}, {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E},  // A B
    {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}, {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C},  // C D
    {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}, {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10},  // E F
    {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}, {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11},  // G H
    {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}, {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C},  // I J
    {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}, {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F},  // K L
    {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}, {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11},  // M N
    {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}, {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10},  // O P
    {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}, {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11},  // Q R
    {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}, {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04},  // S T
    {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}, {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04},  // U V
    {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}, {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11},  // W X
    {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F},  // Y Z
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},  // 0 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},  // 2 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},  // 4 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},  // 6 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},  // 8 9
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00},  // space -
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}, {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00},  // . =
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}, {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08},  // : ,
    {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}, {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02},  // + (
    {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}, {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x00},  // ) /
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04},                                              // ?
};
static_assert(sizeof kFont / sizeof kFont[0] == sizeof kFontCharacters - 1,
              "one glyph per character");

// Each view's right, up and normal world axes (see the header).
const int kViewAxes[3][3] = {{0, 1, 2}, {0, 2, 1}, {1, 2, 0}};
const char* const kViewNames[3] = {"AXIAL", "CORONAL", "SAGITTAL"};
// The letters at the low and the high end of each world axis.
const char kAxisLetters[3][2] = {{'L', 'R'}, {'P', 'A'}, {'I', 'S'}};
const char kAxisNames[3] = {'X', 'Y', 'Z'};

// Overlay colours: the colour half-way from grey g towards full red, green
// or blue.
enum Overlay { kNoOverlay, kLabelOne, kSeedOfOne, kSeedOfZero };
void paintVoxel(int g, Overlay overlay, unsigned char* rgb) {
  rgb[0] = rgb[1] = rgb[2] = static_cast<unsigned char>(g);
  if (overlay == kNoOverlay) return;
  const int strong = overlay == kLabelOne ? 0 : overlay == kSeedOfOne ? 1 : 2;
  for (int c = 0; c < 3; ++c)
    rgb[c] = static_cast<unsigned char>(c == strong ? (g + 255) / 2 : g / 2);
}

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

long long textWidth(const std::string& text) {
  return kPreviewCharWidth * static_cast<long long>(text.size());
}

// The voxel axis that runs along world axis `world`.
int voxelAxisOf(const PreviewOrientation& orientation, int world) {
  for (int j = 0; j < 3; ++j)
    if (orientation.worldAxis[j] == world) return j;
  assert(false);
  return 0;
}

// The world-order positions of a view's slices, as voxel indices along the
// voxel axis of `dim` voxels normal to it.
std::vector<int> sliceIndices(int dim, bool reversed, int slices) {
  const int n = std::min(slices, dim);
  std::vector<int> indices;
  for (int i = 0; i < n; ++i) {
    const int p = static_cast<int>(static_cast<long long>(i + 1) * dim / (n + 1));
    indices.push_back(reversed ? dim - 1 - p : p);
  }
  return indices;
}

// "AXIAL Z=12.5": the world coordinate along the view's normal of the voxel
// at the slice and the centre of the other two axes.
std::string panelTitle(int view, int slice, const int dims[3], const VoxelToWorld& transform,
                       const PreviewOrientation& orientation) {
  const int normal = kViewAxes[view][2];
  const int axis = voxelAxisOf(orientation, normal);
  double coordinate = transform.m[normal][3];
  for (int j = 0; j < 3; ++j)
    coordinate += transform.m[normal][j] * (j == axis ? slice : (dims[j] - 1) / 2.0);
  std::string title = kViewNames[view];
  if (!std::isfinite(coordinate)) return title;
  char text[64];
  snprintf(text, sizeof text, " %c=%.1f", kAxisNames[normal], coordinate);
  if (strcmp(text + 3, "-0.0") == 0) snprintf(text + 3, sizeof text - 3, "0.0");
  return title + text;
}

std::string headerText(const VoxelToWorld& transform) {
  std::string text = "NEUROLOGICAL: L ON THE LEFT. ";
  if (strcmp(transform.source, "pixdim") == 0) return text + "NO SFORM OR QFORM: VOXEL AXES AS RAS+";
  std::string source = transform.source;
  for (char& c : source) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text + "RAS+ FROM THE " + source;
}

// Everything but the scale and step, for the sizes previewLayout tries.
struct LayoutInputs {
  int dims[3];
  const VoxelToWorld* transform;
  PreviewOrientation orientation;
  int slices;
  bool seeds;
};

PreviewLayout layoutAt(const LayoutInputs& in, int scale, int step) {
  const int M = kPreviewMargin, T = kPreviewTextHeight, W = kPreviewCharWidth;
  PreviewLayout layout;
  layout.scale = scale;
  layout.step = step;
  layout.orientation = in.orientation;
  const std::string header = headerText(*in.transform);
  layout.texts.push_back({0, 0, textWidth(header), header});
  long long width = textWidth(header), top = T + kPreviewGap;
  for (int view = 0; view < 3; ++view) {
    const int* axes = kViewAxes[view];
    int voxelAxes[3];
    for (int a = 0; a < 3; ++a) voxelAxes[a] = voxelAxisOf(in.orientation, axes[a]);
    const long long w = static_cast<long long>(scale) * ((in.dims[voxelAxes[0]] + step - 1) / step);
    const long long h = static_cast<long long>(scale) * ((in.dims[voxelAxes[1]] + step - 1) / step);
    const std::vector<int> slices = sliceIndices(in.dims[voxelAxes[2]],
                                                 in.orientation.reversed[voxelAxes[2]], in.slices);
    long long left = 0;
    for (int slice : slices) {
      const long long imageLeft = left + M, imageTop = top + T + M, cellRight = left + w + 2 * M;
      layout.panels.push_back({view, slice, imageLeft, imageTop, w, h});
      layout.texts.push_back(
          {left, top, cellRight, panelTitle(view, slice, in.dims, *in.transform, in.orientation)});
      const long long letterTop = imageTop + std::max(0LL, (h - T) / 2);
      const long long letterLeft = imageLeft + std::max(0LL, (w - W) / 2);
      const char* right = kAxisLetters[axes[0]];
      const char* up = kAxisLetters[axes[1]];
      layout.texts.push_back({left + 2, letterTop, cellRight, std::string(1, right[0])});
      layout.texts.push_back({imageLeft + w + 2, letterTop, cellRight, std::string(1, right[1])});
      layout.texts.push_back({letterLeft, top + T, cellRight, std::string(1, up[1])});
      layout.texts.push_back({letterLeft, imageTop + h, cellRight, std::string(1, up[0])});
      width = std::max(width, cellRight);
      left = cellRight + kPreviewGap;
    }
    top += h + T + 2 * M + kPreviewGap;
  }
  struct Entry {
    const char* name;
    Overlay overlay;
  };
  const Entry entries[] = {
      {"LABEL 1", kLabelOne}, {"SEED OF LABEL 1", kSeedOfOne}, {"SEED OF LABEL 0", kSeedOfZero}};
  long long left = 0;
  for (const Entry& entry : entries) {
    if (entry.overlay != kLabelOne && !in.seeds) continue;
    PreviewSwatch swatch = {left, top, {}};
    paintVoxel(128, entry.overlay, swatch.rgb);
    layout.swatches.push_back(swatch);
    const long long textLeft = left + T + 4, textRight = textLeft + textWidth(entry.name);
    layout.texts.push_back({textLeft, top, textRight, entry.name});
    width = std::max(width, textRight);
    left = textRight + kPreviewMargin;
  }
  layout.width = width;
  layout.height = top + T;
  return layout;
}

bool fits(const PreviewLayout& layout) {
  return layout.width <= kPreviewMaxSide && layout.height <= kPreviewMaxSide;
}

// Builds the picture's rows from the layout, the volume, the labels and
// the seeds.
class PreviewPainter {
 public:
  PreviewPainter(const PreviewRequest& request, const PreviewLayout& layout)
      : m_request(request), m_layout(layout), m_grey(*request.scalar) {
    const Image& scalar = *request.scalar;
    const int dims[3] = {scalar.dimX, scalar.dimY, scalar.dimZ};
    const long long strides[3] = {1, dims[0], static_cast<long long>(dims[0]) * dims[1]};
    for (const PreviewPanel& panel : layout.panels) {
      const int* axes = kViewAxes[panel.view];
      Walk walk;
      const int normal = voxelAxisOf(layout.orientation, axes[2]);
      walk.first = panel.slice * strides[normal];
      for (int a = 0; a < 2; ++a) {
        const int j = voxelAxisOf(layout.orientation, axes[a]);
        // Display index d along the axis is voxel d, or dims[j] - 1 - d.
        const bool reversed = layout.orientation.reversed[j];
        walk.origin[a] = reversed ? (dims[j] - 1) * strides[j] : 0;
        walk.stride[a] = reversed ? -strides[j] : strides[j];
      }
      m_walks.push_back(walk);
    }
  }

  // Fills `row` (layout.width pixels) with picture row y.
  void paintRow(long long y, unsigned char* row) const {
    memset(row, 0, static_cast<size_t>(m_layout.width) * kBytesPerPixel);
    const long long k = m_layout.scale, s = m_layout.step;
    for (size_t p = 0; p < m_layout.panels.size(); ++p) {
      const PreviewPanel& panel = m_layout.panels[p];
      if (y < panel.top || y >= panel.top + panel.height) continue;
      const Walk& walk = m_walks[p];
      const long long rows = panel.height / k;
      const long long up = (rows - 1 - (y - panel.top) / k) * s;
      const long long base = walk.first + walk.origin[0] + walk.origin[1] + up * walk.stride[1];
      unsigned char* out = row + panel.left * kBytesPerPixel;
      for (long long c = 0; c < panel.width / k; ++c) {
        const long long index = base + c * s * walk.stride[0];
        unsigned char pixel[kBytesPerPixel];
        paintVoxel(m_grey.grey(m_request.scalar->data[index]), overlayAt(index), pixel);
        for (long long i = 0; i < k; ++i, out += kBytesPerPixel) memcpy(out, pixel, kBytesPerPixel);
      }
    }
    for (const PreviewSwatch& swatch : m_layout.swatches) {
      if (y < swatch.top || y >= swatch.top + kPreviewTextHeight) continue;
      for (long long x = swatch.left; x < swatch.left + kPreviewTextHeight; ++x)
        memcpy(row + x * kBytesPerPixel, swatch.rgb, kBytesPerPixel);
    }
    for (const PreviewText& text : m_layout.texts) {
      const long long line = (y - text.top) / kPreviewTextScale;
      if (y < text.top || line >= 7) continue;  // row 7 of a glyph cell is blank
      for (size_t i = 0; i < text.text.size(); ++i) {
        const unsigned char bits = previewGlyph(text.text[i])[line];
        for (int b = 0; b < 5; ++b) {
          if (!(bits & (0x10 >> b))) continue;
          const long long x0 = text.left + static_cast<long long>(i) * kPreviewCharWidth +
                               b * kPreviewTextScale;
          for (long long x = x0; x < x0 + kPreviewTextScale && x < text.clipRight; ++x)
            memset(row + x * kBytesPerPixel, 255, kBytesPerPixel);
        }
      }
    }
  }

 private:
  // A panel's voxels: display column c, row up u (from the bottom) is
  // first + origin[0] + c * stride[0] + origin[1] + u * stride[1].
  struct Walk {
    long long first;
    long long origin[2];
    long long stride[2];
  };

  Overlay overlayAt(long long index) const {
    const unsigned char seed = m_request.seeds != nullptr ? m_request.seeds[index] : 0;
    if (seed == 1) return kSeedOfOne;
    if (seed == 2) return kSeedOfZero;
    return m_request.labels[index] == 1.0f ? kLabelOne : kNoOverlay;
  }

  const PreviewRequest& m_request;
  const PreviewLayout& m_layout;
  GreyScale m_grey;
  std::vector<Walk> m_walks;
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
    painter.paintRow(y, row);
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

const unsigned char* previewGlyph(char c) {
  const char upper = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  const char* at = upper != '\0' ? strchr(kFontCharacters, upper) : nullptr;
  if (at == nullptr) at = strchr(kFontCharacters, '?');
  return kFont[at - kFontCharacters];
}

PreviewOrientation previewOrientation(const VoxelToWorld& transform) {
  struct Entry {
    double size;
    int world, voxel;
  };
  std::vector<Entry> entries;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const double value = std::fabs(transform.m[i][j]);
      entries.push_back({std::isnan(value) ? 0.0 : value, i, j});
    }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.size > b.size; });
  PreviewOrientation orientation = {{-1, -1, -1}, {false, false, false}};
  bool worldUsed[3] = {false, false, false};
  for (const Entry& entry : entries) {
    if (worldUsed[entry.world] || orientation.worldAxis[entry.voxel] >= 0) continue;
    worldUsed[entry.world] = true;
    orientation.worldAxis[entry.voxel] = entry.world;
    orientation.reversed[entry.voxel] = transform.m[entry.world][entry.voxel] < 0;
  }
  return orientation;
}

PreviewLayout previewLayout(int dimX, int dimY, int dimZ, const VoxelToWorld& transform,
                            int slices, bool seeds) {
  assert(dimX >= 1 && dimY >= 1 && dimZ >= 1 && slices >= 1 && slices <= kPreviewMaxSlices);
  const LayoutInputs inputs = {{dimX, dimY, dimZ}, &transform, previewOrientation(transform),
                               slices, seeds};
  const int largest = std::max({dimX, dimY, dimZ});
  for (int scale = (kPreviewMinSide + largest - 1) / largest; scale >= 1; --scale) {
    PreviewLayout layout = layoutAt(inputs, scale, 1);
    if (fits(layout)) return layout;
  }
  // At scale 1 every larger step shrinks every image; at the step of the
  // largest dimension each is one pixel, which fits any number of slices.
  for (int step = 2;; ++step) {
    PreviewLayout layout = layoutAt(inputs, 1, step);
    if (fits(layout) || step >= largest) return layout;
  }
}

void writePreview(const char* path, const PreviewRequest& request) {
  const Image& scalar = *request.scalar;
  if (scalar.dimX < 1 || scalar.dimY < 1 || scalar.dimZ < 1)
    throw AppError(path, "cannot draw %s: dimensions %d x %d x %d, expected each at least 1",
                   scalar.name, scalar.dimX, scalar.dimY, scalar.dimZ);
  if (request.slices < 1 || request.slices > kPreviewMaxSlices)
    throw AppError(path, "cannot draw %d slices a view, expected 1 to %d", request.slices,
                   kPreviewMaxSlices);
  assert(scalar.data != nullptr && request.labels != nullptr);
  const PreviewLayout layout = previewLayout(scalar.dimX, scalar.dimY, scalar.dimZ,
                                             request.transform, request.slices,
                                             request.seeds != nullptr);
  const PreviewPainter painter(request, layout);
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
