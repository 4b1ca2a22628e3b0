#include "app/command/options.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "app/io/json.h"
#include "app/io/printable.h"
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
  kEnergy,
  kSeeds,
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
    {kEnergy, nullptr, "--energy", "NAME",
     "the energy to minimise: scalar (the default: the\nscalar map's data term and the pair weight\n"
     "below) or tensor (whole tensors compared on their\nlog-Euclidean geometry, and seeds)",
     nullptr},
    {kSeeds, nullptr, "--seeds", "FILE",
     "with --energy tensor: voxels marked 1 (the\nstructure, label 1) or 2 (not the structure,\n"
     "label 0), 0 elsewhere; each keeps its label",
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
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  std::string message(static_cast<size_t>(std::max(vsnprintf(nullptr, 0, format, args), 0)), '\0');
  va_end(args);
  vsnprintf(&message[0], message.size() + 1, format, again);
  va_end(again);
  // The message quotes arguments, which may hold terminal control bytes.
  fprintf(stderr, "dticut: error: %s\n\n", printable(message).c_str());
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
    json.member("energy", energyName(weight.energy));
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
          "0 and every voxel keeps label 0; raise it, e.g. --data-lambda 100.\n\n"
          "tensor energy (--energy tensor): neighbours p, q pay round(10*boundary*\n"
          "exp(-d^2/(2 sigma^2))) for different labels, d the log-Euclidean distance of\n"
          "their tensors and sigma^2 its mean square over all neighbours; label l costs\n"
          "round(10*region*min(nll, 20)), nll the negative log kernel density of the\n"
          "label's seeds (--seeds), or without seeds round(10*region*(S - l)^2); seed\n"
          "voxels keep their seeds' labels. boundary and region are --boundary-lambda\n"
          "and --region-lambda, each 1 by default.\n");
}

int parseCommand(int argc, char** argv, Command& command) {
  command.arguments.assign(argv, argv + argc);
  std::vector<const EnergyWeight*> given;  // the weights set, in order
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
    // Every option with a value but the weights and the energy names a
    // file: an empty one (an unset shell variable, say) would silently mean
    // another file, or none, so it is refused like any other malformed
    // command line.
    if (value != nullptr && value[0] == '\0' && option->id != kWeight && option->id != kEnergy)
      return usageError("%s needs a non-empty path", arg);
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
      case kSeeds:
        command.seeds = value;
        break;
      case kEnergy: {
        bool known = false;
        for (int m = 0; m < kNumEnergyModels; ++m) {
          if (strcmp(value, energyName(static_cast<EnergyModel>(m))) != 0) continue;
          command.energy = static_cast<EnergyModel>(m);
          known = true;
        }
        if (!known) return usageError("--energy takes scalar or tensor, got '%s'", value);
        break;
      }
      case kWeight:
        if (!weightFromText(value, &(command.weights.*option->weight->member)))
          return usageError("%s needs a finite single-precision number, got '%s'",
                            option->longName, value);
        given.push_back(option->weight);
        break;
    }
  }
  // A weight or the seeds of the other energy would be ignored without a word.
  for (const EnergyWeight* weight : given)
    if (weight->energy != command.energy)
      return usageError("%s weighs the %s energy, but this run minimises the %s energy%s",
                        weight->option, energyName(weight->energy), energyName(command.energy),
                        weight->energy == EnergyModel::kTensor ? "; give --energy tensor" : "");
  if (command.seeds != nullptr && command.energy != EnergyModel::kTensor)
    return usageError("--seeds marks voxels for the tensor energy; give --energy tensor");
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
  for (size_t k = 0; k < command.volumes.size(); ++k)
    if (command.volumes[k][0] == '\0')
      return usageError("volume %zu (%s) needs a non-empty path", k + 1, kThirteenFileForm[k].name);
  return -1;
}
