#include "app/fileread.h"

#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>

#include "app/costLimit.h"
#include "app/niiIO.h"
#include "optimizer/GCoptimization.h"

namespace {

int voxelCount(const Image& image) {
  return image.dimX * image.dimY * image.dimZ;
}

Image newImage(int dimX, int dimY, int dimZ, const char* name) {
  assert(dimX >= 0 && dimY >= 0 && dimZ >= 0);
  assert(static_cast<long long>(dimX) * dimY * dimZ <= INT_MAX);
  Image image = {new float[static_cast<long long>(dimX) * dimY * dimZ], dimX, dimY, dimZ, name};
  return image;
}

void requireSameDimensions(const Image& reference, const Eigenvector& set) {
  requireSameDimensions(reference, set.eigenvalue);
  requireSameDimensions(reference, set.x);
  requireSameDimensions(reference, set.y);
  requireSameDimensions(reference, set.z);
}

}  // namespace

Image getImage(char const* path) {
  niiIO reader(path);
  Image image = {reader.data, reader.dimX, reader.dimY, reader.dimZ, path};
  reader.data = nullptr;  // the record takes the voxel array over
  return image;
}

Eigenvector getEigenvector(char const* eigenvalue, char const* x, char const* y, char const* z) {
  const char* paths[4] = {eigenvalue, x, y, z};
  Image images[4] = {};
  int loaded = 0;
  try {
    for (; loaded < 4; ++loaded) {
      images[loaded] = getImage(paths[loaded]);
      requireSameDimensions(images[0], images[loaded]);
    }
  } catch (...) {
    for (int i = 0; i <= loaded && i < 4; ++i) releaseImage(images[i]);
    throw;
  }
  Eigenvector set = {images[0], images[1], images[2], images[3]};
  return set;
}

Eigenvector newEigenvector(int dimX, int dimY, int dimZ) {
  Eigenvector set = {
      newImage(dimX, dimY, dimZ, "eigenvalue"), newImage(dimX, dimY, dimZ, "eigenvector_x"),
      newImage(dimX, dimY, dimZ, "eigenvector_y"), newImage(dimX, dimY, dimZ, "eigenvector_z")};
  return set;
}

void releaseImage(Image image) {
  delete[] image.data;
}

void releaseEigenvector(Eigenvector set) {
  releaseImage(set.eigenvalue);
  releaseImage(set.x);
  releaseImage(set.y);
  releaseImage(set.z);
}

void requireSameDimensions(const Image& reference, const Image& other) {
  if (other.dimX != reference.dimX || other.dimY != reference.dimY || other.dimZ != reference.dimZ)
    throw NiftiError(other.name, "dimensions %d x %d x %d differ from the %d x %d x %d of %s",
                     other.dimX, other.dimY, other.dimZ, reference.dimX, reference.dimY,
                     reference.dimZ, reference.name);
}

Eigenvector largerOf(Eigenvector a, Eigenvector b) {
  const Image& shape = a.eigenvalue;
  requireSameDimensions(shape, a);
  requireSameDimensions(shape, b);
  Eigenvector result = newEigenvector(shape.dimX, shape.dimY, shape.dimZ);
  for (int z = 0; z < shape.dimZ; ++z) {
    for (int y = 0; y < shape.dimY; ++y) {
      for (int x = 0; x < shape.dimX; ++x) {
        int i = indexOf(x, y, z, shape);
        // A NaN on either side fails the comparison and selects b.
        const Eigenvector& from = a.eigenvalue.data[i] >= b.eigenvalue.data[i] ? a : b;
        result.eigenvalue.data[i] = from.eigenvalue.data[i];
        result.x.data[i] = from.x.data[i];
        result.y.data[i] = from.y.data[i];
        result.z.data[i] = from.z.data[i];
      }
    }
  }
  return result;
}

