// A PNG picture of a segmentation, for looking at a result instead of
// reading numbers about it: slices of the scalar volume in grey with the
// labels (and seeds) over it, oriented by the volume's voxel-to-world
// transform so that two copies of one scan stored in other voxel orders
// (LAS and RAS, say) give the same picture.
//
// Orientation. Each voxel axis j goes to the world axis (RAS+: x towards
// the subject's right, y anterior, z superior) of its transform column's
// largest entry: the nine |m[i][j]| are taken largest first (ties: smaller
// world axis i, then smaller voxel axis j; NaN counts as 0), each pair
// assigned unless its world or voxel axis already is; the axis runs
// against the world axis where that entry is negative. The views are
// neurological: image right is the subject's right.
//   axial    (slices along z): right +x (R), up +y (A)
//   coronal  (slices along y): right +x (R), up +z (S)
//   sagittal (slices along x): right +y (A), up +z (S)
//
// Slices. A view shows n = min(slices, D) slices, D the voxels along its
// normal: world-order positions p_i = floor((i + 1) * D / (n + 1)),
// i = 0 ... n - 1, from the lowest world coordinate to the highest, so one
// slice is the middle one, D / 2; position p is voxel p along the axis, or
// D - 1 - p on an axis that runs against the world.
//
// Layout, in pixels (text is kPreviewFont glyphs drawn kPreviewTextScale
// times: each character kPreviewCharWidth wide, kPreviewTextHeight tall):
// - scale k and step s: k0 is the smallest k >= 1 with
//   k * max(dimX, dimY, dimZ) >= kPreviewMinSide; k is the largest of
//   k0, k0 - 1, ..., 1 at step 1 that keeps the picture within
//   kPreviewMaxSide on both sides, else k = 1 and s the smallest step that
//   does. A panel shows every s-th voxel of its two axes in world order
//   (0, s, 2s, ...), each as a k x k block: w = k * ceil(DH / s) by
//   h = k * ceil(DV / s), DH and DV the voxels along its right and up axes.
// - the header line (the convention and where the axes came from) at (0, 0);
// - one row of cells per view, axial, coronal, sagittal, the first at
//   y = kPreviewTextHeight + kPreviewGap, each next one kPreviewGap below
//   the previous; cell i of a row at x = i * (w + 2M + kPreviewGap), M =
//   kPreviewMargin, is w + 2M by h + kPreviewTextHeight + 2M: its title
//   (view and the slice's world coordinate, "AXIAL Z=12.5": the world
//   coordinate along the normal of the voxel at the slice and the centre
//   (D - 1) / 2 of the other two axes, in mm, one decimal) at the cell's
//   top left, clipped to the cell; the image at (x + M, top + text + M);
//   the orientation letters in the margins: left at (x + 2, imageTop +
//   max(0, (h - text) / 2)), right at (x + M + w + 2, the same), top at
//   (imageLeft + max(0, (w - kPreviewCharWidth) / 2), top + text), bottom at
//   (the same, imageTop + h);
// - the legend kPreviewGap below the last row: for each overlay, a
//   kPreviewTextHeight square of its colour on mid-grey, then its name 4
//   pixels after, entries kPreviewMargin apart;
// - width: the widest of the rows, the header and the legend (a text is
//   kPreviewCharWidth per character); height: the legend's bottom.
//
// Colours. Grey g maps the volume's finite minimum..maximum linearly onto
// 0..255, rounded to nearest: g = floor((v - min) * 255 / (max - min) + 0.5),
// in double precision. NaN and infinite voxels are black; in a volume whose
// finite voxels all hold one value they are mid-grey (128). A voxel whose
// label is exactly 1.0 is drawn half-way towards red, ((g + 255) / 2,
// g / 2, g / 2) in integers; a seed of label 1 half-way towards green and a
// seed of label 0 towards blue instead, whatever its label. Text is white,
// everything else black. So the overlays are exactly the pixels that are
// not grey.
//
// Invariant: the picture's size is previewLayout's, which depends only on
// the dimensions, the transform, the number of slices and whether there
// are seeds; it is at most kPreviewMaxSide pixels on either side. Writing
// keeps one row of pixels in memory (O(width)), and the file appears only
// when complete (AtomicFile); every failure throws AppError naming the
// PNG path.
#ifndef DTICUT_APP_IO_PREVIEW_H
#define DTICUT_APP_IO_PREVIEW_H

#include <string>
#include <vector>

#include "app/segmentation/geometry.h"
#include "app/segmentation/volume.h"

// Black pixels between neighbouring cells, rows and bands.
const int kPreviewGap = 8;
// The scale makes the largest dimension at least this many pixels.
const int kPreviewMinSide = 256;
// The widest and tallest picture drawn.
const int kPreviewMaxSide = 4096;
// Slices a view shows at most.
const int kPreviewMaxSlices = 32;
// Text: 5 x 7 glyphs in cells of 6 x 8 font pixels, each font pixel a
// square of kPreviewTextScale picture pixels.
const int kPreviewTextScale = 2;
const int kPreviewCharWidth = 6 * kPreviewTextScale;
const int kPreviewTextHeight = 8 * kPreviewTextScale;
// Margin around each slice's image, where its orientation letters go.
const int kPreviewMargin = 16;

// The glyph of `c` (lower case drawn as upper case; a character without
// one as '?'): seven rows, top first, each five bits, the leftmost 0x10.
const unsigned char* previewGlyph(char c);

// Voxel axis j runs along world axis worldAxis[j] (0 x, 1 y, 2 z), against
// it when reversed[j].
struct PreviewOrientation {
  int worldAxis[3];
  bool reversed[3];
};
PreviewOrientation previewOrientation(const VoxelToWorld& transform);

// A text in the picture: its top-left corner and the column it is clipped
// at (exclusive).
struct PreviewText {
  long long left, top, clipRight;
  std::string text;
};

// One slice's image: view 0 axial, 1 coronal, 2 sagittal; `slice` is the
// voxel index along the voxel axis normal to the view.
struct PreviewPanel {
  int view;
  int slice;
  long long left, top, width, height;
};

struct PreviewSwatch {
  long long left, top;
  unsigned char rgb[3];
};

struct PreviewLayout {
  int scale;
  int step;
  PreviewOrientation orientation;
  std::vector<PreviewPanel> panels;  // row by row, each in world order
  std::vector<PreviewText> texts;    // header, titles, letters, legend
  std::vector<PreviewSwatch> swatches;
  long long width;
  long long height;
};

// The layout for a volume of dimX x dimY x dimZ voxels (each at least 1),
// `slices` (1 ... kPreviewMaxSlices) per view, with a seeds legend when
// `seeds`.
PreviewLayout previewLayout(int dimX, int dimY, int dimZ, const VoxelToWorld& transform,
                            int slices, bool seeds);

// What to draw: the scalar volume, the labels (label 1 where exactly 1.0),
// the seeds (per voxel 0 free, 1 a seed of label 1, 2 a seed of label 0; or
// null), all in the volume's voxel order, and the volume's transform.
struct PreviewRequest {
  const Image* scalar = nullptr;
  const float* labels = nullptr;
  const unsigned char* seeds = nullptr;
  VoxelToWorld transform;
  int slices = 3;
};

// Writes the picture as a PNG file at `path`. Throws AppError naming `path`
// for a volume without voxels, a number of slices out of range, a file that
// cannot be written, and anything libpng reports; an earlier file at `path`
// then stays as it was.
void writePreview(const char* path, const PreviewRequest& request);

#endif  // DTICUT_APP_IO_PREVIEW_H
