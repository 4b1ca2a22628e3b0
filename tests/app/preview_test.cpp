// Tests of the preview picture: every pixel, as libpng reads it back,
// against the voxel the documented layout puts there; failures leave an
// earlier file.
#include "app/io/preview.h"

#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <png.h>

#include "tests/app/nifti_files.h"

using namespace testfiles;

namespace {

// A written PNG as libpng's own reader decodes it into 8-bit RGB.
struct Picture {
  long long width = 0, height = 0;
  std::vector<unsigned char> rgb;

  explicit Picture(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    EXPECT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << image.message;
    EXPECT_EQ(image.format, static_cast<png_uint_32>(PNG_FORMAT_RGB));  // stored as 8-bit RGB
    rgb.resize(PNG_IMAGE_SIZE(image));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) << image.message;
    width = image.width;
    height = image.height;
  }
};

}  // namespace

namespace {

// The picture as the header's layout describes it, painted plainly: what
// each pixel shows, from the voxel axes' world axes and directions given by
// hand rather than derived from the transform.
struct Expected {
  long long width = 0, height = 0;
  std::vector<unsigned char> rgb;
  int scale = 0, step = 0;
};

Expected expectedPicture(const int dims[3], const std::vector<float>& values,
                         const std::vector<float>& labels, const std::vector<unsigned char>& seeds,
                         const VoxelToWorld& m, const int world[3], const bool reversed[3],
                         int slices, const std::string& header) {
  const int views[3][3] = {{0, 1, 2}, {0, 2, 1}, {1, 2, 0}};  // right, up, normal
  const char* names[3] = {"AXIAL", "CORONAL", "SAGITTAL"};
  const char* letters[3] = {"LR", "PA", "IS"};
  int voxelOf[3];
  for (int j = 0; j < 3; ++j) voxelOf[world[j]] = j;
  struct Item { long long x, y, clip; std::string text; };
  struct Panel { int view, slice; long long x, y, w, h; };
  std::vector<Item> texts;
  std::vector<Panel> panels;
  std::vector<std::pair<long long, int>> swatches;  // left, overlay colour 0 red 1 green 2 blue
  long long width = 0, height = 0;
  auto layout = [&](long long k, long long s) {
    texts = {{0, 0, 12LL * (long long)header.size(), header}};
    panels.clear();
    swatches.clear();
    width = 12LL * header.size();
    long long top = 24;
    for (int v = 0; v < 3; ++v) {
      const int right = voxelOf[views[v][0]], up = voxelOf[views[v][1]], normal = voxelOf[views[v][2]];
      const long long w = k * ((dims[right] + s - 1) / s), h = k * ((dims[up] + s - 1) / s);
      const int n = std::min(slices, dims[normal]);
      for (int i = 0; i < n; ++i) {
        const long long x = i * (w + 40);
        int slice = (i + 1) * dims[normal] / (n + 1);
        if (reversed[normal]) slice = dims[normal] - 1 - slice;
        panels.push_back({v, slice, x + 16, top + 32, w, h});
        double c = m.m[views[v][2]][3];
        for (int j = 0; j < 3; ++j)
          c += m.m[views[v][2]][j] * (j == normal ? slice : (dims[j] - 1) / 2.0);
        char title[64];
        snprintf(title, sizeof title, "%s %c=%.1f", names[v], "XYZ"[views[v][2]], c);
        const long long clip = x + w + 32, ly = top + 32 + std::max(0LL, (h - 16) / 2),
                        lx = x + 16 + std::max(0LL, (w - 12) / 2);
        texts.push_back({x, top, clip, title});
        texts.push_back({x + 2, ly, clip, std::string(1, letters[views[v][0]][0])});
        texts.push_back({x + 16 + w + 2, ly, clip, std::string(1, letters[views[v][0]][1])});
        texts.push_back({lx, top + 16, clip, std::string(1, letters[views[v][1]][1])});
        texts.push_back({lx, top + 32 + h, clip, std::string(1, letters[views[v][1]][0])});
        width = std::max(width, clip);
      }
      top += h + 56;
    }
    long long x = 0;
    const char* entries[3] = {"LABEL 1", "SEED OF LABEL 1", "SEED OF LABEL 0"};
    for (int e = 0; e < (seeds.empty() ? 1 : 3); ++e) {
      swatches.push_back({x, e});
      const long long end = x + 20 + 12 * (long long)strlen(entries[e]);
      texts.push_back({x + 20, top, end, entries[e]});
      width = std::max(width, end);
      x = end + 16;
    }
    height = top + 16;
    return width <= 4096 && height <= 4096;
  };
  Expected out;
  const int largest = std::max({dims[0], dims[1], dims[2]});
  out.step = 1;
  for (out.scale = (256 + largest - 1) / largest; out.scale > 1 && !layout(out.scale, 1);) --out.scale;
  while (!layout(out.scale, out.step)) ++out.step;
  out.width = width;
  out.height = height;
  out.rgb.assign(width * height * 3, 0);
  auto put = [&](long long x, long long y, int r, int g, int b) {
    unsigned char* p = &out.rgb[3 * (y * width + x)];
    p[0] = (unsigned char)r, p[1] = (unsigned char)g, p[2] = (unsigned char)b;
  };
  auto paint = [&](int g, int overlay, long long x, long long y) {  // overlay -1: none
    int c[3] = {g, g, g};
    for (int i = 0; overlay >= 0 && i < 3; ++i) c[i] = i == overlay ? (g + 255) / 2 : g / 2;
    put(x, y, c[0], c[1], c[2]);
  };
  float lo = INFINITY, hi = -INFINITY;
  for (float v : values)
    if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
  for (const Panel& p : panels)
    for (long long y = 0; y < p.h; ++y)
      for (long long x = 0; x < p.w; ++x) {
        int at[3];
        const int right = voxelOf[views[p.view][0]], up = voxelOf[views[p.view][1]];
        at[voxelOf[views[p.view][2]]] = p.slice;
        at[right] = (int)(x / out.scale * out.step);
        at[up] = (int)((p.h / out.scale - 1 - y / out.scale) * out.step);
        for (int a : {right, up})
          if (reversed[a]) at[a] = dims[a] - 1 - at[a];
        const size_t i = at[0] + (size_t)dims[0] * (at[1] + (size_t)dims[1] * at[2]);
        const float v = values[i];
        const int g = !std::isfinite(v) ? 0 : hi == lo ? 128 : (int)std::floor((v - lo) * 255.0 / (hi - lo) + 0.5);
        const int seed = seeds.empty() ? 0 : seeds[i];
        paint(g, seed == 1 ? 1 : seed == 2 ? 2 : labels[i] == 1.0f ? 0 : -1, p.x + x, p.y + y);
      }
  for (auto [left, overlay] : swatches)
    for (long long y = 0; y < 16; ++y)
      for (long long x = 0; x < 16; ++x) paint(128, overlay, left + x, height - 16 + y);
  for (const Item& t : texts)
    for (size_t c = 0; c < t.text.size(); ++c)
      for (int row = 0; row < 7; ++row)
        for (int col = 0; col < 5; ++col)
          if (previewGlyph(t.text[c])[row] & (0x10 >> col))
            for (int dy = 0; dy < 2; ++dy)
              for (int dx = 0; dx < 2; ++dx) {
                const long long x = t.x + 12 * (long long)c + 2 * col + dx;
                if (x < t.clip) put(x, t.y + 2 * row + dy, 255, 255, 255);
              }
  return out;
}

VoxelToWorld sform(std::initializer_list<double> entries) {
  VoxelToWorld m;
  m.source = "sform";
  auto e = entries.begin();
  for (int i = 0; i < 12; ++i) m.m[i / 4][i % 4] = *e++;
  return m;
}

}  // namespace

