#include "app/fileread.h"

#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/costLimit.h"
#include "app/niiIO.h"
#include "app/preview.h"
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

Eigenvector getEigenvector(char const* eigenvalue, char const* vectors) {
  Eigenvector set = {getImage(eigenvalue), {}, {}, {}};
  try {
    niiIO reader(vectors, 3);
    const Image& value = set.eigenvalue;
    Image file = {nullptr, reader.dimX, reader.dimY, reader.dimZ, vectors};
    requireSameDimensions(value, file);
    Image* components[3] = {&set.x, &set.y, &set.z};
    int n = voxelCount(value);
    for (int c = 0; c < 3; ++c) {
      *components[c] = newImage(value.dimX, value.dimY, value.dimZ, vectors);
      memcpy(components[c]->data, reader.data + static_cast<size_t>(c) * n, sizeof(float) * n);
    }
  } catch (...) {
    releaseEigenvector(set);
    throw;
  }
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

const char* const kDefaultOutput = "test.nii";

enum OptionId {
  kOutput,
  kPreview,
  kTensorPrefix,
  kDataLambda,
  kSmoothFALambda,
  kSmoothPrincipalLambda,
  kSmoothOmnibusLambda,
  kVerbose,
  kVersion,
  kHelp
};

// The command's options; parsing and --help both read this table.
struct OptionDoc {
  OptionId id;
  const char* shortName;  // or null
  const char* longName;
  const char* value;  // name of the option's value, or null for a flag
  const char* help;   // lines after the first are indented under it
};
const OptionDoc kOptions[] = {
    {kOutput, "-o", "--output", "PATH",
     "write the labels to PATH instead of test.nii;\na PATH ending in .gz is written "
     "gzip-compressed"},
    {kPreview, nullptr, "--preview", "FILE.png",
     "also draw the middle axial, coronal and sagittal\nslices of the scalar volume with label 1 "
     "in red"},
    {kTensorPrefix, nullptr, "--tensor-prefix", "PREFIX",
     "read the seven files of a tensor fit (below)\ninstead of thirteen volumes"},
    {kDataLambda, nullptr, "--data-lambda", "X", "data weight: scales (S - l)^2"},
    {kSmoothFALambda, nullptr, "--smooth-fa-lambda", "X",
     "pair weight: scales 1/(sa + sb), strong at low S"},
    {kSmoothPrincipalLambda, nullptr, "--smooth-principal-lambda", "X",
     "pair weight: scales sa*sb*(a.b), the alignment"},
    {kSmoothOmnibusLambda, nullptr, "--smooth-omnibus-lambda", "X",
     "pair weight: scales (sa - sb)^2, the contrast"},
    {kVerbose, "-v", "--verbose", nullptr,
     "report each stage, its time and the energy after\neach iteration on standard error"},
    {kVersion, nullptr, "--version", nullptr, "print the version and exit"},
    {kHelp, "-h", "--help", nullptr, "print this help and exit"},
};

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
  fprintf(out, "usage: dticut [options]");
  for (const char* name : kVolumeNames) fprintf(out, " %s", name);
  fprintf(out,
          "\n       dticut [options] --tensor-prefix PREFIX\n\n"
          "Segments a diffusion-tensor volume into two labels by graph cuts: prints the\n"
          "energy before and after optimisation and writes the label of every voxel\n"
          "(0 or 1) to %s in the working directory, or to the --output path.\n\n"
          "volumes (NIfTI-1 .nii or .nii.gz; uint8, int16 or float32; all of one size):\n",
          kDefaultOutput);
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
  fprintf(out, "\ntensor prefix (each file PREFIX_NAME.nii.gz, or else PREFIX_NAME.nii):\n");
  for (int i = 0; i < kNumTensorFiles; ++i) {
    const char* name = kTensorFileNames[i];
    fprintf(out, "  PREFIX_%s  ", name);
    if (i == kNumTensorFiles - 1)
      fprintf(out, "scalar volume (fractional anisotropy)\n");
    else if (name[0] == 'L')
      fprintf(out, "eigenvalue volume of set %c%s\n", name[1],
              i == 0 ? "; its header is the output's template" : "");
    else
      fprintf(out, "eigenvector of set %c: 4-D, volumes 0, 1, 2 hold x, y, z\n", name[1]);
  }
  fprintf(out, "\noptions:\n");
  for (const OptionDoc& option : kOptions) {
    char names[48];
    snprintf(names, sizeof names, "%s%s %s %s", option.shortName ? option.shortName : "  ",
             option.shortName ? "," : " ", option.longName, option.value ? option.value : "");
    fprintf(out, "  %-31s ", names);
    for (const char* c = option.help; *c != '\0'; ++c) {
      if (*c == '\n')
        fprintf(out, "\n%34s", "");
      else
        fputc(*c, out);
    }
    fputc('\n', out);
  }
  fprintf(out,
          "\nenergy: the sum over the voxels of data*(S - l)^2 (S the scalar value, l the\n"
          "label) and, over neighbours with different labels, of the pair term\n"
          "(fa/(sa + sb) - principal*sa*sb*(a.b))^2 - omnibus*(sa - sb)^2 (a, b the\n"
          "eigenvalue-scaled principal directions), each truncated to an integer; data,\n"
          "fa, principal and omnibus are the four --*-lambda weights, each 1 by default.\n"
          "On an anisotropy map in [0, 1] a data weight of 1 truncates every data cost to\n"
          "0 and every voxel keeps label 0; raise it, e.g. --data-lambda 100.\n");
}

