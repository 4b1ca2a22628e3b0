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
#ifndef DTICUT_APP_SEGMENTATION_H
#define DTICUT_APP_SEGMENTATION_H

#include <cstdio>
#include <vector>

#include "app/costLimit.h"
#include "app/volume.h"

// Default weights of the energy's four terms. At 1 every cost is the plain
// formula's; on an anisotropy map in [0, 1] that truncates every data cost
// to 0, so useful segmentations need the weights set (EnergyWeights).
const float DATA_LAMBDA = 1.0f;
const float SMOOTH_FA_LAMBDA = 1.0f;
const float SMOOTH_PRINCIPAL_LAMBDA = 1.0f;
const float SMOOTH_OMNIBUS_LAMBDA = 1.0f;

// The weights of one run; multiplying by a weight of 1 changes no bit, so
// the defaults give exactly the unweighted costs.
struct EnergyWeights {
  float data = DATA_LAMBDA;                        // the data term (s - l)^2
  float smoothFA = SMOOTH_FA_LAMBDA;               // 1/(sa + sb) in the pair term
  float smoothPrincipal = SMOOTH_PRINCIPAL_LAMBDA;  // sa*sb*(a . b) in the pair term
  float smoothOmnibus = SMOOTH_OMNIBUS_LAMBDA;      // (sa - sb)^2, subtracted in the pair term
};

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
  std::vector<int> weights;    // one per pair of sites, in declaration order
  // The site of every voxel, -1 outside the mask; empty without a mask,
  // when site p is voxel p.
  std::vector<int> siteOfVoxel;
  int numSites() const { return static_cast<int>(dataCosts.size() / 2); }
};

long long countNeighborPairs(int dimX, int dimY, int dimZ);
// Throws AppError naming the volume unless the optimizer can segment a
// volume of its size: at least 2 voxels, and tables indexable by int.
void requireSegmentable(const Image& volume);
// Converts dataCostFor and smoothCostFor of every site and pair to ints
// (floatToInt), visiting x outermost and z innermost. The volumes (and the
// mask, when not null) must have the dimensions of principal.eigenvalue,
// checked by requireSameDimensions; a mask with fewer than 2 voxels inside
// is refused (AppError naming it).
SegmentationCosts buildSegmentationCosts(Eigenvector principal, Image scalar,
                                         const EnergyWeights& weights = EnergyWeights(),
                                         const Image* mask = nullptr);

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

// The most expansion iterations segment runs.
const int kExpansionIterations = 2;
// The energies of one segment run.
struct ExpansionTrace {
  int before;      // of the all-0 labelling
  int iterations;  // run, 1 or 2
  int energies[kExpansionIterations];  // after each iteration
  int after;                           // of the result
};
// Minimises the energy of `costs` on a volume shaped like `shape` as
// expansion(kExpansionIterations) does; labels[p] receives the label of
// voxel p (0.0 or 1.0; 0.0 outside the mask). When `energies` is not null, the energy before and
// after go there as "Before optimization energy is :\t%d\n" and "After
// optimization energy is :\t%d\n", each as soon as it is known. Takes the
// costs over: the pair weights are released once declared. Raises
// GCException on optimizer errors.
void segment(SegmentationCosts costs, const Image& shape, float* labels, ExpansionTrace* trace,
             FILE* energies);

#endif  // DTICUT_APP_SEGMENTATION_H