// Glyphs are the font's 5 x 7 bits; lower case draws as upper case, the
// unknown as '?'.
TEST(PreviewTest, GlyphsAreFiveByEightBitmaps) {
  const unsigned char l[7] = {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F};
  EXPECT_EQ(memcmp(previewGlyph('L'), l, 7), 0);
  EXPECT_EQ(previewGlyph('l'), previewGlyph('L'));
  EXPECT_EQ(previewGlyph('@'), previewGlyph('?'));
  EXPECT_EQ(previewGlyph('\0'), previewGlyph('?'));
  EXPECT_NE(previewGlyph('O'), previewGlyph('0'));
}

// Every pixel against the plain painting above, for volumes stored in other
// orders: grey levels that the mapping of [-100, 410] onto 0 ... 255 gives
// back exactly, NaN and infinity black, the overlays only where a label is
// exactly 1 or a seed is, text, letters and legend in place, background
// black. An LAS copy of an RAS volume gives the same bytes, and a volume
// too long for the largest picture shows every step-th voxel.
TEST(PreviewTest, EveryPixelShowsItsVoxelInWorldOrientation) {
  TempDir dir;
  const std::string path = dir.path("slices.png");
  const struct {
    int dim[3];
    VoxelToWorld m;
    int world[3];
    bool reversed[3];
    int slices;
    bool seeds;
    long long width, height;
    int scale, step;
  } cases[] = {
      // RAS, k = ceil(256 / 6) = 43: rows of 3 cells of 43 * 6 + 32 (+ 8 between).
      {{6, 4, 5}, sform({2, 0, 0, -5, 0, 3, 0, -6, 0, 0, 4, -8}), {0, 1, 2}, {}, 3, true,
       886, 810, 43, 1},
      // Voxel axes along -z, +x and -y, slightly oblique; at most two slices.
      {{5, 2, 7}, sform({0, 1.5, 0.1, 0, 0.2, 0, -2, 1, -3, 0, 0.3, 2}), {2, 0, 1}, {true, false, true},
       2, false, 590, 837, 37, 1},
      // At k = 1 the sagittal cells 5000 + 32 wide exceed 4096; step 2 fits.
      {{3, 5000, 2}, sform({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}), {0, 1, 2}, {}, 1, false,
       2532, 2710, 1, 2},
      // One voxel: one slice a view, mid-grey, the header the widest.
      {{1, 1, 1}, sform({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}), {0, 1, 2}, {}, 3, false,
       576, 976, 256, 1},
  };
  for (const auto& c : cases) {
    const int n = c.dim[0] * c.dim[1] * c.dim[2];
    SCOPED_TRACE(c.dim[1]);
    std::vector<int> grey(n);
    std::vector<float> values(n), labels(n);
    std::vector<unsigned char> seeds(c.seeds ? n : 0);
    for (int i = 0; i < n; ++i) {
      grey[i] = i == 0 ? 0 : i == n - 1 ? 255 : 20 + (i * 37) % 200;  // ends in no slice
      values[i] = 2.0f * grey[i] - 100.0f;
      labels[i] = i % 3 == 0 || i % 7 == 2 ? 1.0f : i % 5 == 0 ? 0.999f : i % 2 == 0 ? 2.0f : 0.0f;
      if (c.seeds) seeds[i] = i % 11 == 0 ? 1 : i % 13 == 0 ? 2 : i % 17 == 0 ? 3 : 0;
    }
    if (n == 120) values[3 + 2 * 24] = NAN, values[2 * 6 + 3 * 24] = -INFINITY;
    PreviewRequest request;
    Image scalar = {values.data(), c.dim[0], c.dim[1], c.dim[2], "scalar"};
    request = {&scalar, labels.data(), c.seeds ? seeds.data() : nullptr, c.m, c.slices};
    writePreview(path.c_str(), request);
    Picture picture(path);
    Expected expected = expectedPicture(c.dim, values, labels, seeds, c.m, c.world, c.reversed,
                                        c.slices, "NEUROLOGICAL: L ON THE LEFT. RAS+ FROM THE SFORM");
    const PreviewLayout layout = previewLayout(c.dim[0], c.dim[1], c.dim[2], c.m, c.slices, c.seeds);
    EXPECT_EQ(std::make_pair(layout.scale, layout.step), std::make_pair(c.scale, c.step));
    EXPECT_EQ(std::make_pair(expected.scale, expected.step), std::make_pair(c.scale, c.step));
    ASSERT_EQ(std::make_pair(picture.width, picture.height), std::make_pair(c.width, c.height));
    ASSERT_EQ(std::make_pair(expected.width, expected.height), std::make_pair(c.width, c.height));
    size_t wrong = 0;
    for (size_t i = 0; i < picture.rgb.size(); ++i)
      if (picture.rgb[i] != expected.rgb[i] && ++wrong == 1)
        ADD_FAILURE() << "first wrong pixel " << i / 3 % c.width << ", " << i / 3 / c.width;
    EXPECT_EQ(wrong, 0u);

    if (c.dim[1] != 4) continue;
    // The same volume stored LAS: x reversed in memory and in the transform.
    std::vector<float> las(n), lasLabels(n);
    std::vector<unsigned char> lasSeeds(n);
    for (int i = 0; i < n; ++i) {
      const int j = i - i % 6 + (5 - i % 6);
      las[j] = values[i], lasLabels[j] = labels[i], lasSeeds[j] = seeds[i];
    }
    Image flipped = {las.data(), 6, 4, 5, "scalar"};
    request = {&flipped, lasLabels.data(), lasSeeds.data(),
               sform({-2, 0, 0, 5, 0, 3, 0, -6, 0, 0, 4, -8}), 3};
    const Bytes ras = readFile(path);
    writePreview(path.c_str(), request);
    EXPECT_EQ(readFile(path), ras);
  }
  // A volume of 100 x 32767 x 1 at step 25: three sagittal cells of 1311 + 32.
  PreviewLayout longest = previewLayout(100, 32767, 1, sform({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}), 3, false);
  EXPECT_EQ(std::make_pair(longest.width, longest.height), std::make_pair(4045LL, 1521LL));
  EXPECT_EQ(longest.step, 25);
}