// The command line, once parsed.
struct Command {
  char* volumes[kNumVolumes];
  int count = 0;  // positional arguments seen, also beyond kNumVolumes
  const char* prefix = nullptr;
  const char* output = kDefaultOutput;
  const char* preview = nullptr;  // PNG path, or none
  bool verbose = false;
  EnergyWeights weights;
};

// Owners that release on every way out of the driver, thrown errors included.
struct VolumeOwner {
  Eigenvector sets[3] = {};
  Image scalar = {};
  Eigenvector principal = {};
  ~VolumeOwner() {
    releaseInputs();
    releasePrincipal();
    releaseScalar();
  }
  void releaseInputs() {
    for (Eigenvector& set : sets) {
      releaseEigenvector(set);
      set = Eigenvector();
    }
  }
  void releasePrincipal() {
    releaseEigenvector(principal);
    principal = Eigenvector();
  }
  void releaseScalar() {
    releaseImage(scalar);
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

// Where the volumes come from: the thirteen files in command-line order, or
// the seven files of a tensor prefix, whose names it owns.
struct InputFiles {
  const char* eigenvalues[3] = {};
  const char* components[3][3] = {};  // x, y, z files; thirteen-file form
  const char* vectors[3] = {};        // 4-D eigenvector files; prefix form
  const char* scalar = nullptr;
  char* owned[kNumTensorFiles] = {};
  int numFiles = 0;

  ~InputFiles() {
    for (char* name : owned) delete[] name;
  }

  void fromThirteen(char* const* paths) {
    for (int k = 0; k < 3; ++k) {
      eigenvalues[k] = paths[4 * k];
      for (int c = 0; c < 3; ++c) components[k][c] = paths[4 * k + 1 + c];
    }
    scalar = paths[12];
    numFiles = kNumVolumes;
  }

  // Resolves every file before any is read, so that a missing one is
  // reported at once.
  void fromPrefix(const char* prefix) {
    for (int i = 0; i < kNumTensorFiles; ++i) owned[i] = tensorFile(prefix, kTensorFileNames[i]);
    for (int k = 0; k < 3; ++k) {
      eigenvalues[k] = owned[2 * k];
      vectors[k] = owned[2 * k + 1];
    }
    scalar = owned[6];
    numFiles = kNumTensorFiles;
  }

  Eigenvector readSet(int k) const {
    if (vectors[k] != nullptr) return getEigenvector(eigenvalues[k], vectors[k]);
    return getEigenvector(eigenvalues[k], components[k][0], components[k][1], components[k][2]);
  }

  // PREFIX_NAME.nii.gz, or else PREFIX_NAME.nii; a name that exists but
  // cannot be opened is kept, so that reading it reports why.
  static char* tensorFile(const char* prefix, const char* name) {
    size_t length = strlen(prefix) + strlen(name) + sizeof "_.nii.gz";
    char* path = new char[length];
    const char* const extensions[] = {".nii.gz", ".nii"};
    for (const char* extension : extensions) {
      snprintf(path, length, "%s_%s%s", prefix, name, extension);
      if (access(path, F_OK) == 0 || errno != ENOENT) return path;
    }
    snprintf(path, length, "%s_%s", prefix, name);
    NiftiError missing(path, "neither %s.nii.gz nor %s.nii exists", path, path);
    delete[] path;
    throw missing;
  }
};

// One line per stage on standard error when verbose: what the stage did and
// the time since the previous line.
class StageLog {
 public:
  explicit StageLog(bool verbose) : m_verbose(verbose), m_last(std::chrono::steady_clock::now()) {}

  void report(const char* stage, const char* format, ...) __attribute__((format(printf, 3, 4))) {
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(now - m_last).count();
    m_last = now;
    if (!m_verbose) return;
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "dticut: %s: %s%s%.3f s\n", stage, text, text[0] != '\0' ? ", " : "", seconds);
  }

 private:
  bool m_verbose;
  std::chrono::steady_clock::time_point m_last;
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

// Reads the volumes, segments them and writes the labels to `output`
// through the first eigenvalue volume's header.
void segmentVolumes(const InputFiles& files, const Command& command) {
  StageLog log(command.verbose);
  VolumeOwner volumes;
  volumes.sets[0] = files.readSet(0);
  const Image& first = volumes.sets[0].eigenvalue;
  requireSegmentable(first);
  for (int k = 1; k < 3; ++k) {
    volumes.sets[k] = files.readSet(k);
    requireSameDimensions(first, volumes.sets[k].eigenvalue);
  }
  volumes.scalar = getImage(files.scalar);
  requireSameDimensions(first, volumes.scalar);
  Image shape = first;
  shape.data = nullptr;
  log.report("reading", "%d files of %d x %d x %d voxels", files.numFiles, shape.dimX, shape.dimY,
             shape.dimZ);

  volumes.principal =
      extractPrincipalEigenvector(volumes.sets[0], volumes.sets[1], volumes.sets[2]);
  volumes.releaseInputs();
  log.report("principal component", "%s", "");

  CostOwner costs;
  costs.costs = buildSegmentationCosts(volumes.principal, volumes.scalar, command.weights);
  // The costs are all the optimizer needs; the scalar volume stays only
  // for the picture.
  volumes.releasePrincipal();
  if (command.preview == nullptr) volumes.releaseScalar();
  reportLimit(limitCosts(costs.costs.dataCosts, costs.costs.numSites, 2, costs.costs.weights,
                         costs.costs.numPairs));
  log.report("building the energy", "%d sites, %lld pairs", costs.costs.numSites,
             costs.costs.numPairs);

  LabelOwner labels;
  labels.labels = new float[costs.costs.numSites];
  ExpansionTrace trace;
  segment(costs.costs, shape, labels.labels, &trace);
  // Energies that never reached their destination (a full disk, a closed
  // pipe) are a failed run: it is reported before the output is replaced.
  if (fflush(stdout) != 0 || ferror(stdout))
    throw NiftiError("standard output", "write failed: %s", strerror(errno));
  char energies[kExpansionIterations * 48] = "";
  for (int i = 0; i < trace.iterations; ++i)
    snprintf(energies + strlen(energies), sizeof energies - strlen(energies),
             "%senergy %d after iteration %d", i > 0 ? ", " : "", trace.energies[i], i + 1);
  log.report("optimisation", "%s", energies);

  niiIO templ(files.eigenvalues[0]);
  templ.writeData(labels.labels, costs.costs.numSites, command.output);
  log.report("writing", "%s", command.output);
  if (command.preview != nullptr) {
    writePreview(command.preview, volumes.scalar, labels.labels);
    log.report("preview", "%s", command.preview);
  }
}

// The option `arg` names, exactly or as "--name=value" (then *inlineValue
// points at the value); null when none does.
const OptionDoc* findOption(const char* arg, const char** inlineValue) {
  *inlineValue = nullptr;
  for (const OptionDoc& option : kOptions) {
    if ((option.shortName != nullptr && strcmp(arg, option.shortName) == 0) ||
        strcmp(arg, option.longName) == 0)
      return &option;
    size_t length = strlen(option.longName);
    if (strncmp(arg, option.longName, length) == 0 && arg[length] == '=') {
      *inlineValue = arg + length + 1;
      return &option;
    }
  }
  return nullptr;
}

int usageError(const char* format, ...) __attribute__((format(printf, 1, 2)));
int usageError(const char* format, ...) {
  fprintf(stderr, "dticut: error: ");
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fprintf(stderr, "\n\n");
  printUsage(stderr);
  return 2;
}

// The weight an option sets.
float* weightOf(EnergyWeights& weights, OptionId id) {
  switch (id) {
    case kDataLambda:
      return &weights.data;
    case kSmoothFALambda:
      return &weights.smoothFA;
    case kSmoothPrincipalLambda:
      return &weights.smoothPrincipal;
    default:
      return &weights.smoothOmnibus;
  }
}

// A weight is a finite single-precision number written in full; values
// beyond float's range (which would become infinite or lose every digit)
// are refused rather than silently changed.
bool parseWeight(const char* text, float* weight) {
  char* end;
  errno = 0;
  float value = strtof(text, &end);
  if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(value)) return false;
  *weight = value;
  return true;
}

// Fills `command` from the arguments; returns -1 to go on, otherwise the
// exit status (help, version, usage error).
int parseCommand(int argc, char** argv, Command& command) {
  bool positionalOnly = false;
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    if (positionalOnly || arg[0] != '-' || arg[1] == '\0') {
      if (command.count < kNumVolumes) command.volumes[command.count] = arg;
      ++command.count;
      continue;
    }
    if (strcmp(arg, "--") == 0) {
      positionalOnly = true;
      continue;
    }
    const char* value;
    const OptionDoc* option = findOption(arg, &value);
    if (option == nullptr) return usageError("unknown option %s", arg);
    if (option->value == nullptr && value != nullptr)
      return usageError("%s takes no value", option->longName);
    if (option->value != nullptr && value == nullptr) {
      if (i + 1 == argc) return usageError("%s needs a value", arg);
      value = argv[++i];
    }
    switch (option->id) {
      case kHelp:
        printUsage(stdout);
        return 0;
      case kVersion:
        printf("dticut %s\n", DTICUT_VERSION);
        return 0;
      case kVerbose:
        command.verbose = true;
        break;
      case kOutput:
      case kPreview:
        if (value[0] == '\0') return usageError("%s needs a non-empty path", arg);
        (option->id == kOutput ? command.output : command.preview) = value;
        break;
      case kTensorPrefix:
        command.prefix = value;
        break;
      case kDataLambda:
      case kSmoothFALambda:
      case kSmoothPrincipalLambda:
      case kSmoothOmnibusLambda:
        if (!parseWeight(value, weightOf(command.weights, option->id)))
          return usageError("%s needs a finite single-precision number, got '%s'",
                            option->longName, value);
        break;
    }
  }
  if (command.prefix != nullptr && command.count > 0)
    return usageError("--tensor-prefix reads its own files, but volumes were given too: %s",
                      command.volumes[0]);
  if (command.prefix == nullptr && command.count != kNumVolumes) {
    fprintf(stderr, "dticut: error: expected %d volumes, got %d\n\n", kNumVolumes, command.count);
    printUsage(stderr);
    return 2;
  }
  return -1;
}

}  // namespace

