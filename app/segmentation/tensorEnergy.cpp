#include "app/segmentation/tensorEnergy.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "app/segmentation/parallel.h"

namespace {

// a + b + c in ascending order, so that the sum does not depend on the
// order of its terms.
double sumAscending(double a, double b, double c) {
  // Branch-free: the distances' terms are in no predictable order. (The
  // values are never NaN here.)
  const double low = std::min(a, std::min(b, c)), high = std::max(a, std::max(b, c));
  const double middle = std::max(std::min(a, b), std::min(std::max(a, b), c));
  return (low + middle) + high;
}

// One eigen-component of a voxel, widened to double.
struct Component {
  double lambda;
  double e[3];
};

// Whether the three components of voxel p are defined, and them.
bool componentsAt(const Eigenvector sets[3], long long p, Component out[3]) {
  for (int k = 0; k < 3; ++k) {
    const Eigenvector& set = sets[k];
    out[k] = {set.eigenvalue.data[p], {set.x.data[p], set.y.data[p], set.z.data[p]}};
    if (!std::isfinite(out[k].lambda)) return false;
    for (double c : out[k].e)
      if (!std::isfinite(c)) return false;
    if (out[k].e[0] == 0 && out[k].e[1] == 0 && out[k].e[2] == 0) return false;
  }
  return true;
}

// The canonical order: eigenvalue ascending, then the squared components
// (which a sign change leaves as they are).
void sortComponents(Component c[3]) {
  auto before = [](const Component& a, const Component& b) {
    if (a.lambda != b.lambda) return a.lambda < b.lambda;
    for (int i = 0; i < 3; ++i)
      if (a.e[i] * a.e[i] != b.e[i] * b.e[i]) return a.e[i] * a.e[i] < b.e[i] * b.e[i];
    return false;
  };
  std::sort(c, c + 3, before);
}

LogTensor logTensorOf(Component c[3], double epsilon) {
  sortComponents(c);
  LogTensor t = {0, 0, 0, 0, 0, 0};
  for (int k = 0; k < 3; ++k) {
    const double* e = c[k].e;
    const double norm = std::sqrt(sumAscending(e[0] * e[0], e[1] * e[1], e[2] * e[2]));
    const double x = e[0] / norm, y = e[1] / norm, z = e[2] / norm;
    const double g = std::log(std::max(c[k].lambda, epsilon));
    t.xx += g * (x * x);
    t.yy += g * (y * y);
    t.zz += g * (z * z);
    t.xy += g * (x * y);
    t.xz += g * (x * z);
    t.yz += g * (y * z);
  }
  return t;
}

// The exact sum of many non-negative values, each first rounded to a
// multiple of 2^-shift (to nearest, ties to even: nearbyint in the default
// rounding mode), in 128-bit integers; sums of parts added up are the sum
// of the whole.
class ExactSum {
 public:
  explicit ExactSum(int shift) : m_scale(std::ldexp(1.0, shift)), m_shift(shift) {}
  void add(double value) {
    const double units = std::nearbyint(value * m_scale);
    // An integer below 2^64 (every kernel term, nearly every distance)
    // converts through 64 bits to the same value, without the slow
    // conversion to 128.
    m_sum += units < 18446744073709551616.0
                 ? static_cast<unsigned __int128>(static_cast<unsigned long long>(units))
                 : static_cast<unsigned __int128>(units);
  }
  void add(const ExactSum& part) { m_sum += part.m_sum; }
  // The sum as a double (rounded once), in units of 2^-shift.
  double units() const { return static_cast<double>(m_sum); }
  int shift() const { return m_shift; }

 private:
  double m_scale;
  int m_shift;
  unsigned __int128 m_sum = 0;
};

}  // namespace

namespace {

// ||a - b||_F^2 from the six differences of a and b.
inline double squaredNorm(double xx, double yy, double zz, double xy, double xz, double yz) {
  return sumAscending(xx * xx, yy * yy, zz * zz) + 2.0 * sumAscending(xy * xy, xz * xz, yz * yz);
}

}  // namespace

double logEuclidean2(const LogTensor& a, const LogTensor& b) {
  return squaredNorm(a.xx - b.xx, a.yy - b.yy, a.zz - b.zz, a.xy - b.xy, a.xz - b.xz, a.yz - b.yz);
}

int roundToInt(double value) {
  if (value != value) return INT_MIN;
  const double rounded = std::round(value);
  if (rounded >= 2147483647.0) return INT_MAX;
  if (rounded <= -2147483648.0) return INT_MIN;
  return static_cast<int>(rounded);
}

void keepDefinedTensors(const Eigenvector sets[3], std::vector<unsigned char>& inside) {
  forEachPart(static_cast<long long>(inside.size()), [&](int, long long first, long long end) {
    Component c[3];
    for (long long p = first; p < end; ++p)
      if (inside[p]) inside[p] = componentsAt(sets, p, c);
  });
}

