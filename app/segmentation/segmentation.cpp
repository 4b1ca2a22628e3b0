#include "app/segmentation/segmentation.h"

#include <cassert>
#include <climits>

#include "app/segmentation/floatToInt.h"

float dataCostFor(float s, int l, const EnergyWeights& weights) {
  float d = s - static_cast<float>(l);
  return d * (d * weights.data);
}

float smoothCostFor(Vector a, float sa, Vector b, float sb, const EnergyWeights& weights) {
  float r = 1.0f / (sa + sb);
  float d = sa - sb;
  float k = sb * (sa * weights.smoothPrincipal);
  float t = r * weights.smoothFA - k * dot(a, b);
  return t * t - d * (d * weights.smoothOmnibus);
}

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
  costs.weights.resize(neighbourhood.numPairs());
  int* data = costs.dataCosts.data();
  int* pairWeight = costs.weights.data();
  const float* s = scalar.data;
  Vector vp = {0, 0, 0};
  neighbourhood.walk(
      [&](int p, int site) {
        int* cost = data + 2 * static_cast<long long>(site);
        cost[0] = floatToInt(dataCostFor(s[p], 0, weights));
        cost[1] = floatToInt(dataCostFor(s[p], 1, weights));
        vp = vectorAt(p, principal);
      },
      [&](int p, int q, int, int) {
        *pairWeight++ = floatToInt(smoothCostFor(vectorAt(q, principal), s[q], vp, s[p], weights));
      });
  return costs;
}

CostLimit limitSegmentationCosts(SegmentationCosts& costs) {
  return limitCosts(costs.dataCosts.data(), costs.numSites(), 2, costs.weights.data(),
                    static_cast<long long>(costs.weights.size()));
}

bool someSiteFavoursLabelOne(const SegmentationCosts& costs) {
  const std::vector<int>& data = costs.dataCosts;
  for (size_t s = 0; s < data.size(); s += 2)
    if (data[s + 1] < data[s]) return true;
  return false;
}

const char* const kNoSiteFavoursLabelOne =
    "with these weights no data cost is lower for label 1 than for label 0, so every voxel keeps "
    "label 0 and the result says nothing about the data; raise %s (e.g. %s100 for an anisotropy "
    "map in [0, 1])";

