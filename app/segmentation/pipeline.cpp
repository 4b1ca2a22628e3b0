#include "app/segmentation/pipeline.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "app/segmentation/neighbourhood.h"
#include "app/segmentation/floatToInt.h"
#include "app/segmentation/segmentation.h"
#include "app/segmentation/tensorEnergy.h"
#include "optimizer/GCoptimization.h"

namespace {

// A run's measured peak, rounded up.
const long long kPeakBytesPerVoxel = 280;

// Times the stages and tells the observer of each.
class Stages {
 public:
  Stages(SegmentationObserver* observer, SegmentationResult& result)
      : m_observer(observer), m_result(result), m_last(std::chrono::steady_clock::now()) {}

  SegmentationObserver* operator->() { return m_observer != nullptr ? m_observer : &m_silent; }

  void done(const char* stage, const char* account) {
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - m_last).count();
    m_last = now;
    m_result.stages.push_back({stage, seconds});
    (*this)->stageDone(stage, account, seconds);
  }

 private:
  struct Silent : SegmentationObserver {};
  SegmentationObserver* m_observer;
  Silent m_silent;
  SegmentationResult& m_result;
  std::chrono::steady_clock::time_point m_last;
};

// Minimises the energy of `costs` over `neighbourhood` by at most
// kExpansionIterations expansion iterations, filling the result's energies
// and labels. The optimizer's 3-D grid reads the costs where they lie: the
// data table, the pair weights by direction and the neighbourhood's site
// map.
void optimise(SegmentationCosts costs, const Neighbourhood& neighbourhood, Stages& stages,
              SegmentationResult& result) {
  // Declared before the optimizer, so that it outlives it.
  int smoothness[4] = {0, 1, 1, 0};
  const int sites = costs.numSites();
  std::unique_ptr<GCoptimizationGrid3DGraph> optimizer(new GCoptimizationGrid3DGraph(
      neighbourhood.dimX(), neighbourhood.dimY(), neighbourhood.dimZ(),
      neighbourhood.siteMap(), sites, 2));
  int* weights = costs.weights.data();
  optimizer->setDataCost(costs.dataCosts.data());
  optimizer->setSmoothCostXYZ(smoothness, weights, weights + sites, weights + 2LL * sites);
  // expansion() reports the energy it starts from and the one after each
  // iteration as it goes, so that they are said as soon as they are known.
  struct Watch {
    Stages& stages;
    SegmentationResult& result;
    static void iterationDone(int iteration, int energy, void* extra) {
      Watch& watch = *static_cast<Watch*>(extra);
      if (iteration == 0) {
        watch.result.energyBefore = energy;
        watch.stages->energyBefore(energy);
      } else {
        watch.result.iterationEnergies.push_back(energy);
        watch.stages->iterationDone(iteration, energy);
      }
    }
  } watch = {stages, result};
  optimizer->setIterationCallback(Watch::iterationDone, &watch);
  optimizer->setInterruptCheck(
      [](void* extra) { return static_cast<Watch*>(extra)->stages->interruptRequested(); },
      &watch);
  // Every site starts at label 0, so the first iteration's expansion of
  // label 1 (after that of label 0, which has no site to move) is over every
  // site: it minimises the whole two-label energy exactly. From a minimum an
  // expansion moves no site (keeping every label is a cut of least cost,
  // and the engine's cut has the fewest sites taking alpha), so the
  // iterations after the first would end where it did, and the loop after
  // the second, whose energy is not lower: that iteration is not run, and
  // said as expansion(kExpansionIterations) would say it.
  static_assert(kExpansionIterations == 2, "the second iteration is the first's result");
  result.energyAfter = optimizer->expansion(1);
  if (optimizer->interrupted()) throw SegmentationInterrupted();
  if (result.energyAfter < result.energyBefore) Watch::iterationDone(2, result.energyAfter, &watch);
  stages->energyAfter(result.energyAfter);
  result.labels.assign(neighbourhood.numVoxels(), 0.0f);
  // The map and the arrays read and written straight, in one loop per case.
  GCoptimization& labelled = *optimizer;
  float* labels = result.labels.data();
  long long ones = 0;
  const long long voxels = neighbourhood.numVoxels();
  if (const int* map = neighbourhood.siteMap()) {
    for (long long p = 0; p < voxels; ++p) {
      if (map[p] < 0) continue;
      const int label = labelled.whatLabel(map[p]);
      labels[p] = static_cast<float>(label);
      ones += label;
    }
  } else {
    for (long long p = 0; p < voxels; ++p) {
      const int label = labelled.whatLabel(static_cast<int>(p));
      labels[p] = static_cast<float>(label);
      ones += label;
    }
  }
  result.label1Sites = ones;
}

