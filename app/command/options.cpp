#include "app/command/options.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "app/io/json.h"
#include "app/io/niftiHeader.h"

const char* const kDefaultOutput = "test.nii";

namespace {

enum OptionId {
  kOutput,
  kPreview,
  kPreviewSlices,
  kLabelsDatatype,
  kReport,
  kTensorPrefix,
  kEvals,
  kEvecs,
  kScalar,
  kMask,
  kIgnoreGeometry,
  kWeight,  // one of the energy's weights (energyWeights.h)
  kVerbose,
  kListWeights,
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
  const EnergyWeight* weight;  // the weight a kWeight option sets
};

const OptionDoc kOptionsBeforeWeights[] = {
    {kOutput, "-o", "--output", "PATH",
     "write the labels to PATH instead of test.nii;\na PATH ending in .gz is written "
     "gzip-compressed",
     nullptr},
    {kLabelsDatatype, nullptr, "--labels-datatype", "TYPE",
     "store the labels as TYPE (uint8, int8, int16,\nuint16, int32, uint32, int64, uint64, float32,\n"
     "float64) in the first file's header; template\n(the default) keeps its datatype",
     nullptr},
    {kPreview, nullptr, "--preview", "FILE.png",
     "also draw the scalar volume with label 1 in red:\naxial, coronal and sagittal slices in world\n"
     "orientation (RAS+, neurological: L on the left)\n(at most 4096 pixels a side: a longer volume "
     "shows\nevery n-th voxel)",
     nullptr},
    {kPreviewSlices, nullptr, "--preview-slices", "N",
     "slices per view in the picture, evenly spaced\n(1 to 32; default 3, a 3 x 3 mosaic)", nullptr},
    {kReport, nullptr, "--report", "FILE.json",
     "also write a record of the run: inputs, weights,\nenergies, limiting, label counts, "
     "warnings,\nstage times and outputs",
     nullptr},
    {kTensorPrefix, nullptr, "--tensor-prefix", "PREFIX",
     "read the seven files of a tensor fit (above)\ninstead of thirteen volumes", nullptr},
    {kEvals, nullptr, "--evals", "FILE", "the dipy form's eigenvalues (above)", nullptr},
    {kEvecs, nullptr, "--evecs", "FILE", "the dipy form's eigenvectors (above)", nullptr},
    {kScalar, nullptr, "--scalar", "FILE", "the dipy form's scalar volume (above)", nullptr},
    {kMask, nullptr, "--mask", "FILE",
     "segment only the voxels where FILE (3-D, of the\nvolumes' size) is non-zero and not NaN; the\n"
     "others get label 0",
     nullptr},
    {kIgnoreGeometry, nullptr, "--ignore-geometry", nullptr,
     "segment inputs whose voxel-to-world transforms\n(sform, qform) differ from the first file's,\n"
     "with a warning, instead of refusing them",
     nullptr},
};
const OptionDoc kOptionsAfterWeights[] = {
    {kVerbose, "-v", "--verbose", nullptr,
     "report each stage, its time and the energy after\neach iteration on standard error",
     nullptr},
    {kListWeights, nullptr, "--list-weights", nullptr,
     "print the energy's weights (option, Python\nkeyword, report key, default) as JSON and exit",
     nullptr},
    {kVersion, nullptr, "--version", nullptr, "print the version and exit", nullptr},
    {kHelp, "-h", "--help", nullptr, "print this help and exit", nullptr},
};

// Every option in --help's order: the fixed ones around one per weight.
const std::vector<OptionDoc>& options() {
  static const std::vector<OptionDoc> all = [] {
    std::vector<OptionDoc> list(std::begin(kOptionsBeforeWeights), std::end(kOptionsBeforeWeights));
    for (const EnergyWeight& weight : kEnergyWeights)
      list.push_back({kWeight, nullptr, weight.option, "X", weight.help, &weight});
    list.insert(list.end(), std::begin(kOptionsAfterWeights), std::end(kOptionsAfterWeights));
    return list;
  }();
  return all;
}

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

// The option `arg` names, exactly or as "--name=value" (then *inlineValue
// points at the value); null when none does.
const OptionDoc* findOption(const char* arg, const char** inlineValue) {
  *inlineValue = nullptr;
  for (const OptionDoc& option : options()) {
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

// The weights table as JSON: one object per weight, keyed by its keyword.
void printWeights(FILE* out) {
  JsonWriter json;
  json.beginObject();
  for (const EnergyWeight& weight : kEnergyWeights) {
    json.key(weight.keyword);
    json.beginObject();
    json.member("option", weight.option);
    json.member("report_key", weight.reportKey);
    json.key("default");
    json.weight(weight.defaultValue);
    json.member("help", weight.help);
    json.endObject();
  }
  json.endObject();
  fputs(json.text().c_str(), out);
}

}  // namespace

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
  for (const OptionDoc& option : options()) {
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

int parseCommand(int argc, char** argv, Command& command) {
  command.arguments.assign(argv, argv + argc);
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
      case kListWeights:
        printWeights(stdout);
        return 0;
      case kVerbose:
        command.verbose = true;
        break;
      case kIgnoreGeometry:
        command.ignoreGeometry = true;
        break;
      case kOutput:
      case kPreview:
      case kReport:
        if (value[0] == '\0') return usageError("%s needs a non-empty path", arg);
        (option->id == kOutput    ? command.output
         : option->id == kPreview ? command.preview
                                  : command.report) = value;
        break;
      case kPreviewSlices: {
        char* end = nullptr;
        long slices = strtol(value, &end, 10);
        if (end == value || *end != '\0' || slices < 1 || slices > kMaxPreviewSlices)
          return usageError("%s needs a whole number from 1 to %d, got '%s'", option->longName,
                            kMaxPreviewSlices, value);
        command.previewSlices = static_cast<int>(slices);
        break;
      }
      case kLabelsDatatype:
        command.labelsDatatype = strcmp(value, "template") == 0 ? 0 : datatypeCode(value);
        if (command.labelsDatatype == 0 && strcmp(value, "template") != 0)
          return usageError("%s needs uint8, int8, int16, uint16, int32, uint32, int64, uint64, "
                            "float32, float64 or template, got '%s'",
                            option->longName, value);
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
      case kWeight:
        if (!weightFromText(value, &(command.weights.*option->weight->member)))
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
