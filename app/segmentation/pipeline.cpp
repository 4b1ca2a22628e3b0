#include "app/segmentation/pipeline.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "app/segmentation/neighbourhood.h"
#include "app/segmentation/segmentation.h"
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
// and labels. Takes the costs over: the pair weights are released once
// declared.
void optimise(SegmentationCosts costs, const Neighbourhood& neighbourhood, Stages& stages,
              SegmentationResult& result) {
  // Declared before the optimizer, so that it outlives it.
  int smoothness[4] = {0, 1, 1, 0};
  std::unique_ptr<GCoptimizationGeneralGraph> optimizer(
      new GCoptimizationGeneralGraph(costs.numSites(), 2));
  const int* weight = costs.weights.data();
  neighbourhood.walk([](int, int) {},
                     [&](int, int, int s, int t) { optimizer->setNeighbors(s, t, *weight++); });
  std::vector<int>().swap(costs.weights);
  optimizer->setDataCost(costs.dataCosts.data());
  optimizer->setSmoothCost(smoothness);
  int energy = optimizer->compute_energy();
  result.energyBefore = energy;
  stages->energyBefore(energy);
  // The loop of expansion(kExpansionIterations), run here so that the energy
  // after each iteration can be reported: the same calls and the same rule
  // (stop once an iteration does not strictly lower the energy, keeping its
  // labeling), so the labels are exactly those of expansion.
  bool lowered = true;
  while (lowered && static_cast<int>(result.iterationEnergies.size()) < kExpansionIterations) {
    int next = optimizer->oneExpansionIteration();
    lowered = next < energy;
    energy = next;
    result.iterationEnergies.push_back(energy);
    stages->iterationDone(static_cast<int>(result.iterationEnergies.size()), energy);
  }
  result.energyAfter = optimizer->compute_energy();
  stages->energyAfter(result.energyAfter);
  result.labels.assign(neighbourhood.numVoxels(), 0.0f);
  for (long long p = 0; p < neighbourhood.numVoxels(); ++p) {
    const int site = neighbourhood.siteOf(p);
    if (site < 0) continue;
    const int label = optimizer->whatLabel(site);
    result.labels[p] = static_cast<float>(label);
    result.label1Sites += label;
  }
}

SegmentationResult segmentVolumes(SegmentationVolumes volumes, const EnergyWeights& weights,
                                  SegmentationObserver* observer) {
  SegmentationResult result;
  Stages stages(observer, result);
  Eigenvector principal =
      extractPrincipalEigenvector(volumes.sets[0], volumes.sets[1], volumes.sets[2]);
  for (Eigenvector& set : volumes.sets) set = Eigenvector();
  stages.done("principal component", "");

  const Image& shape = principal.eigenvalue;
  requireSegmentable(shape);
  const Neighbourhood neighbourhood = volumes.mask.data != nullptr
                                          ? Neighbourhood(shape, volumes.mask)
                                          : Neighbourhood(shape);
  volumes.mask = Image();
  SegmentationCosts costs =
      buildSegmentationCosts(principal, volumes.scalar, weights, neighbourhood);
  principal = Eigenvector();
  result.limit = limitSegmentationCosts(costs);
  stages->costsLimited(result.limit);
  result.favouringSites = sitesFavouringLabelOne(costs);
  if (result.favouringSites == 0) {
    result.dataFree = whyNoSiteFavoursLabelOne(volumes.scalar, neighbourhood, weights, result.limit);
    stages->noSiteFavoursLabelOne(result.dataFree);
  }
  volumes.scalar = Image();
  result.sites = costs.numSites();
  result.pairs = static_cast<long long>(costs.weights.size());
  char account[64];
  snprintf(account, sizeof account, "%d sites, %lld pairs", result.sites, result.pairs);
  stages.done("building the energy", account);

  optimise(std::move(costs), neighbourhood, stages, result);
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

SegmentationResult runSegmentation(SegmentationVolumes volumes, const EnergyWeights& weights,
                                   SegmentationObserver* observer) {
  Image shape = volumes.sets[0].eigenvalue;
  shape.data = nullptr;
  shape.storage.reset();
  const char* optimizerMessage = nullptr;
  try {
    return segmentVolumes(std::move(volumes), weights, observer);
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
