// The dticut command: its options table, the usage text generated from it
// and from the input forms, and the run that reads the volumes, segments
// them and writes the labels. Exit status: 0 done (also help and version),
// 1 an input, output or optimizer error, 2 a usage error.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "app/atomicFile.h"
#include "app/costLimit.h"
#include "app/error.h"
#include "app/inputForms.h"
#include "app/preview.h"
#include "app/segmentation.h"
#include "app/volume.h"
#include "optimizer/GCoptimization.h"

namespace {

const char* const kDefaultOutput = "test.nii";

enum OptionId {
  kOutput,
  kPreview,
  kTensorPrefix,
  kEvals,
  kEvecs,
  kScalar,
  kMask,
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
     "in red\n(at most 4096 pixels a side: a longer volume shows\nevery n-th voxel)"},
    {kTensorPrefix, nullptr, "--tensor-prefix", "PREFIX",
     "read the seven files of a tensor fit (above)\ninstead of thirteen volumes"},
    {kEvals, nullptr, "--evals", "FILE", "the dipy form's eigenvalues (above)"},
    {kEvecs, nullptr, "--evecs", "FILE", "the dipy form's eigenvectors (above)"},
    {kScalar, nullptr, "--scalar", "FILE", "the dipy form's scalar volume (above)"},
    {kMask, nullptr, "--mask", "FILE",
     "segment only the voxels where FILE (3-D, of the\nvolumes' size) is non-zero and not NaN; the\n"
     "others get label 0"},
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

// Prints `text` from the current column `indent`; its further lines start
// at that column too.
void printIndented(FILE* out, const char* text, int indent) {
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '\n')
      fprintf(out, "\n%*s", indent, "");
    else
      fputc(*c, out);
  }
  fputc('\n', out);
}