namespace {

// Calls site(p, s) for every site of `neighbourhood`, the voxels walked in
// parts on every core.
template <typename OnSite>
void forEachSiteInParts(const Neighbourhood& neighbourhood, OnSite site) {
  forEachPart(neighbourhood.numVoxels(), [&](int, long long first, long long end) {
    neighbourhood.walkVoxels(first, end, site, [](int, int, int, int, long long) {});
  });
}

// Calls pair(s, t, k) for every pair of `neighbourhood`, in parts on every
// core; part(k) is the part's index.
template <typename OnPair>
void forEachPairInParts(const Neighbourhood& neighbourhood, OnPair pair) {
  forEachPart(neighbourhood.numVoxels(), [&](int part, long long first, long long end) {
    neighbourhood.walkVoxels(first, end, [](int, int) {},
                             [&](int, int, int s, int t, long long k) { pair(part, s, t, k); });
  });
}

}  // namespace

TensorMap logTensors(const Eigenvector sets[3], const Neighbourhood& neighbourhood) {
  TensorMap map;
  // The floor: the lower median of the sites' mean diffusivities.
  std::vector<double> diffusivity(neighbourhood.numSites());
  forEachSiteInParts(neighbourhood, [&](int p, int s) {
    Component c[3];
    const bool defined = componentsAt(sets, p, c);
    assert(defined);
    (void)defined;
    diffusivity[s] = sumAscending(c[0].lambda, c[1].lambda, c[2].lambda) / 3.0;
  });
  std::vector<double>::iterator median = diffusivity.begin() + (diffusivity.size() - 1) / 2;
  std::nth_element(diffusivity.begin(), median, diffusivity.end());
  map.epsilon = *median > 0 ? kEpsilonFraction * *median : 1.0;
  std::vector<double>().swap(diffusivity);

  map.tensors.resize(neighbourhood.numSites());
  forEachSiteInParts(neighbourhood, [&](int p, int s) {
    Component c[3];
    componentsAt(sets, p, c);
    map.tensors[s] = logTensorOf(c, map.epsilon);
  });
  return map;
}

double meanSquaredDistance(const TensorMap& map, const Neighbourhood& neighbourhood) {
  std::vector<ExactSum> parts(partsOf(neighbourhood.numVoxels()), ExactSum(20));
  forEachPairInParts(neighbourhood, [&](int part, int s, int t, long long) {
    parts[part].add(logEuclidean2(map.tensors[s], map.tensors[t]));
  });
  ExactSum sum(20);
  for (const ExactSum& part : parts) sum.add(part);
  const long long pairs = neighbourhood.numPairs();
  if (pairs == 0) return 1.0;
  const double mean = sum.units() / (static_cast<double>(pairs) * std::ldexp(1.0, sum.shift()));
  return mean > 0 ? mean : 1.0;
}

void requireSeeds(const Image& seeds, const Neighbourhood& neighbourhood, TensorFacts* facts) {
  const long long voxels = neighbourhood.numVoxels();
  for (long long p = 0; p < voxels; ++p) {
    const float v = seeds.data[p];
    if (v == 0.0f || v == kSeedLabelOne || v == kSeedLabelZero) continue;
    const long long x = p % seeds.dimX, y = p / seeds.dimX % seeds.dimY,
                    z = p / seeds.dimX / seeds.dimY;
    throw AppError(seeds.name,
                   "voxel (%lld, %lld, %lld) holds %g; expected 0 (free), 1 (the structure, "
                   "label 1) or 2 (not the structure, label 0)",
                   x, y, z, static_cast<double>(v));
  }
  facts->seeds[0] = facts->seeds[1] = facts->seedsOutside = 0;
  for (long long p = 0; p < voxels; ++p) {
    const float v = seeds.data[p];
    if (v == 0.0f) continue;
    if (neighbourhood.siteOf(p) < 0)
      ++facts->seedsOutside;
    else
      ++facts->seeds[v == kSeedLabelOne ? 1 : 0];
  }
  for (int label = 0; label < 2; ++label) {
    if (facts->seeds[label] > 0) continue;
    throw AppError(seeds.name,
                   "has seeds of label %d (value %d: %s) but none of label %d (value %d: %s)%s; "
                   "mark some voxels of both",
                   1 - label, label == 0 ? 1 : 2,
                   label == 0 ? "the structure" : "not the structure", label, label == 0 ? 2 : 1,
                   label == 0 ? "not the structure" : "the structure",
                   facts->seedsOutside > 0 ? " among the voxels segmented" : "");
  }
}

