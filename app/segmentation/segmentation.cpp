#include "app/segmentation/segmentation.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstdio>

#include "app/segmentation/floatToInt.h"
#include "app/segmentation/parallel.h"

void requireSegmentable(const Image& volume) {
  long long sites = static_cast<long long>(volume.dimX) * volume.dimY * volume.dimZ;
  if (sites < 2)
    throw AppError(volume.name,
                   "has %lld voxel%s (%d x %d x %d), the segmentation needs at "
                   "least 2",
                   sites, sites == 1 ? "" : "s", volume.dimX, volume.dimY, volume.dimZ);
  long long pairs = Neighbourhood::pairsOfGrid(volume.dimX, volume.dimY, volume.dimZ);
  if (2 * sites > INT_MAX || pairs > INT_MAX)
    throw AppError(volume.name,
                   "%d x %d x %d voxels make %lld data costs and %lld neighbour "
                   "pairs, more than the optimizer's limit of %d",
                   volume.dimX, volume.dimY, volume.dimZ, 2 * sites, pairs, INT_MAX);
}

SegmentationCosts buildSegmentationCosts(Eigenvector principal, Image scalar,
                                         const EnergyWeights& weights,
                                         const Neighbourhood& neighbourhood) {
  const Image& shape = principal.eigenvalue;
  requireSameDimensions(shape, principal.x);
  requireSameDimensions(shape, principal.y);
  requireSameDimensions(shape, principal.z);
  requireSameDimensions(shape, scalar);
  assert(neighbourhood.numVoxels() == static_cast<long long>(shape.dimX) * shape.dimY * shape.dimZ);
  SegmentationCosts costs;
  costs.dataCosts.resize(2 * static_cast<size_t>(neighbourhood.numSites()));
  costs.weights.assign(neighbourhood.numSlots(), 0);
  int* data = costs.dataCosts.data();
  int* pairWeight = costs.weights.data();
  const float* s = scalar.data;
  // Each cost is its site's or pair's own: the voxels are walked in parts,
  // on every core.
  forEachPart(neighbourhood.numVoxels(), [&](int, long long first, long long end) {
    Vector vp = {0, 0, 0};
    neighbourhood.walkVoxels(
        first, end,
        [&](int p, int site) {
          int* cost = data + 2 * static_cast<long long>(site);
          cost[0] = floatToInt(dataCostFor(s[p], 0, weights));
          cost[1] = floatToInt(dataCostFor(s[p], 1, weights));
          vp = vectorAt(p, principal);
        },
        [&](int p, int q, int, int, long long k) {
          pairWeight[k] = floatToInt(smoothCostFor(vectorAt(q, principal), s[q], vp, s[p], weights));
        });
  });
  return costs;
}

CostLimit limitSegmentationCosts(SegmentationCosts& costs) {
  return limitCosts(costs.dataCosts.data(), costs.numSites(), 2, costs.weights.data(),
                    static_cast<long long>(costs.weights.size()));
}

long long sitesFavouringLabelOne(const SegmentationCosts& costs) {
  const int* data = costs.dataCosts.data();
  return sumOfParts(costs.numSites(), [data](long long first, long long end) {
    long long favouring = 0;
    for (long long s = first; s < end; ++s) favouring += data[2 * s + 1] < data[2 * s];
    return favouring;
  });
}

