// The two-label segmentation energy of a diffusion-tensor volume, built from
// its volumes and minimised by graph cuts.
//
// One site per voxel, two labels. The data term of voxel p and label l is
// data*(S[p] - l)^2 from the scalar volume S; every voxel is paired with its
// -x, -y and -z neighbours, each pair declared once from the higher-index
// voxel, with a weight that compares the two voxels' eigenvalue-scaled
// principal directions and scalar values. With a mask, only the voxels
// inside it (mask value non-zero and not NaN) are sites, numbered in voxel
// order, and only pairs of two inside voxels are declared, in the same
// order; voxels outside keep label 0. Costs are evaluated in single
// precision in exactly the order given below and truncated to ints
// (floatToInt), then limited to the optimizer's 32-bit range (costLimit.h).
// Building the costs is one pass over the voxels; they take 2 ints per voxel
// and one per pair (fewer than 3 per voxel), beside the optimizer's own.
#ifndef DTICUT_APP_SEGMENTATION_SEGMENTATION_H
#define DTICUT_APP_SEGMENTATION_SEGMENTATION_H

#include <vector>

#include "app/segmentation/costLimit.h"
#include "app/segmentation/energyWeights.h"
#include "app/segmentation/neighbourhood.h"
#include "app/segmentation/volume.h"

// d*(d*data) with d = s - l, in single precision.
float dataCostFor(float s, int l, const EnergyWeights& weights = EnergyWeights());
// (smoothFA/(sa + sb) - smoothPrincipal*sa*sb*(a . b))^2 - smoothOmnibus*(sa - sb)^2
// in single precision, evaluated as r = 1/(sa + sb); d = sa - sb;
// k = sb*(sa*smoothPrincipal); t = r*smoothFA - k*(a . b); t*t - d*(d*smoothOmnibus).
// Symmetric in the two (direction, scalar) pairs, unclamped.
float smoothCostFor(Vector a, float sa, Vector b, float sb,
                    const EnergyWeights& weights = EnergyWeights());

// Integer costs in the optimizer's layout.
struct SegmentationCosts {
  std::vector<int> dataCosts;  // label l of site s at 2s + l
  std::vector<int> weights;    // one per pair of sites, in the neighbourhood's order
  int numSites() const { return static_cast<int>(dataCosts.size() / 2); }
};

// Throws AppError naming the volume unless the optimizer can segment a
// volume of its size: at least 2 voxels, and tables indexable by int.
void requireSegmentable(const Image& volume);
// Converts dataCostFor and smoothCostFor of every site and pair of
// `neighbourhood` to ints (floatToInt), in its walk order; the pair (p, q)
// is smoothCostFor(vector at q, S[q], vector at p, S[p]). The volumes must
// have the dimensions of principal.eigenvalue (checked by
// requireSameDimensions), and the neighbourhood be of that grid.
SegmentationCosts buildSegmentationCosts(Eigenvector principal, Image scalar,
                                         const EnergyWeights& weights,
                                         const Neighbourhood& neighbourhood);

// limitCosts on the segmentation's two tables (costLimit.h).
CostLimit limitSegmentationCosts(SegmentationCosts& costs);

// True when some site's data cost is lower for label 1 than for label 0.
// When none is, the all-0 labelling is a minimum (pair weights are never
// negative after limiting) and the cut keeps every site at 0: the result
// says nothing about the scan. With the default weights that is what an
// anisotropy map in [0, 1] gives (every data cost truncates to 0, or to 1
// for label 1 at a scalar value of 0).
bool someSiteFavoursLabelOne(const SegmentationCosts& costs);
// What the command and the Python package say then: a printf format whose
// two %s take the data weight's name as the caller spells it, e.g.
// "--data-lambda" and "--data-lambda " or "data_lambda" and "data_lambda=".
extern const char* const kNoSiteFavoursLabelOne;

#endif  // DTICUT_APP_SEGMENTATION_SEGMENTATION_H