void printUsage(FILE* out) {
  fprintf(out, "usage: dticut [options]");
  for (const InputVolume& volume : kThirteenFileForm) fprintf(out, " %s", volume.name);
  fprintf(out,
          "\n       dticut [options] --tensor-prefix PREFIX\n"
          "       dticut [options] --evals FILE --evecs FILE --scalar FILE\n\n"
          "Segments a diffusion-tensor volume into two labels by graph cuts: prints the\n"
          "energy before and after optimisation and writes the label of every voxel\n"
          "(0 or 1) to %s in the working directory, or to the --output path.\n\n"
          "volumes (NIfTI-1 or NIfTI-2, .nii or .nii.gz; any real voxel type, scaled by\n"
          "scl_slope and scl_inter when set; all of one size):\n",
          kDefaultOutput);
  for (const InputVolume& volume : kThirteenFileForm)
    fprintf(out, "  %-7s %s\n", volume.name, volume.description);
  fprintf(out, "\ntensor prefix (each file PREFIX_NAME.nii.gz, or else PREFIX_NAME.nii):\n");
  for (const InputVolume& volume : kTensorPrefixForm)
    fprintf(out, "  PREFIX_%s  %s\n", volume.name, volume.description);
  fprintf(out, "\ndipy form (the files dipy's tensor fit writes):\n");
  for (const InputVolume& volume : kDipyForm) {
    char option[24];
    snprintf(option, sizeof option, "--%s FILE", volume.name);
    fprintf(out, "  %-15s ", option);
    printIndented(out, volume.description, 18);
  }
  fprintf(out, "\noptions:\n");
  for (const OptionDoc& option : kOptions) {
    char names[48];
    snprintf(names, sizeof names, "%s%s %s %s", option.shortName ? option.shortName : "  ",
             option.shortName ? "," : " ", option.longName, option.value ? option.value : "");
    fprintf(out, "  %-31s ", names);
    printIndented(out, option.help, 34);
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
  std::vector<char*> volumes;  // positional arguments
  const char* prefix = nullptr;
  const char* dipy[kNumDipyFiles] = {};  // --evals, --evecs, --scalar
  const char* mask = nullptr;
  const char* output = kDefaultOutput;
  const char* preview = nullptr;  // PNG path, or none
  bool verbose = false;
  EnergyWeights weights;
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

// Running out of memory. The app's own allocations throw std::bad_alloc,
// which main reports; the optimizer and its engine end the process
// themselves (status 1, with their own message on standard output, or none),
// so while they run the line that says why is armed for the exit. Either way
// the line names the volume's size and about what a run of that size needs.
const long long kPeakBytesPerVoxel = 280;  // measured peak of a run, rounded up
char g_needs[160] = "the run needs more than this process may allocate";
bool g_optimising = false;

void describeNeeds(const Image& shape) {
  const long long voxels = static_cast<long long>(shape.dimX) * shape.dimY * shape.dimZ;
  snprintf(g_needs, sizeof g_needs, "segmenting %d x %d x %d voxels needs about %lld MB",
           shape.dimX, shape.dimY, shape.dimZ, (voxels * kPeakBytesPerVoxel >> 20) + 1);
}

AppError outOfMemory() {
  return AppError("out of memory", "%s", g_needs);
}

void reportOutOfMemoryAtExit() {
  if (!g_optimising) return;
  g_optimising = false;
  printError(outOfMemory());
}

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

// Refuses, before anything is read, an output that could not be written or
// would destroy an input: an existing path that is not a regular file (a
// device, a FIFO, a folder), one that is an input file (also through
// another name or a link), and one whose folder does not take a new file
// (found by creating and removing a temporary there, as writing will).
void requireOutputWritable(const char* output, const InputFiles& files) {
  struct stat target;
  if (stat(output, &target) == 0) {
    if (!S_ISREG(target.st_mode))
      throw AppError(output, "exists and is not a regular file (%s); expected a regular file or "
                             "a new name",
                     S_ISDIR(target.st_mode)    ? "a folder"
                     : S_ISFIFO(target.st_mode) ? "a FIFO"
                     : S_ISSOCK(target.st_mode) ? "a socket"
                                                : "a device");
    std::vector<std::string> inputs = files.paths;
    if (!files.mask.empty()) inputs.push_back(files.mask);
    for (const std::string& input : inputs) {
      struct stat source;
      if (stat(input.c_str(), &source) == 0 && source.st_dev == target.st_dev &&
          source.st_ino == target.st_ino)
        throw AppError(output, "is the input %s; writing the output there would destroy it",
                       input.c_str());
    }
  }
  AtomicFile probe(output);
}

void requireOutputsWritable(const InputFiles& files, const Command& command) {
  requireOutputWritable(command.output, files);
  if (command.preview == nullptr) return;
  requireOutputWritable(command.preview, files);
  struct stat labels, picture;
  if (strcmp(command.preview, command.output) == 0 ||
      (stat(command.output, &labels) == 0 && stat(command.preview, &picture) == 0 &&
       labels.st_dev == picture.st_dev && labels.st_ino == picture.st_ino))
    throw AppError(command.preview, "is also the output of the labels; give the picture another name");
}

// Reads the volumes, segments them and writes the labels to the output
// through the first file's header.
void segmentVolumes(const InputFiles& files, const Command& command) {
  StageLog log(command.verbose);
  TensorVolumes volumes = loadTensorVolumes(files, [](const Image& first) {
    requireSegmentable(first);
    describeNeeds(first);
  });
  Image shape = volumes.sets[0].eigenvalue;
  shape.data = nullptr;
  shape.storage.reset();
  log.report("reading", "%zu files of %d x %d x %d voxels",
             files.paths.size() + (files.mask.empty() ? 0 : 1), shape.dimX, shape.dimY,
             shape.dimZ);

  Eigenvector principal =
      extractPrincipalEigenvector(volumes.sets[0], volumes.sets[1], volumes.sets[2]);
  for (Eigenvector& set : volumes.sets) set = Eigenvector();
  log.report("principal component", "%s", "");

  SegmentationCosts costs = buildSegmentationCosts(
      principal, volumes.scalar, command.weights, volumes.mask.data != nullptr ? &volumes.mask : nullptr);
  // The costs are all the optimizer needs; the scalar volume stays only
  // for the picture.
  principal = Eigenvector();
  if (command.preview == nullptr) volumes.scalar = Image();
  volumes.mask = Image();
  reportLimit(limitSegmentationCosts(costs));
  // Said rather than returning an empty segmentation without a word.
  if (!someSiteFavoursLabelOne(costs)) {
    fprintf(stderr, "dticut: ");
    fprintf(stderr, kNoSiteFavoursLabelOne, "--data-lambda", "--data-lambda ");
    fprintf(stderr, "\n");
  }
  log.report("building the energy", "%d sites, %zu pairs", costs.numSites(), costs.weights.size());

  std::vector<float> labels(static_cast<size_t>(shape.dimX) * shape.dimY * shape.dimZ);
  ExpansionTrace trace;
  g_optimising = true;
  segment(std::move(costs), shape, labels.data(), &trace, stdout);
  g_optimising = false;
  // Energies that never reached their destination (a full disk, a closed
  // pipe) are a failed run: it is reported before the output is replaced.
  if (fflush(stdout) != 0 || ferror(stdout))
    throw AppError("standard output", "write failed: %s", strerror(errno));
  char energies[kExpansionIterations * 48] = "";
  for (int i = 0; i < trace.iterations; ++i)
    snprintf(energies + strlen(energies), sizeof energies - strlen(energies),
             "%senergy %d after iteration %d", i > 0 ? ", " : "", trace.energies[i], i + 1);
  log.report("optimisation", "%s", energies);

  volumes.outputTemplate->writeData(labels.data(), static_cast<long long>(labels.size()),
                                    command.output);
  log.report("writing", "%s", command.output);
  if (command.preview != nullptr) {
    writePreview(command.preview, volumes.scalar, labels.data());
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

// A weight is a finite single-precision number written in full, subnormal
// ones included; values beyond float's range (which would become infinite)
// or so small that every digit would be lost (a non-zero value read as 0)
// are refused rather than silently changed.
bool parseWeight(const char* text, float* weight) {
  char* end;
  errno = 0;
  float value = strtof(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value)) return false;
  if (errno == ERANGE && value == 0.0f) return false;
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
      command.volumes.push_back(arg);
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
      case kEvals:
      case kEvecs:
      case kScalar:
        command.dipy[option->id - kEvals] = value;
        break;
      case kMask:
        command.mask = value;
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
  const char* dipyOption = nullptr;  // one of the dipy form's options given
  for (int i = 0; i < kNumDipyFiles; ++i)
    if (command.dipy[i] != nullptr && dipyOption == nullptr) dipyOption = kDipyForm[i].name;
  if (dipyOption != nullptr) {
    if (command.prefix != nullptr)
      return usageError("--tensor-prefix and --%s name two input forms; give one", dipyOption);
    if (!command.volumes.empty())
      return usageError("--%s reads the dipy form, but volumes were given too: %s", dipyOption,
                        command.volumes[0]);
    for (int i = 0; i < kNumDipyFiles; ++i)
      if (command.dipy[i] == nullptr)
        return usageError("--evals, --evecs and --scalar go together; --%s is missing",
                          kDipyForm[i].name);
    return -1;
  }
  if (command.prefix != nullptr && !command.volumes.empty())
    return usageError("--tensor-prefix reads its own files, but volumes were given too: %s",
                      command.volumes[0]);
  if (command.prefix == nullptr && command.volumes.size() != kNumVolumes) {
    fprintf(stderr, "dticut: error: expected %d volumes, got %zu\n\n", kNumVolumes,
            command.volumes.size());
    printUsage(stderr);
    return 2;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard output then fails the write with EPIPE, which the
  // run reports (status 1), instead of ending the process by a signal.
  signal(SIGPIPE, SIG_IGN);
  atexit(reportOutOfMemoryAtExit);
  Command command;
  int status = parseCommand(argc, argv, command);
  if (status >= 0) return status;
  try {
    InputFiles files = command.dipy[0] != nullptr
                           ? InputFiles::dipy(command.dipy[0], command.dipy[1], command.dipy[2])
                       : command.prefix != nullptr ? InputFiles::tensorPrefix(command.prefix)
                                                   : InputFiles::thirteen(command.volumes.data());
    if (command.mask != nullptr) files.mask = command.mask;
    requireOutputsWritable(files, command);
    segmentVolumes(files, command);
  } catch (const AppError& error) {
    reportError(error);
  } catch (GCException error) {
    reportOutOfMemoryAtExit();  // "Not enough memory" is the optimizer's one such error
    error.Report();
  } catch (const std::bad_alloc&) {
    g_optimising = false;
    reportError(outOfMemory());
  }
  return 0;
}