DataFreeFacts whyNoSiteFavoursLabelOne(const Image& scalar, const Neighbourhood& neighbourhood,
                                       float dataWeight, const CostLimit& limit,
                                       const std::function<double(float s, int l)>& real,
                                       const std::function<int(double)>& toInt) {
  DataFreeFacts facts = {DataFreeCause::kNoScalarAboveHalf, dataWeight, 0.0f, limit.cap,
                         neighbourhood.masked()};
  bool anyFinite = false, floatsFavour = false, intsFavour = false;
  // The largest value is, of those equal to the maximum, the first met with
  // x outermost and z innermost. Equal floats differ only as -0 and +0, so
  // here, x fastest, a zero maximum takes the sign of the zero whose
  // (x, y, z) comes first.
  const long long dimX = neighbourhood.dimX(), dimY = neighbourhood.dimY(),
                  dimZ = neighbourhood.dimZ();
  long long firstZero = LLONG_MAX;  // (x * dimY + y) * dimZ + z of that zero
  float zeroFirst = 0.0f;
  neighbourhood.forEachSite([&](int p, int) {
    const float s = scalar.data[p];
    if (!std::isfinite(s)) return;
    facts.largestScalar = anyFinite ? std::max(facts.largestScalar, s) : s;
    anyFinite = true;
    if (s == 0.0f) {
      const long long order = (p % dimX * dimY + p / dimX % dimY) * dimZ + p / dimX / dimY;
      if (order < firstZero) firstZero = order, zeroFirst = s;
    }
    const double one = real(s, 1), zero = real(s, 0);
    floatsFavour = floatsFavour || one < zero;
    intsFavour = intsFavour || toInt(one) < toInt(zero);
  });
  if (facts.largestScalar == 0.0f) facts.largestScalar = zeroFirst;
  facts.cause = !anyFinite               ? DataFreeCause::kNoFiniteScalar
                : !(dataWeight > 0.0f)   ? DataFreeCause::kDataWeightNotPositive
                : intsFavour             ? DataFreeCause::kCapped
                : floatsFavour           ? DataFreeCause::kTruncated
                                         : DataFreeCause::kNoScalarAboveHalf;
  return facts;
}

std::string dataFreeMessage(const DataFreeFacts& facts, const char* weight, const char* setting) {
  const char* where = facts.masked ? " inside the mask" : "";
  char text[600];
  switch (facts.cause) {
    case DataFreeCause::kTruncated:
      snprintf(text, sizeof text,
               "with these weights no data cost is lower for label 1 than for label 0, so every "
               "voxel keeps label 0 and the result says nothing about the data; raise %s (e.g. "
               "%s100 for an anisotropy map in [0, 1])",
               weight, setting);
      break;
    case DataFreeCause::kNoFiniteScalar:
      snprintf(text, sizeof text,
               "no data cost is lower for label 1 than for label 0, so every voxel keeps label 0 "
               "and the result says nothing about the data: every scalar value%s is NaN or "
               "infinite",
               where);
      break;
    case DataFreeCause::kDataWeightNotPositive:
      snprintf(text, sizeof text,
               "no data cost is lower for label 1 than for label 0, so every voxel keeps label 0 "
               "and the result says nothing about the data: the data weight %s is %g; give it a "
               "positive value (e.g. %s100 for an anisotropy map in [0, 1])",
               weight, static_cast<double>(facts.dataWeight), setting);
      break;
    case DataFreeCause::kCapped:
      snprintf(text, sizeof text,
               "no data cost is lower for label 1 than for label 0, so every voxel keeps label 0 "
               "and the result says nothing about the data: keeping the energy within 32 bits "
               "capped every cost at %d, which leaves the two labels' data costs equal; lower "
               "the pair weights, or give a mask",
               facts.cap);
      break;
    case DataFreeCause::kNoScalarAboveHalf:
      snprintf(text, sizeof text,
               "no data cost is lower for label 1 than for label 0, so every voxel keeps label 0: "
               "no scalar value%s is above 0.5 (the largest is %g), so every voxel is nearer "
               "label 0's data term than label 1's",
               where, static_cast<double>(facts.largestScalar));
      break;
  }
  return text;
}

std::string emptyResultMessage(long long favouring, const char* weight) {
  char text[400];
  snprintf(text, sizeof text,
           "the result has no voxel in label 1, although the data costs of %lld voxel%s favour "
           "it: the pair weights outweigh them; lower the pair term's weights or raise %s",
           favouring, favouring == 1 ? "" : "s", weight);
  return text;
}
