// The whole segmentation of loaded volumes, from the tensor fit to labels:
// the principal component, the neighbourhood (with the mask), the costs,
// their limiting, the data-free check, alpha-expansion and the labels.
//
// The command, the Python package and the benchmarks all run it; they
// differ only in how they get the volumes and what they do with the result.
// runSegmentation takes the volumes over and frees each as soon as nothing
// needs it (the three sets once the principal component is made, that and
// the mask once the costs are built), so the peak is the costs and the
// optimizer's own memory: the optimizer's 3-D grid reads the costs in place. A caller that keeps a
// copy of a record (the scalar volume, for a picture) keeps its array alive.
// While it runs, an observer hears of each stage as it ends, in a fixed
// order (below), so that a caller can report progress as it happens.
#ifndef DTICUT_APP_SEGMENTATION_PIPELINE_H
#define DTICUT_APP_SEGMENTATION_PIPELINE_H

#include <cstddef>
#include <exception>
#include <string>
#include <vector>

#include "app/segmentation/costLimit.h"
#include "app/segmentation/energyWeights.h"
#include "app/segmentation/segmentation.h"
#include "app/segmentation/tensorEnergy.h"
#include "app/segmentation/volume.h"

// Everything a segmentation reads.
struct SegmentationVolumes {
  // For the scalar energy sets[1] and sets[2] may be empty, already folded
  // into sets[0] (foldPrincipalSets); the tensor energy reads all three.
  Eigenvector sets[3];
  Image scalar;
  Image mask;   // without voxels (data null) when every voxel is a site
  Image seeds;  // the tensor energy's seeds, or without voxels
};

// The most expansion iterations a segmentation runs: it stops earlier once
// an iteration does not lower the energy.
const int kExpansionIterations = 2;

// One stage and its time.
struct StageTime {
  // "principal component" (scalar energy) or "tensor map" (tensor energy),
  // "building the energy", "optimisation"
  const char* name;
  double seconds;
};

// What a run found, beside its labels.
struct SegmentationResult {
  EnergyModel energy = EnergyModel::kScalar;
  std::vector<float> labels;  // per voxel 0.0 or 1.0, in voxel order; 0.0 outside the mask
  int sites = 0;              // voxels in the problem: all, or those inside the mask
  long long pairs = 0;        // neighbour pairs of two sites
  long long label1Sites = 0;  // sites whose label is 1
  int energyBefore = 0;       // of the all-0 labelling
  std::vector<int> iterationEnergies;  // after each iteration run, 1 or 2 of them
  int energyAfter = 0;                 // of the result
  CostLimit limit = {0, 0, -1};        // what keeping the costs within 32 bits changed
  long long favouringSites = 0;        // sites whose data cost is lower for label 1
  // When favouringSites is 0 the result is all 0 whatever the data; why.
  DataFreeFacts dataFree = {DataFreeCause::kNoScalarAboveHalf, 0.0f, 0.0f, -1, false};
  std::vector<StageTime> stages;       // in the order run
  TensorFacts tensor;                  // the tensor energy's, when it ran
};

// Hears of a run as it goes, in this order: stageDone("principal
// component") or, for the tensor energy, warning (about seeds) and
// stageDone("tensor map"), costsLimited, noSiteFavoursLabelOne (only when no site
// does), stageDone("building the energy"), energyBefore, iterationDone for
// each iteration, energyAfter, emptyResult (only when some site favours
// label 1 but none has it), stageDone("optimisation"). An observer may
// throw AppError to end the run.
//
// interruptRequested is asked besides: every few ten thousand voxels of the
// passes that build the costs, every 65536 pairs declared, before each
// move, every few thousand sites of its building and steps of its max-flow
// search (a caller that takes Ctrl-C
// answers from a flag); true stops the run, which then throws
// SegmentationInterrupted.
class SegmentationObserver {
 public:
  virtual bool interruptRequested() { return false; }
  // `account` says what the stage made ("1146880 sites, 3406336 pairs"), or
  // is empty.
  virtual void stageDone(const char* /*stage*/, const char* /*account*/, double /*seconds*/) {}
  virtual void costsLimited(const CostLimit&) {}
  // Something the caller should pass on to the user as a warning (seeds
  // that fall outside the problem): said as soon as it is known.
  virtual void warning(const std::string& /*text*/) {}
  virtual void noSiteFavoursLabelOne(const DataFreeFacts&) {}
  virtual void energyBefore(int) {}
  // Iteration `iteration` (from 1) ended with `energy`.
  virtual void iterationDone(int /*iteration*/, int /*energy*/) {}
  virtual void energyAfter(int) {}
  // The result has no site in label 1 although `favouring` sites' data
  // costs favour it.
  virtual void emptyResult(long long /*favouring*/) {}

 protected:
  ~SegmentationObserver() = default;
};

// What runSegmentation throws when its observer asked it to stop.
struct SegmentationInterrupted : std::exception {
  const char* what() const noexcept override { return "segmentation interrupted"; }
};

// Runs the segmentation with `energy`; `observer` may be null. Throws
// AppError for volumes the segmentation cannot take (sizes, fewer than two
// sites, seeds that are not 0, 1, 2 or lack a label) and for running out of
// memory: a failed allocation and the
// optimizer's own "Not enough memory" both become "out of memory:
// segmenting X x Y x Z voxels needs about N MB" (the optimizer's message
// kept as the error's optimizerMessage). Only the max-flow engine's own
// fatal exit escapes, as it always ends the process.
SegmentationResult runSegmentation(SegmentationVolumes volumes, EnergyModel energy,
                                   const EnergyWeights& weights, SegmentationObserver* observer);

// "segmenting X x Y x Z voxels needs about N MB": what a run of that size
// needs at its peak, for messages about running out of memory.
void describeSegmentationNeeds(const Image& shape, char* text, std::size_t size);

#endif  // DTICUT_APP_SEGMENTATION_PIPELINE_H
