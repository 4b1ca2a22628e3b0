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
// the dimensions, so callers and tests can know it in advance. Writing
// keeps one row of pixels in memory (O(width)), and the file appears only
// when complete (AtomicFile); every failure throws AppError naming the
// PNG path.
#ifndef DTICUT_APP_PREVIEW_H
#define DTICUT_APP_PREVIEW_H

#include "app/volume.h"

// Black pixels between two neighbouring panels.
const int kPreviewGap = 8;
// The scale makes the largest dimension at least this many pixels.
const int kPreviewMinSide = 256;
// The widest and tallest picture written: libpng's own default limit, and
// far beyond any screen; a larger layout is refused.
const long long kMaxPreviewSide = 1000000;

// One slice's place in the picture: it starts at row 0 and column `left`.
struct PreviewPanel {
  long long left;
  long long width;   // pixels: scale * voxels across
  long long height;  // pixels: scale * voxels down
};

// Where everything goes, computed from the dimensions alone:
// - scale: the smallest integer k >= 1 with k * max(dimX, dimY, dimZ) >=
//   kPreviewMinSide; every voxel becomes a k x k block (nearest neighbour),
//   the same k on all panels so that their proportions match;
// - panels: axial dimX*k x dimY*k, coronal dimX*k x dimZ*k, sagittal
//   dimY*k x dimZ*k pixels, at columns 0, axial.width + kPreviewGap and
//   coronal.left + coronal.width + kPreviewGap;
// - width = k * (2*dimX + dimY) + 2*kPreviewGap, height = k * max(dimY,
//   dimZ). Nothing is bounded here: writePreview refuses sizes beyond
//   kMaxPreviewSide.
struct PreviewLayout {
  int scale;
  PreviewPanel panels[3];  // axial, coronal, sagittal
  long long width;
  long long height;
};

// The layout for a volume of dimX x dimY x dimZ voxels, each at least 1.
PreviewLayout previewLayout(int dimX, int dimY, int dimZ);

// Writes the picture of `scalar` with the label-1 voxels of `labels`
// (dimX * dimY * dimZ values, in the volume's voxel order) overlaid, as a
// PNG file at `path`. Throws AppError naming `path` for a volume without
// voxels, a picture larger than kMaxPreviewSide on either side, a file
// that cannot be written, and anything libpng reports; an earlier file at
// `path` then stays as it was.
void writePreview(const char* path, const Image& scalar, const float* labels);

#endif  // DTICUT_APP_PREVIEW_H
