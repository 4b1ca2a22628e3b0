// A PNG picture of a segmentation, for looking at a result instead of
// reading numbers about it.
//
// The picture shows the three middle slices of the scalar volume side by
// side, left to right: axial (z = dimZ/2, the x-y plane), coronal
// (y = dimY/2, the x-z plane) and sagittal (x = dimX/2, the y-z plane),
// kPreviewGap black pixels apart, on black, as 8-bit RGB. Image right is
// +x (+y on the sagittal panel); image up is +y on the axial panel and +z
// on the other two, so rows run opposite to memory order.
//
// Colours. Grey g maps the volume's finite minimum..maximum linearly onto
// 0..255, rounded to nearest: g = floor((v - min) * 255 / (max - min) + 0.5),
// in double precision. NaN and infinite voxels are black; in a volume whose
// finite voxels all hold one value they are mid-grey (128). A voxel whose
// label is exactly 1.0 is drawn half-way towards red, in integers:
// ((g + 255) / 2, g / 2, g / 2). Its red channel exceeds its green one by at
// least 127, while every other pixel has R == G == B, so the overlay is
// exactly the set of pixels that are not grey.
//
// Invariant: the picture's size is previewLayout's, which depends only on
// the dimensions, so callers and tests can know it in advance; it is at
// most kPreviewMaxSide pixels on either side. Writing
// keeps one row of pixels in memory (O(width)), and the file appears only
// when complete (AtomicFile); every failure throws AppError naming the
// PNG path.
#ifndef DTICUT_APP_IO_PREVIEW_H
#define DTICUT_APP_IO_PREVIEW_H

#include "app/segmentation/volume.h"

// Black pixels between two neighbouring panels.
const int kPreviewGap = 8;
// The scale makes the largest dimension at least this many pixels.
const int kPreviewMinSide = 256;
// The widest and tallest picture drawn: a larger layout shows every
// step-th voxel instead.
const int kPreviewMaxSide = 4096;

// One slice's place in the picture: it starts at row 0 and column `left`.
struct PreviewPanel {
  long long left;
  long long width;   // pixels: scale * ceil(voxels across / step)
  long long height;  // pixels: scale * ceil(voxels down / step)
};

// Where everything goes, computed from the dimensions alone:
// - scale: the smallest integer k >= 1 with k * max(dimX, dimY, dimZ) >=
//   kPreviewMinSide; every voxel becomes a k x k block (nearest neighbour),
//   the same k on all panels so that their proportions match;
// - step: 1, unless the picture at k = 1 would exceed kPreviewMaxSide on a
//   side; then the smallest whole step s that makes it fit, and the panels
//   show every s-th voxel (0, s, 2s, ... along each axis), one pixel each;
// - panels, with n(d) = ceil(d / step): axial n(dimX)*k x n(dimY)*k,
//   coronal n(dimX)*k x n(dimZ)*k, sagittal n(dimY)*k x n(dimZ)*k pixels, at
//   columns 0, axial.width + kPreviewGap and coronal.left + coronal.width +
//   kPreviewGap;
// - width = k * (2*n(dimX) + n(dimY)) + 2*kPreviewGap, height =
//   k * max(n(dimY), n(dimZ)), neither above kPreviewMaxSide.
struct PreviewLayout {
  int scale;
  int step;
  PreviewPanel panels[3];  // axial, coronal, sagittal
  long long width;
  long long height;
};

// The layout for a volume of dimX x dimY x dimZ voxels, each at least 1.
PreviewLayout previewLayout(int dimX, int dimY, int dimZ);

// Writes the picture of `scalar` with the label-1 voxels of `labels`
// (dimX * dimY * dimZ values, in the volume's voxel order) overlaid, as a
// PNG file at `path`. Throws AppError naming `path` for a volume without
// voxels, a file that cannot be written, and anything libpng reports; an
// earlier file at `path` then stays as it was.
void writePreview(const char* path, const Image& scalar, const float* labels);

#endif  // DTICUT_APP_IO_PREVIEW_H