// Lets the long passes over the neighbourhood be interrupted.
void pollFrom(Stages& stages, Neighbourhood& neighbourhood) {
  neighbourhood.setPoll([&stages] {
    if (stages->interruptRequested()) throw SegmentationInterrupted();
  });
}

// The scalar energy's sites and costs (segmentation.h), from the principal
// component; frees what it no longer needs.
SegmentationCosts scalarCosts(SegmentationVolumes& volumes, const EnergyWeights& weights,
                              Stages& stages, SegmentationResult& result,
                              std::unique_ptr<Neighbourhood>& neighbourhood) {
  Eigenvector principal = takePrincipalEigenvector(volumes.sets);
  stages.done("principal component", "");

  const Image& shape = principal.eigenvalue;
  requireSegmentable(shape);
  neighbourhood.reset(volumes.mask.data != nullptr ? new Neighbourhood(shape, volumes.mask)
                                                   : new Neighbourhood(shape));
  pollFrom(stages, *neighbourhood);
  volumes.mask = Image();
  SegmentationCosts costs =
      buildSegmentationCosts(principal, volumes.scalar, weights, *neighbourhood);
  principal = Eigenvector();
  result.limit = limitSegmentationCosts(costs);
  stages->costsLimited(result.limit);
  result.favouringSites = sitesFavouringLabelOne(costs);
  if (result.favouringSites == 0) {
    result.dataFree = whyNoSiteFavoursLabelOne(
        volumes.scalar, *neighbourhood, weights.data, result.limit,
        [&](float s, int l) { return dataCostFor(s, l, weights); },
        [](double cost) { return floatToInt(static_cast<float>(cost)); });
    stages->noSiteFavoursLabelOne(result.dataFree);
  }
  return costs;
}

// The tensor energy's sites and costs (tensorEnergy.h): the voxels inside
// the mask whose tensor is defined; frees what it no longer needs.
SegmentationCosts tensorCosts(SegmentationVolumes& volumes, const EnergyWeights& weights,
                              Stages& stages, SegmentationResult& result,
                              std::unique_ptr<Neighbourhood>& neighbourhood) {
  const Image shape = volumes.sets[0].eigenvalue;
  requireSegmentable(shape);
  for (const Eigenvector& set : volumes.sets) {
    requireSameDimensions(shape, set.eigenvalue);
    requireSameDimensions(shape, set.x);
    requireSameDimensions(shape, set.y);
    requireSameDimensions(shape, set.z);
  }
  requireSameDimensions(shape, volumes.scalar);
  const long long voxels = static_cast<long long>(shape.dimX) * shape.dimY * shape.dimZ;
  std::vector<unsigned char> inside(voxels, 1);
  const bool masked = volumes.mask.data != nullptr;
  if (masked) {
    requireSameDimensions(shape, volumes.mask);
    for (long long p = 0; p < voxels; ++p) {
      const float m = volumes.mask.data[p];
      inside[p] = m != 0.0f && m == m;
    }
  }
  long long considered = 0;  // the voxels of the mask, or all
  for (unsigned char in : inside) considered += in;
  keepDefinedTensors(volumes.sets, inside);
  neighbourhood.reset(new Neighbourhood(
      shape, inside, masked ? volumes.mask.name : shape.name,
      masked ? "inside (non-zero and not NaN) with a defined tensor"
             : "with a defined tensor (finite eigenvalues, non-zero finite eigenvectors)"));
  pollFrom(stages, *neighbourhood);
  result.tensor.undefined = considered - neighbourhood->numSites();
  std::vector<unsigned char>().swap(inside);
  volumes.mask = Image();
  if (volumes.seeds.data != nullptr) {
    requireSameDimensions(shape, volumes.seeds);
    requireSeeds(volumes.seeds, *neighbourhood, &result.tensor);
    if (result.tensor.seedsOutside > 0) {
      char text[400];
      snprintf(text, sizeof text,
               "%s: %lld seed voxel%s lie where nothing is segmented (outside the mask, or "
               "without a defined tensor) and %s ignored",
               volumes.seeds.name, result.tensor.seedsOutside,
               result.tensor.seedsOutside == 1 ? "" : "s",
               result.tensor.seedsOutside == 1 ? "is" : "are");
      stages->warning(text);
    }
  }
  const TensorMap map = logTensors(volumes.sets, *neighbourhood);
  for (Eigenvector& set : volumes.sets) set = Eigenvector();
  result.tensor.epsilon = map.epsilon;
  char account[128];
  snprintf(account, sizeof account, "eigenvalues floored at %g, %lld voxel%s without a tensor",
           map.epsilon, result.tensor.undefined, result.tensor.undefined == 1 ? "" : "s");
  stages.done("tensor map", account);

  result.tensor.sigma2 = meanSquaredDistance(map, *neighbourhood);
  SegmentationCosts costs = buildTensorCosts(map, result.tensor.sigma2, *neighbourhood,
                                             volumes.seeds, volumes.scalar, weights,
                                             &result.limit, &result.tensor);
  volumes.seeds = Image();
  stages->costsLimited(result.limit);
  result.favouringSites = sitesFavouringLabelOne(costs);
  if (result.favouringSites == 0) {
    const double region = kRegionScale * static_cast<double>(weights.region);
    result.dataFree = whyNoSiteFavoursLabelOne(
        volumes.scalar, *neighbourhood, weights.region, result.limit,
        [region](float s, int l) {
          const double d = static_cast<double>(s) - l;
          return region * (d * d);
        },
        roundToInt);
    stages->noSiteFavoursLabelOne(result.dataFree);
  }
  return costs;
}

