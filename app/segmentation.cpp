#include "app/segmentation.h"

#include <cassert>
#include <climits>
#include <memory>
#include <utility>

#include "app/floatToInt.h"
#include "optimizer/GCoptimization.h"

namespace {

// Calls voxel(p) for every voxel, x outermost and z innermost, each followed
// by pair(p, q) for its -x, -y and -z neighbours q that exist, in this order.
// Building the costs and declaring the pairs both walk the volume here, so
// pair k of one is pair k of the other.
template <typename OnVoxel, typename OnPair>
void visitVoxels(int dimX, int dimY, int dimZ, OnVoxel voxel, OnPair pair) {
  int slice = dimX * dimY;
  for (int x = 0; x < dimX; ++x) {
    for (int y = 0; y < dimY; ++y) {
      for (int z = 0; z < dimZ; ++z) {
        int p = x + y * dimX + z * slice;
        voxel(p);
        if (x > 0) pair(p, p - 1);
        if (y > 0) pair(p, p - dimX);
        if (z > 0) pair(p, p - slice);
      }
    }
  }
}

}  // namespace

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

long long countNeighborPairs(int dimX, int dimY, int dimZ) {
  long long x = dimX, y = dimY, z = dimZ;
  return (x - 1) * y * z + x * (y - 1) * z + x * y * (z - 1);
}

void requireSegmentable(const Image& volume) {
  long long sites = static_cast<long long>(volume.dimX) * volume.dimY * volume.dimZ;
  if (sites < 2)
    throw AppError(volume.name,
                   "has %lld voxel%s (%d x %d x %d), the segmentation needs at "
                   "least 2",
                   sites, sites == 1 ? "" : "s", volume.dimX, volume.dimY, volume.dimZ);
  long long pairs = countNeighborPairs(volume.dimX, volume.dimY, volume.dimZ);
  if (2 * sites > INT_MAX || pairs > INT_MAX)
    throw AppError(volume.name,
                   "%d x %d x %d voxels make %lld data costs and %lld neighbour "
                   "pairs, more than the optimizer's limit of %d",
                   volume.dimX, volume.dimY, volume.dimZ, 2 * sites, pairs, INT_MAX);
}

SegmentationCosts buildSegmentationCosts(Eigenvector principal, Image scalar,
                                         const EnergyWeights& weights, const Image* mask) {
  const Image& shape = principal.eigenvalue;
  requireSameDimensions(shape, principal.x);
  requireSameDimensions(shape, principal.y);
  requireSameDimensions(shape, principal.z);
  requireSameDimensions(shape, scalar);
  requireSegmentable(shape);
  SegmentationCosts costs;
  const long long voxels = static_cast<long long>(shape.dimX) * shape.dimY * shape.dimZ;
  long long sites = voxels, pairs = countNeighborPairs(shape.dimX, shape.dimY, shape.dimZ);
  if (mask != nullptr) {
    requireSameDimensions(shape, *mask);
    costs.siteOfVoxel.resize(voxels);
    int* siteOf = costs.siteOfVoxel.data();
    sites = 0;
    for (long long p = 0; p < voxels; ++p) {
      const float m = mask->data[p];
      siteOf[p] = m != 0.0f && m == m ? static_cast<int>(sites++) : -1;
    }
    if (sites < 2)
      throw AppError(mask->name,
                     "has %lld voxel%s inside (non-zero and not NaN) of %lld, the segmentation "
                     "needs at least 2",
                     sites, sites == 1 ? "" : "s", voxels);
    pairs = 0;
    visitVoxels(
        shape.dimX, shape.dimY, shape.dimZ, [](int) {},
        [&](int p, int q) { pairs += siteOf[p] >= 0 && siteOf[q] >= 0; });
  }
  costs.dataCosts.resize(2 * sites);
  costs.weights.resize(pairs);
  const int* siteOf = mask != nullptr ? costs.siteOfVoxel.data() : nullptr;
  int* data = costs.dataCosts.data();
  int* pairWeight = costs.weights.data();
  const float* s = scalar.data;
  Vector vp = {0, 0, 0};
  visitVoxels(
      shape.dimX, shape.dimY, shape.dimZ,
      [&](int p) {
        if (siteOf != nullptr && siteOf[p] < 0) return;
        int* cost = data + 2 * static_cast<long long>(siteOf != nullptr ? siteOf[p] : p);
        cost[0] = floatToInt(dataCostFor(s[p], 0, weights));
        cost[1] = floatToInt(dataCostFor(s[p], 1, weights));
        vp = vectorAt(p, principal);
      },
      [&](int p, int q) {
        if (siteOf != nullptr && (siteOf[p] < 0 || siteOf[q] < 0)) return;
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

void segment(SegmentationCosts costs, const Image& shape, float* labels, ExpansionTrace* trace,
             FILE* energies) {
  const int n = costs.numSites();
  const long long voxels = static_cast<long long>(shape.dimX) * shape.dimY * shape.dimZ;
  const int* siteOf = costs.siteOfVoxel.empty() ? nullptr : costs.siteOfVoxel.data();
  assert(siteOf != nullptr ? static_cast<long long>(costs.siteOfVoxel.size()) == voxels
                           : static_cast<long long>(n) == voxels);
  // Declared before the optimizer, so that it outlives it.
  int smoothness[4] = {0, 1, 1, 0};
  std::unique_ptr<GCoptimizationGeneralGraph> optimizer(new GCoptimizationGeneralGraph(n, 2));
  const int* weight = costs.weights.data();
  visitVoxels(
      shape.dimX, shape.dimY, shape.dimZ, [](int) {},
      [&](int p, int q) {
        if (siteOf == nullptr)
          optimizer->setNeighbors(p, q, *weight++);
        else if (siteOf[p] >= 0 && siteOf[q] >= 0)
          optimizer->setNeighbors(siteOf[p], siteOf[q], *weight++);
      });
  std::vector<int>().swap(costs.weights);
  optimizer->setDataCost(costs.dataCosts.data());
  optimizer->setSmoothCost(smoothness);
  int energy = optimizer->compute_energy();
  trace->before = energy;
  if (energies != nullptr) fprintf(energies, "Before optimization energy is :\t%d\n", energy);
  // The loop of expansion(kExpansionIterations), run here so that the energy
  // after each iteration can be reported: the same calls and the same rule
  // (stop once an iteration does not strictly lower the energy, keeping its
  // labeling), so the labels are exactly those of expansion.
  trace->iterations = 0;
  bool lowered = true;
  while (lowered && trace->iterations < kExpansionIterations) {
    int next = optimizer->oneExpansionIteration();
    lowered = next < energy;
    energy = next;
    trace->energies[trace->iterations++] = energy;
  }
  trace->after = optimizer->compute_energy();
  if (energies != nullptr) fprintf(energies, "After optimization energy is :\t%d\n", trace->after);
  for (long long p = 0; p < voxels; ++p) {
    const int site = siteOf != nullptr ? siteOf[p] : static_cast<int>(p);
    labels[p] = site < 0 ? 0.0f : static_cast<float>(optimizer->whatLabel(site));
  }
}