SegmentationCosts buildTensorCosts(const TensorMap& map, double sigma2,
                                   const Neighbourhood& neighbourhood, const Image& seeds,
                                   const Image& scalar, const EnergyWeights& weights,
                                   CostLimit* limit, TensorFacts* facts) {
  const int sites = neighbourhood.numSites();
  const double twoSigma2 = 2.0 * sigma2;
  SegmentationCosts costs;
  costs.weights.assign(neighbourhood.numSlots(), 0);
  const double boundary = kBoundaryScale * static_cast<double>(weights.boundary);
  forEachPairInParts(neighbourhood, [&](int, int s, int t, long long k) {
    const double d2 = logEuclidean2(map.tensors[s], map.tensors[t]);
    costs.weights[k] = roundToInt(boundary * std::exp(-(d2 / twoSigma2)));
  });

  costs.dataCosts.resize(2 * static_cast<size_t>(sites));
  int* data = costs.dataCosts.data();
  const double region = kRegionScale * static_cast<double>(weights.region);
  if (seeds.data == nullptr) {
    forEachSiteInParts(neighbourhood, [&](int p, int s) {
      for (int l = 0; l < 2; ++l) {
        const double d = static_cast<double>(scalar.data[p]) - l;
        data[2 * static_cast<long long>(s) + l] = roundToInt(region * (d * d));
      }
    });
    *limit = limitCosts(data, sites, 2, costs.weights.data(),
                        static_cast<long long>(costs.weights.size()));
    return costs;
  }

  // The seeds of each label, in site order, thinned to at most
  // kMaxSeedsPerLabel.
  std::vector<unsigned char> hard(sites, 0);
  std::vector<signed char> seedLabel(sites, -1);
  std::vector<int> seedSites[2];
  neighbourhood.forEachSite([&](int p, int s) {
    const float v = seeds.data[p];
    if (v == 0.0f) return;
    const int label = v == kSeedLabelOne ? 1 : 0;
    hard[s] = 1;
    seedLabel[s] = static_cast<signed char>(label);
    seedSites[label].push_back(s);
  });
  // Each label's model, component by component, so that a site's distances
  // to all its seeds are one loop over arrays.
  struct Model {
    int m = 0;
    double c[6][kMaxSeedsPerLabel];  // xx, yy, zz, xy, xz, yz of seed j at [.][j]
  } models[2];
  for (int label = 0; label < 2; ++label) {
    const std::vector<int>& all = seedSites[label];
    const long long n = static_cast<long long>(all.size());
    Model& model = models[label];
    model.m = static_cast<int>(std::min<long long>(n, kMaxSeedsPerLabel));
    for (long long i = 0; i < model.m; ++i) {
      const LogTensor& seed = map.tensors[all[i * n / model.m]];
      const double c[6] = {seed.xx, seed.yy, seed.zz, seed.xy, seed.xz, seed.yz};
      for (int k = 0; k < 6; ++k) model.c[k][i] = c[k];
    }
    facts->seedsUsed[label] = model.m;
  }

  const double lnUnits = 52.0 * std::log(2.0);
  forEachPart(sites, [&](int, long long first, long long end) {
    double t[kMaxSeedsPerLabel];
    for (long long s = first; s < end; ++s) {
      if (((s - first) & 4095) == 0) neighbourhood.poll();
      if (hard[s]) continue;
      const LogTensor& a = map.tensors[s];
      for (int label = 0; label < 2; ++label) {
        const Model& model = models[label];
        const int m = model.m;
        for (int j = 0; j < m; ++j)  // logEuclidean2(a, seed j) / 2 sigma^2
          t[j] = squaredNorm(a.xx - model.c[0][j], a.yy - model.c[1][j], a.zz - model.c[2][j],
                             a.xy - model.c[3][j], a.xz - model.c[4][j], a.yz - model.c[5][j]) /
                 twoSigma2;
        double least = t[0];
        for (int j = 1; j < m; ++j) least = std::min(least, t[j]);
        ExactSum sum(52);
        for (int j = 0; j < m; ++j)
          if (t[j] - least <= kKernelReach) sum.add(std::exp(-(t[j] - least)));
        const double nll =
            least - std::log(sum.units()) + lnUnits + std::log(static_cast<double>(m));
        data[2 * s + label] = roundToInt(region * std::min(nll, kMaxRegionNll));
      }
    }
  });

  // Each pair's weight counts once for itself and once for each seed end
  // (whose derived cost sums it).
  std::vector<unsigned char> multiplicity(costs.weights.size(), 0);
  forEachPairInParts(neighbourhood, [&](int, int s, int u, long long k) {
    multiplicity[k] = static_cast<unsigned char>(1 + hard[s] + hard[u]);
  });
  *limit = limitCostsWithHardSites(data, sites, 2, costs.weights.data(),
                                   static_cast<long long>(costs.weights.size()), hard.data(),
                                   multiplicity.data());
  // A seed site: 0 for its label, and for the other more than all its pairs
  // can save.
  std::vector<long long> held(sites, 1);
  neighbourhood.walk([](int, int) {}, [&](int, int, int s, int u, long long k) {
    const int w = costs.weights[k];
    if (hard[s]) held[s] += w;
    if (hard[u]) held[u] += w;
  });
  for (int s = 0; s < sites; ++s) {
    if (!hard[s]) continue;
    const int label = seedLabel[s];
    data[2 * static_cast<long long>(s) + label] = 0;
    data[2 * static_cast<long long>(s) + 1 - label] = static_cast<int>(held[s]);
  }
  return costs;
}