// Refused inputs and failed writes, one of them inside libpng's output
// callback, leave the earlier file and no temporary.
TEST(PreviewTest, FailuresLeaveTheEarlierFile) {
  TempDir dir;
  const std::string path = dir.path("earlier.png"), nowhere = dir.path("none/p.png");
  const Bytes before(3000, 0x5A);
  writeFile(path, before);
  std::vector<float> values(500000 * 2, 1.0f), labels(values.size(), 1.0f);
  auto write = [&](const std::string& to, int x, int y, int z) {
    return errorOf([&] {
      Image scalar = {values.data(), x, y, z, "scalar"};
      PreviewRequest request;
      request.scalar = &scalar;
      request.labels = labels.data();
      writePreview(to.c_str(), request);
    });
  };
  EXPECT_EQ(write(path, 4, 0, 2),
            path + ": cannot draw scalar: dimensions 4 x 0 x 2, expected each at least 1");
  Image scalar = {values.data(), 2, 2, 2, "scalar"};
  PreviewRequest none;
  none = {&scalar, labels.data(), nullptr, VoxelToWorld(), 33};
  EXPECT_EQ(errorOf([&] { writePreview(path.c_str(), none); }),
            path + ": cannot draw 33 slices a view, expected 1 to 32");
  // The start of the line is checked through the command, in the hostile suite.
  std::string error = write(nowhere, 2, 2, 2);
  EXPECT_NE(error.find(".tmp: No such file or directory"), std::string::npos) << error;

  rlimit saved, small;  // a file size limit makes a write fail once libpng has started
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  small = saved;
  small.rlim_cur = 100;
  void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string message = write(path, 1000, 1000, 1);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, handler);
  EXPECT_EQ(message, path + ": write failed: " + strerror(EFBIG));
  EXPECT_EQ(readFile(path), before);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"earlier.png"});
}
