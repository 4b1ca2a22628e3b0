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
// Building the costs is one pass over the voxels in voxel order; they take 2
// ints per site for the data term and 3 for the pairs (the neighbourhood's
// per-direction layout), beside the optimizer's own.
#ifndef DTICUT_APP_SEGMENTATION_SEGMENTATION_H
#define DTICUT_APP_SEGMENTATION_SEGMENTATION_H

#include <functional>
#include <string>
#include <vector>

#include "app/segmentation/costLimit.h"
#include "app/segmentation/energyWeights.h"
#include "app/segmentation/neighbourhood.h"
#include "app/segmentation/volume.h"

// d*(d*data) with d = s - l, in single precision. Inline, as the
// formulas below, so that the pass over every voxel and pair builds them
// without a call each.
inline float dataCostFor(float s, int l, const EnergyWeights& weights = EnergyWeights()) {
  float d = s - static_cast<float>(l);
  return d * (d * weights.data);
}
// (smoothFA/(sa + sb) - smoothPrincipal*sa*sb*(a . b))^2 - smoothOmnibus*(sa - sb)^2
// in single precision, evaluated as r = 1/(sa + sb); d = sa - sb;
// k = sb*(sa*smoothPrincipal); t = r*smoothFA - k*(a . b); t*t - d*(d*smoothOmnibus).
// Symmetric in the two (direction, scalar) pairs, unclamped.
inline float smoothCostFor(Vector a, float sa, Vector b, float sb,
                           const EnergyWeights& weights = EnergyWeights()) {
  float r = 1.0f / (sa + sb);
  float d = sa - sb;
  float k = sb * (sa * weights.smoothPrincipal);
  float t = r * weights.smoothFA - k * dot(a, b);
  return t * t - d * (d * weights.smoothOmnibus);
}

// Integer costs in the optimizer's layout.
struct SegmentationCosts {
  std::vector<int> dataCosts;  // label l of site s at 2s + l
  std::vector<int> weights;    // per slot of the neighbourhood (its pair's weight, or 0)
  int numSites() const { return static_cast<int>(dataCosts.size() / 2); }
};

// Throws AppError naming the volume unless the optimizer can segment a
// volume of its size: at least 2 voxels, and tables indexable by int.
void requireSegmentable(const Image& volume);
// Converts dataCostFor and smoothCostFor of every site and pair of
// `neighbourhood` to ints (floatToInt), each pair in its slot; the pair
// (p, q) of the walk is smoothCostFor(vector at q, S[q], vector at p, S[p]). The volumes must
// have the dimensions of principal.eigenvalue (checked by
// requireSameDimensions), and the neighbourhood be of that grid.
SegmentationCosts buildSegmentationCosts(Eigenvector principal, Image scalar,
                                         const EnergyWeights& weights,
                                         const Neighbourhood& neighbourhood);

// limitCosts on the segmentation's two tables (costLimit.h).
CostLimit limitSegmentationCosts(SegmentationCosts& costs);

// How many sites' data cost is lower for label 1 than for label 0. When
// none's is, the all-0 labelling is a minimum (pair weights are never
// negative after limiting) and the cut keeps every site at 0: the result
// says nothing about the scan.
long long sitesFavouringLabelOne(const SegmentationCosts& costs);

// Why no site favours label 1, in the order checked:
enum class DataFreeCause {
  kNoFiniteScalar,         // every site's scalar value is NaN or infinite
  kDataWeightNotPositive,  // the data weight is 0 or negative
  kTruncated,              // some value favours 1, but truncation to int leaves both costs equal
  kCapped,                 // the ints differ, but the 32-bit cap makes them equal
  kNoScalarAboveHalf,      // no value is above 0.5: nothing is closer to label 1
};
struct DataFreeFacts {
  DataFreeCause cause;
  float dataWeight;
  float largestScalar;  // of the finite scalar values of the sites
  int cap;              // the limiting cap, or -1
  bool masked;
};
// The cause for a problem where no site favours label 1, from its scalar
// volume, neighbourhood, data weight and limiting, and how its data term
// makes a cost from a scalar value: `real` (before conversion) and `toInt`
// (the conversion). The scalar energy's is dataCostFor with floatToInt.
DataFreeFacts whyNoSiteFavoursLabelOne(const Image& scalar, const Neighbourhood& neighbourhood,
                                       float dataWeight, const CostLimit& limit,
                                       const std::function<double(float s, int l)>& real,
                                       const std::function<int(double)>& toInt);
// What the command and the Python package say then. `weight` names the data
// weight as the caller spells it, `setting` starts an example of setting it:
// "--data-lambda" and "--data-lambda ", or "data_lambda" and "data_lambda=".
std::string dataFreeMessage(const DataFreeFacts& facts, const char* weight, const char* setting);
// What they say when some site favours label 1 yet the result has none:
// `favouring` sites' data costs lose to the pair weights.
std::string emptyResultMessage(long long favouring, const char* weight);

#endif  // DTICUT_APP_SEGMENTATION_SEGMENTATION_H