Eigenvector extractPrincipalEigenvector(Eigenvector first, Eigenvector second, Eigenvector third) {
  Eigenvector firstTwo = largerOf(first, second);
  Eigenvector result;
  try {
    result = largerOf(firstTwo, third);
  } catch (...) {
    releaseEigenvector(firstTwo);
    throw;
  }
  releaseEigenvector(firstTwo);
  return result;
}

int indexOf(int x, int y, int z, Image image) {
  return z * image.dimX * image.dimY + y * image.dimX + x;
}

Vector vectorAt(int i, Eigenvector set) {
  float e = set.eigenvalue.data[i];
  Vector v = {e * set.x.data[i], e * set.y.data[i], e * set.z.data[i]};
  return v;
}

float dot(Vector a, Vector b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

void summarize(Image image) {
  float minimum = 1000000.0f;
  float maximum = -1000000.0f;
  double sum = 0.0;
  int count = 0;
  int n = voxelCount(image);
  for (int i = 0; i < n; ++i) {
    float v = image.data[i];
    if (v < minimum) minimum = v;
    if (v > maximum) maximum = v;
    if (v > 0) {
      sum += v;
      ++count;
    }
  }
  float mean = static_cast<float>(sum / count);
  printf("Properties for %s\n", image.name);
  printf("%20s :\t%d %d %d\n", "Dimensions", image.dimX, image.dimY, image.dimZ);
  printf("%20s :\t%0.15f\n", "Minimum", minimum);
  printf("%20s :\t%0.15f\n", "Maximum", maximum);
  printf("%20s :\t%0.15f\n", "Non-zero Mean", mean);
}

void summarize(Eigenvector set) {
  summarize(set.eigenvalue);
  summarize(set.x);
  summarize(set.y);
  summarize(set.z);
}

// ---------------------------------------------------------------------------
// Segmentation driver

namespace {

// Weights of the energy's terms; compile-time constants of the tool.
const float DATA_LAMBDA = 1.0f;
const float SMOOTH_FA_LAMBDA = 1.0f;
const float SMOOTH_PRINCIPAL_LAMBDA = 1.0f;
const float SMOOTH_OMNIBUS_LAMBDA = 1.0f;

const char* const kOutputPath = "test.nii";

struct OptionDoc {
  const char* shortName;
  const char* longName;
  const char* help;
};
const OptionDoc kOptions[] = {{"-h", "--help", "print this help and exit"}};

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

void printUsage(FILE* out) {
  fprintf(out, "usage: dticut [-h]");
  for (const char* name : kVolumeNames) fprintf(out, " %s", name);
  fprintf(out,
          "\n\nSegments a diffusion-tensor volume into two labels by graph cuts: prints the\n"
          "energy before and after optimisation and writes the label of every voxel\n"
          "(0 or 1) to %s in the working directory.\n\n"
          "volumes (NIfTI-1 .nii files, uint8, int16 or float32, all of one size):\n",
          kOutputPath);
  for (int i = 0; i < kNumVolumes; ++i) {
    int set = i / 4 + 1;
    fprintf(out, "  %-7s ", kVolumeNames[i]);
    if (i == kNumVolumes - 1)
      fprintf(out, "scalar volume, e.g. fractional anisotropy in [0, 1]\n");
    else if (i % 4 == 0)
      fprintf(out, "eigenvalue volume of eigen-component set %d%s\n", set,
              i == 0 ? "; its header is the output's template" : "");
    else
      fprintf(out, "%c component of the eigenvector of set %d\n", "xyz"[i % 4 - 1], set);
  }
  fprintf(out, "\noptions:\n");
  for (const OptionDoc& option : kOptions)
    fprintf(out, "  %s, %-8s %s\n", option.shortName, option.longName, option.help);
}

// Owners that release on every way out of the driver, thrown errors included.
struct VolumeOwner {
  Eigenvector sets[3] = {};
  Image scalar = {};
  Eigenvector principal = {};
  ~VolumeOwner() {
    releaseInputs();
    releaseSelection();
  }
  void releaseInputs() {
    for (Eigenvector& set : sets) {
      releaseEigenvector(set);
      set = Eigenvector();
    }
  }
  void releaseSelection() {
    releaseEigenvector(principal);
    releaseImage(scalar);
    principal = Eigenvector();
    scalar = Image();
  }
};

struct CostOwner {
  SegmentationCosts costs = {};
  ~CostOwner() { releaseSegmentationCosts(costs); }
};

struct OptimizerOwner {
  GCoptimizationGeneralGraph* optimizer;
  ~OptimizerOwner() { delete optimizer; }
};

struct LabelOwner {
  float* labels = nullptr;
  ~LabelOwner() { delete[] labels; }
};

void reportLimit(const CostLimit& limit) {
  if (limit.changedWeights == 0 && limit.changedDataCosts == 0) return;
  fprintf(stderr,
          "dticut: limited %lld pair weights and %lld data costs to keep the energy within "
          "32 bits (negative and NaN values to 0, ",
          limit.changedWeights, limit.changedDataCosts);
  if (limit.cap >= 0)
    fprintf(stderr, "larger values capped at %d)\n", limit.cap);
  else
    fprintf(stderr, "no cap needed)\n");
}

// Reads the thirteen volumes, segments them and writes the labels to
// `output` through the first volume's header.
void segmentVolumes(char* const* paths, const char* output) {
  VolumeOwner volumes;
  volumes.sets[0] = getEigenvector(paths[0], paths[1], paths[2], paths[3]);
  const Image& first = volumes.sets[0].eigenvalue;
  requireSegmentable(first);
  for (int k = 1; k < 3; ++k) {
    volumes.sets[k] =
        getEigenvector(paths[4 * k], paths[4 * k + 1], paths[4 * k + 2], paths[4 * k + 3]);
    requireSameDimensions(first, volumes.sets[k].eigenvalue);
  }
  volumes.scalar = getImage(paths[12]);
  requireSameDimensions(first, volumes.scalar);
  Image shape = first;
  shape.data = nullptr;
  volumes.principal =
      extractPrincipalEigenvector(volumes.sets[0], volumes.sets[1], volumes.sets[2]);
  volumes.releaseInputs();

  CostOwner costs;
  costs.costs = buildSegmentationCosts(volumes.principal, volumes.scalar);
  volumes.releaseSelection();  // the costs are all the optimizer needs
  reportLimit(limitCosts(costs.costs.dataCosts, costs.costs.numSites, 2, costs.costs.weights,
                         costs.costs.numPairs));

  LabelOwner labels;
  labels.labels = new float[costs.costs.numSites];
  segment(costs.costs, shape, labels.labels);
  fflush(stdout);

  niiIO templ(paths[0]);
  templ.writeData(labels.labels, costs.costs.numSites, output);
}

}  // namespace

const char* const kVolumeNames[kNumVolumes] = {"L1",  "V1x", "V1y", "V1z", "L2",  "V2x",   "V2y",
                                               "V2z", "L3",  "V3x", "V3y", "V3z", "SCALAR"};

float dataCostFor(float s, int l) {
  float d = s - static_cast<float>(l);
  return d * (d * DATA_LAMBDA);
}

float smoothCostFor(Vector a, float sa, Vector b, float sb) {
  float r = 1.0f / (sa + sb);
  float d = sa - sb;
  float k = sb * (sa * SMOOTH_PRINCIPAL_LAMBDA);
  float t = r * SMOOTH_FA_LAMBDA - k * dot(a, b);
  return t * t - d * (d * SMOOTH_OMNIBUS_LAMBDA);
}

long long countNeighborPairs(int dimX, int dimY, int dimZ) {
  long long x = dimX, y = dimY, z = dimZ;
  return (x - 1) * y * z + x * (y - 1) * z + x * y * (z - 1);
}

void requireSegmentable(const Image& volume) {
  long long sites = static_cast<long long>(volume.dimX) * volume.dimY * volume.dimZ;
  if (sites < 2)
    throw NiftiError(volume.name,
                     "has %lld voxel%s (%d x %d x %d), the segmentation needs at "
                     "least 2",
                     sites, sites == 1 ? "" : "s", volume.dimX, volume.dimY, volume.dimZ);
  long long pairs = countNeighborPairs(volume.dimX, volume.dimY, volume.dimZ);
  if (2 * sites > INT_MAX || pairs > INT_MAX)
    throw NiftiError(volume.name,
                     "%d x %d x %d voxels make %lld data costs and %lld neighbour "
                     "pairs, more than the optimizer's limit of %d",
                     volume.dimX, volume.dimY, volume.dimZ, 2 * sites, pairs, INT_MAX);
}

SegmentationCosts buildSegmentationCosts(Eigenvector principal, Image scalar) {
  const Image& shape = principal.eigenvalue;
  requireSameDimensions(shape, principal);
  requireSameDimensions(shape, scalar);
  requireSegmentable(shape);
  SegmentationCosts costs = {nullptr, nullptr, voxelCount(shape),
                             countNeighborPairs(shape.dimX, shape.dimY, shape.dimZ)};
  costs.dataCosts = new int[2 * costs.numSites];
  costs.weights = new int[costs.numPairs];
  const float* s = scalar.data;
  Vector vp = {0, 0, 0};
  long long k = 0;
  visitVoxels(
      shape.dimX, shape.dimY, shape.dimZ,
      [&](int p) {
        costs.dataCosts[2 * p] = floatToInt(dataCostFor(s[p], 0));
        costs.dataCosts[2 * p + 1] = floatToInt(dataCostFor(s[p], 1));
        vp = vectorAt(p, principal);
      },
      [&](int p, int q) {
        costs.weights[k++] = floatToInt(smoothCostFor(vectorAt(q, principal), s[q], vp, s[p]));
      });
  return costs;
}

void releaseSegmentationCosts(SegmentationCosts costs) {
  delete[] costs.dataCosts;
  delete[] costs.weights;
}

void segment(const SegmentationCosts& costs, const Image& shape, float* labels) {
  assert(costs.numSites == voxelCount(shape));
  // Declared before the optimizer, so that it outlives it.
  int smoothness[4] = {0, 1, 1, 0};
  OptimizerOwner owner = {new GCoptimizationGeneralGraph(costs.numSites, 2)};
  GCoptimizationGeneralGraph& optimizer = *owner.optimizer;
  long long k = 0;
  visitVoxels(
      shape.dimX, shape.dimY, shape.dimZ, [](int) {},
      [&](int p, int q) { optimizer.setNeighbors(p, q, costs.weights[k++]); });
  optimizer.setDataCost(costs.dataCosts);
  optimizer.setSmoothCost(smoothness);
  printf("Before optimization energy is :\t%d\n", optimizer.compute_energy());
  optimizer.expansion(2);
  printf("After optimization energy is :\t%d\n", optimizer.compute_energy());
  for (int p = 0; p < costs.numSites; ++p) labels[p] = static_cast<float>(optimizer.whatLabel(p));
}

int runDticut(int argc, char** argv) {
  char* volumes[kNumVolumes];
  int count = 0;
  bool positionalOnly = false;
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    if (positionalOnly || arg[0] != '-' || arg[1] == '\0') {
      if (count < kNumVolumes) volumes[count] = arg;
      ++count;
    } else if (strcmp(arg, "--") == 0) {
      positionalOnly = true;
    } else if (strcmp(arg, kOptions[0].shortName) == 0 || strcmp(arg, kOptions[0].longName) == 0) {
      printUsage(stdout);
      return 0;
    } else {
      fprintf(stderr, "dticut: error: unknown option %s\n\n", arg);
      printUsage(stderr);
      return 2;
    }
  }
  if (count != kNumVolumes) {
    fprintf(stderr, "dticut: error: expected %d volumes, got %d\n\n", kNumVolumes, count);
    printUsage(stderr);
    return 2;
  }
  try {
    segmentVolumes(volumes, kOutputPath);
  } catch (const NiftiError& error) {
    reportNiftiError(error);
  } catch (GCException error) {
    error.Report();
  }
  return 0;
}