SegmentationResult segmentVolumes(SegmentationVolumes volumes, EnergyModel energy,
                                  const EnergyWeights& weights, SegmentationObserver* observer) {
  SegmentationResult result;
  result.energy = energy;
  Stages stages(observer, result);
  std::unique_ptr<Neighbourhood> neighbourhood;
  SegmentationCosts costs =
      energy == EnergyModel::kTensor
          ? tensorCosts(volumes, weights, stages, result, neighbourhood)
          : scalarCosts(volumes, weights, stages, result, neighbourhood);
  volumes.scalar = Image();
  result.sites = costs.numSites();
  result.pairs = neighbourhood->numPairs();
  char account[64];
  snprintf(account, sizeof account, "%d sites, %lld pairs", result.sites, result.pairs);
  stages.done("building the energy", account);

  optimise(std::move(costs), *neighbourhood, stages, result);
  if (result.label1Sites == 0 && result.favouringSites > 0)
    stages->emptyResult(result.favouringSites);
  char energies[kExpansionIterations * 48] = "";
  for (size_t i = 0; i < result.iterationEnergies.size(); ++i)
    snprintf(energies + strlen(energies), sizeof energies - strlen(energies),
             "%senergy %d after iteration %zu", i > 0 ? ", " : "", result.iterationEnergies[i],
             i + 1);
  stages.done("optimisation", energies);
  return result;
}

}  // namespace

void describeSegmentationNeeds(const Image& shape, char* text, std::size_t size) {
  const long long voxels = static_cast<long long>(shape.dimX) * shape.dimY * shape.dimZ;
  snprintf(text, size, "segmenting %d x %d x %d voxels needs about %lld MB", shape.dimX,
           shape.dimY, shape.dimZ, (voxels * kPeakBytesPerVoxel >> 20) + 1);
}

SegmentationResult runSegmentation(SegmentationVolumes volumes, EnergyModel energy,
                                   const EnergyWeights& weights, SegmentationObserver* observer) {
  Image shape = volumes.sets[0].eigenvalue;
  shape.data = nullptr;
  shape.storage.reset();
  const char* optimizerMessage = nullptr;
  try {
    return segmentVolumes(std::move(volumes), energy, weights, observer);
  } catch (const GCException& error) {
    // "Not enough memory" is the only one the calls above can raise.
    optimizerMessage = error.message;
  } catch (const std::bad_alloc&) {
  }
  char needs[160];
  describeSegmentationNeeds(shape, needs, sizeof needs);
  AppError error("out of memory", "%s", needs);
  error.setOptimizerMessage(optimizerMessage);
  throw error;
}
