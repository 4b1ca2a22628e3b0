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

// Every pixel of a small asymmetric volume against what the documented
// orientation puts there, so that a flip, transpose or wrong slice shows:
// grey levels that the mapping of [-100, 410] onto 0 ... 255 gives back
// exactly, NaN and infinity black, the overlay only where a label is exactly
// 1, gaps and background black. A volume too long for the largest picture
// shows every step-th voxel.
TEST(PreviewTest, EveryPixelShowsItsVoxelAndOnlyLabelOneIsOverlaid) {
  TempDir dir;
  const std::string path = dir.path("slices.png");
  const struct {
    int dim[3];
    long long width, height;
    int scale, step;
  } cases[] = {
      // k = ceil(256 / 6) = 43: width k * (2*6 + 4) + two gaps of 8, height k * max(4, 5).
      {{6, 4, 5}, 704, 215, 43, 1},
      // At k = 1 the width 2*3 + 5000 + 16 exceeds 4096; step 2 gives 2*2 + 2500 + 16.
      {{3, 5000, 2}, 2520, 2500, 1, 2},
  };
  for (const auto& c : cases) {
    const int dimX = c.dim[0], dimY = c.dim[1], dimZ = c.dim[2], n = dimX * dimY * dimZ;
    SCOPED_TRACE(dimY);
    std::vector<int> grey(n);
    std::vector<float> values(n), labels(n);
    for (int i = 0; i < n; ++i) {
      grey[i] = i == 0 ? 0 : i == n - 1 ? 255 : 20 + (i * 37) % 200;  // ends in no middle slice
      values[i] = 2.0f * grey[i] - 100.0f;
      labels[i] = i % 3 == 0 || i % 7 == 2 ? 1.0f : i % 5 == 0 ? 0.999f : i % 2 == 0 ? 2.0f : 0.0f;
    }
    if (dimY == 4) {
      const int nanVoxel = 3 + 2 * dimX * dimY, infVoxel = 2 * dimX + 3 * dimX * dimY;
      values[nanVoxel] = NAN;        // (3, 0, 2): axial and sagittal slices
      values[infVoxel] = -INFINITY;  // (0, 2, 3): coronal slice
      grey[nanVoxel] = grey[infVoxel] = 0;
    }
    writePreview(path.c_str(), {values.data(), dimX, dimY, dimZ, "scalar"}, labels.data());
    Picture picture(path);
    PreviewLayout layout = previewLayout(dimX, dimY, dimZ);
    ASSERT_EQ(std::make_pair(picture.width, picture.height), std::make_pair(c.width, c.height));
    EXPECT_EQ(std::make_pair(layout.width, layout.height), std::make_pair(c.width, c.height));
    EXPECT_EQ(std::make_pair(layout.scale, layout.step), std::make_pair(c.scale, c.step));

    std::vector<int> voxelAt(picture.width * picture.height, -1);  // -1: background
    for (int p = 0; p < 3; ++p) {
      const PreviewPanel& panel = layout.panels[p];
      const long long rows = panel.height / layout.scale;
      for (long long y = 0; y < panel.height; ++y)
        for (long long x = 0; x < panel.width; ++x) {
          int across = static_cast<int>(x / layout.scale * layout.step);
          int up = static_cast<int>((rows - 1 - y / layout.scale) * layout.step);
          int vx = p == 2 ? dimX / 2 : across;
          int vy = p == 0 ? up : p == 1 ? dimY / 2 : across;
          int vz = p == 0 ? dimZ / 2 : up;
          voxelAt[y * picture.width + panel.left + x] = vx + vy * dimX + vz * dimX * dimY;
        }
    }
    int overlaid = 0, wrong = 0;
    for (size_t i = 0; i < voxelAt.size(); ++i) {
      const unsigned char* rgb = &picture.rgb[3 * i];
      int voxel = voxelAt[i];
      bool overlay = rgb[0] != rgb[1] || rgb[1] != rgb[2];
      overlaid += overlay;
      if (overlay != (voxel >= 0 && labels[voxel] == 1.0f) ||
          (!overlay && rgb[0] != (voxel >= 0 ? grey[voxel] : 0)))
        if (++wrong == 1) ADD_FAILURE() << "first wrong pixel " << i << ", voxel " << voxel;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(overlaid, 0);
  }
  // A volume of 100 x 32767 x 1, by hand: step 9 makes 2*12 + 3641 + 16 fit.
  PreviewLayout longest = previewLayout(100, 32767, 1);
  EXPECT_EQ(std::make_pair(longest.width, longest.height), std::make_pair(3681LL, 3641LL));

  // A single voxel scales to 256; a constant volume is mid-grey, the gaps
  // still black.
  std::vector<float> constant(1, 3.0f), none(1, 0.0f);
  writePreview(path.c_str(), {constant.data(), 1, 1, 1, "scalar"}, none.data());
  Picture flat(path);
  EXPECT_EQ(std::make_pair(flat.width, flat.height), std::make_pair(3 * 256 + 16LL, 256LL));
  EXPECT_EQ(flat.rgb[0], 128);
  EXPECT_EQ(flat.rgb[3 * 256], 0);  // the first gap
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
      writePreview(to.c_str(), {values.data(), x, y, z, "scalar"}, labels.data());
    });
  };
  EXPECT_EQ(write(path, 4, 0, 2),
            path + ": cannot draw scalar: dimensions 4 x 0 x 2, expected each at least 1");
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