const char* const kVolumeNames[kNumVolumes] = {"L1",  "V1x", "V1y", "V1z", "L2",  "V2x",   "V2y",
                                               "V2z", "L3",  "V3x", "V3y", "V3z", "SCALAR"};
const char* const kTensorFileNames[kNumTensorFiles] = {"L1", "V1", "L2", "V2", "L3", "V3", "FA"};

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

SegmentationCosts buildSegmentationCosts(Eigenvector principal, Image scalar,
                                         const EnergyWeights& weights) {
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
        costs.dataCosts[2 * p] = floatToInt(dataCostFor(s[p], 0, weights));
        costs.dataCosts[2 * p + 1] = floatToInt(dataCostFor(s[p], 1, weights));
        vp = vectorAt(p, principal);
      },
      [&](int p, int q) {
        costs.weights[k++] =
            floatToInt(smoothCostFor(vectorAt(q, principal), s[q], vp, s[p], weights));
      });
  return costs;
}

void releaseSegmentationCosts(SegmentationCosts costs) {
  delete[] costs.dataCosts;
  delete[] costs.weights;
}

void segment(const SegmentationCosts& costs, const Image& shape, float* labels,
             ExpansionTrace* trace) {
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
  int energy = optimizer.compute_energy();
  printf("Before optimization energy is :\t%d\n", energy);
  // The loop of expansion(kExpansionIterations), run here so that the energy
  // after each iteration can be reported: the same calls and the same rule
  // (stop once an iteration does not strictly lower the energy, keeping its
  // labeling), so the labels are exactly those of expansion.
  trace->iterations = 0;
  bool lowered = true;
  while (lowered && trace->iterations < kExpansionIterations) {
    int next = optimizer.oneExpansionIteration();
    lowered = next < energy;
    energy = next;
    trace->energies[trace->iterations++] = energy;
  }
  printf("After optimization energy is :\t%d\n", optimizer.compute_energy());
  for (int p = 0; p < costs.numSites; ++p) labels[p] = static_cast<float>(optimizer.whatLabel(p));
}

int runDticut(int argc, char** argv) {
  Command command;
  int status = parseCommand(argc, argv, command);
  if (status >= 0) return status;
  try {
    InputFiles files;
    if (command.prefix != nullptr)
      files.fromPrefix(command.prefix);
    else
      files.fromThirteen(command.volumes);
    segmentVolumes(files, command);
  } catch (const NiftiError& error) {
    reportNiftiError(error);
  } catch (GCException error) {
    error.Report();
  }
  return 0;
}
