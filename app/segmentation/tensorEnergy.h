// The tensor energy: a two-label segmentation energy that compares whole
// diffusion tensors on their log-Euclidean geometry and learns each label
// from the voxels a user marks (seeds). Label 1 is the structure.
//
// Tensor of a voxel, from its three eigen-components (lambda_k, e_k), taken
// in a canonical order (eigenvalue ascending, then by e_k's squared
// components), so that neither their order nor the sign of any eigenvector
// matters:
//   - e_k is normalised, ||e_k|| = sqrt of its squared components summed in
//     ascending order; a zero or non-finite e_k, or a non-finite lambda_k,
//     makes the voxel undefined: it is no site (label 0), as outside a mask;
//   - lambda_k is floored at epsilon = kEpsilonFraction * the median mean
//     diffusivity of the sites (the lower median of (lambda_1 + lambda_2 +
//     lambda_3) / 3, each sum in ascending order; epsilon = 1 when that
//     median is not positive): noisy fits give near-zero and negative
//     eigenvalues, whose logarithms would otherwise dominate every distance;
//   - L = sum_k log(max(lambda_k, epsilon)) e_k e_k^T, in double precision.
// Distance: d^2(p, q) = ||L_p - L_q||_F^2 = (the three squared diagonal
// differences) + 2 * (the three squared off-diagonal differences), each
// triple summed in ascending order.
//
// Boundary term, per neighbour pair (p, q) of two sites (the segmentation's
// six-neighbourhood and order):
//   w = roundToInt(kBoundaryScale * boundary * exp(-(d^2 / (2 sigma^2))))
// where sigma^2 is the mean of d^2 over every pair of the problem, each d^2
// rounded to a multiple of 2^-20 (to nearest, ties to even) and summed
// exactly, so that the mean does not depend on the order of the pairs; 1
// when there are no pairs or the mean is 0.
//
// Region term (the data costs), label l of site p:
//   - with seeds, a kernel density of the seeds' log-tensors: for the m
//     seeds of label l used (see below), t_j = d^2(p, s_j) / (2 sigma^2),
//     t_min their least; each term u_j = exp(-(t_j - t_min)) with
//     t_j - t_min <= kKernelReach is rounded to a multiple of 2^-52 (ties to
//     even) and summed exactly to Q (in units of 2^-52); then
//       nll = t_min - log(Q) + 52 log 2 + log(m)
//     = -log((1/m) sum_j exp(-t_j)) up to the rounding and the far terms
//     left out; the cost is roundToInt(kRegionScale * region * min(nll,
//     kMaxRegionNll)): the floor of the density keeps a voxel unlike every
//     seed at the same finite cost for both labels;
//   - a seed site of label l costs 0 for l and, for the other label, 1 + the
//     sum of its pairs' weights after limiting: more than any cut can save by
//     moving it, so every seed site keeps its seed's label in every result;
//   - without seeds, from the scalar value S (e.g. fractional anisotropy):
//     roundToInt(kRegionScale * region * ((S - l) * (S - l))).
// Seeds per label: those of sites, in voxel order; when there are more than
// kMaxSeedsPerLabel, the i-th used is seed floor(i * n / kMaxSeedsPerLabel)
// of the n, so that the cost per voxel is bounded whatever the strokes.
// roundToInt rounds half away from zero and saturates like floatToInt (NaN
// to INT_MIN); the costs are then limited to 32 bits as the scalar energy's
// are (costLimit.h), seeds counted as hard sites.
//
// Cost: 48 bytes per site for the log-tensors, 8 per voxel for the median;
// one pass over the pairs for sigma^2 and one for the weights; the region
// term O(sites * seeds used), at most 2 * kMaxSeedsPerLabel distances per
// site.
#ifndef DTICUT_APP_SEGMENTATION_TENSORENERGY_H
#define DTICUT_APP_SEGMENTATION_TENSORENERGY_H

#include <vector>

#include "app/segmentation/energyWeights.h"
#include "app/segmentation/neighbourhood.h"
#include "app/segmentation/segmentation.h"
#include "app/segmentation/volume.h"

// The floor of the eigenvalues, as a fraction of the median mean diffusivity.
const double kEpsilonFraction = 0.01;
// Integer scales of the two terms: their costs before the weights.
const double kBoundaryScale = 10.0;
const double kRegionScale = 10.0;
// The largest negative log-likelihood a region cost takes.
const double kMaxRegionNll = 20.0;
// Kernel terms below exp(-kKernelReach) of the nearest seed's are left out.
const double kKernelReach = 36.0;
// The most seeds each label's model uses.
const int kMaxSeedsPerLabel = 32;

// A symmetric 3 x 3 matrix: the log of a tensor.
struct LogTensor {
  double xx, yy, zz, xy, xz, yz;
};

// ||a - b||_F^2, as above.
double logEuclidean2(const LogTensor& a, const LogTensor& b);

// Half away from zero, then saturating at the 32-bit limits; NaN gives
// INT_MIN (which limiting turns into 0).
int roundToInt(double value);

// Clears inside[p] for every voxel whose tensor is not defined (an
// eigenvalue or eigenvector component not finite, or an eigenvector zero).
void keepDefinedTensors(const Eigenvector sets[3], std::vector<unsigned char>& inside);

// The log-tensors of a problem's sites, in site order, and the floor used.
struct TensorMap {
  std::vector<LogTensor> tensors;
  double epsilon;
};
// The map of `neighbourhood`'s sites; their tensors must be defined.
TensorMap logTensors(const Eigenvector sets[3], const Neighbourhood& neighbourhood);

// sigma^2 of the map (see above).
double meanSquaredDistance(const TensorMap& map, const Neighbourhood& neighbourhood);

// What seeds say: per voxel 0 (free), 1 (label 1) or 2 (label 0).
const float kSeedLabelOne = 1.0f;
const float kSeedLabelZero = 2.0f;

// The facts of a tensor energy's costs, for the report.
struct TensorFacts {
  double epsilon = 0;
  double sigma2 = 0;
  long long undefined = 0;       // voxels (inside the mask) without a tensor
  long long seeds[2] = {0, 0};   // seed sites of label 0 and of label 1
  long long seedsUsed[2] = {0, 0};
  long long seedsOutside = 0;    // seeds on voxels that are no site
};

// The costs of the tensor energy over `neighbourhood`, limited to 32 bits
// (into `limit`), seed sites' costs set after limiting. `seeds` may have no
// voxels (data null); its values must be 0, 1 or 2 and there must be seed
// sites of both labels (checked by requireSeeds). `scalar` is read only
// without seeds.
SegmentationCosts buildTensorCosts(const TensorMap& map, double sigma2,
                                   const Neighbourhood& neighbourhood, const Image& seeds,
                                   const Image& scalar, const EnergyWeights& weights,
                                   CostLimit* limit, TensorFacts* facts);

// Throws AppError naming the seeds unless every voxel holds 0, 1 or 2 (the
// first other value, and where), and unless, among the sites of
// `neighbourhood`, there are seeds of both labels (naming the missing one).
// Counts the seeds into `facts`.
void requireSeeds(const Image& seeds, const Neighbourhood& neighbourhood, TensorFacts* facts);

#endif  // DTICUT_APP_SEGMENTATION_TENSORENERGY_H
