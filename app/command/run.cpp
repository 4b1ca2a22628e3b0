#include "app/command/run.h"

#include <malloc.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "app/command/inputFiles.h"
#include "app/command/outputs.h"
#include "app/command/runReport.h"
#include "app/io/preview.h"
#include "app/io/printable.h"
#include "app/segmentation/pipeline.h"
#include "app/segmentation/segmentation.h"

namespace {

// Running out of memory. The app's own allocations throw, and the pipeline
// turns the optimizer's "Not enough memory" into an AppError too; only the
// max-flow engine ends the process itself (status 1, with its own message
// on standard output, or none), so while the segmentation runs the line
// that says why is armed for the exit. Either way the line names the
// volume's size and about what a run of that size needs.
char g_needs[160] = "the run needs more than this process may allocate";
bool g_segmenting = false;

AppError outOfMemory() {
  return AppError(AppError::kOutOfMemory, "%s", g_needs);
}

void reportOutOfMemoryAtExit() {
  if (!g_segmenting) return;
  g_segmenting = false;
  printError(outOfMemory());
}

// What the run says as it goes (stage lines with -v, warnings always) and
// keeps for its report.
class RunLog : public SegmentationObserver {
 public:
  RunLog(bool verbose, EnergyModel energy)
      : m_verbose(verbose),
        m_dataWeight(dataWeightOf(energy).option),
        m_last(std::chrono::steady_clock::now()) {}

  // A stage of the command's own, timed from the previous line.
  void stage(const char* stage, const char* format, ...) __attribute__((format(printf, 3, 4))) {
    char account[256];
    va_list args;
    va_start(args, format);
    vsnprintf(account, sizeof account, format, args);
    va_end(args);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_last).count();
    stageDone(stage, account, seconds);
  }

  // "dticut: <text>" on standard error, kept for the report.
  void warn(const std::string& text) {
    m_warnings.push_back("dticut: " + text);
    fprintf(stderr, "%s\n", printable(m_warnings.back()).c_str());
  }

  void stageDone(const char* stage, const char* account, double seconds) override {
    m_last = std::chrono::steady_clock::now();
    m_stages.push_back({stage, seconds});
    if (m_verbose)
      fprintf(stderr, "dticut: %s: %s%s%.3f s\n", stage, printable(account).c_str(),
              account[0] != '\0' ? ", " : "", seconds);
  }

  void warning(const std::string& text) override { warn(text); }

  void costsLimited(const CostLimit& limit) override {
    if (limit.changedWeights == 0 && limit.changedDataCosts == 0) return;
    char text[256];
    int used = snprintf(text, sizeof text,
                        "limited %lld pair weights and %lld data costs to keep the energy within "
                        "32 bits (negative and NaN values to 0, ",
                        limit.changedWeights, limit.changedDataCosts);
    if (limit.cap >= 0)
      snprintf(text + used, sizeof text - used, "larger values capped at %d)", limit.cap);
    else
      snprintf(text + used, sizeof text - used, "no cap needed)");
    m_limitMessage = "dticut: " + std::string(text);
    warn(text);
  }

  // Said rather than returning an empty segmentation without a word.
  void noSiteFavoursLabelOne(const DataFreeFacts& facts) override {
    warn(dataFreeMessage(facts, m_dataWeight, (std::string(m_dataWeight) + " ").c_str()));
  }

  void emptyResult(long long favouring) override {
    warn(emptyResultMessage(favouring, m_dataWeight));
  }

  void energyBefore(int energy) override {
    printf("Before optimization energy is :\t%d\n", energy);
  }

  void energyAfter(int energy) override {
    printf("After optimization energy is :\t%d\n", energy);
    // Energies that never reached their destination (a full disk, a closed
    // pipe) are a failed run: it is reported before the output is replaced.
    if (fflush(stdout) != 0 || ferror(stdout))
      throw AppError("standard output", "write failed: %s", strerror(errno));
  }

  const std::vector<std::string>& warnings() const { return m_warnings; }
  const std::string& limitMessage() const { return m_limitMessage; }
  const std::vector<StageTime>& stages() const { return m_stages; }

 private:
  bool m_verbose;
  const char* m_dataWeight;  // the option of the energy's data (region) weight
  std::chrono::steady_clock::time_point m_last;  // when the previous stage ended
  std::vector<std::string> m_warnings;           // as printed, without the newline
  std::string m_limitMessage;                    // the limiting line, if printed
  std::vector<StageTime> m_stages;
};

InputFiles inputFilesOf(const Command& command) {
  InputFiles files = command.dipy[0] != nullptr
                         ? InputFiles::dipy(command.dipy[0], command.dipy[1], command.dipy[2])
                     : command.prefix != nullptr ? InputFiles::tensorPrefix(command.prefix)
                                                 : InputFiles::thirteen(command.volumes.data());
  if (command.mask != nullptr) files.mask = command.mask;
  if (command.seeds != nullptr) files.seeds = command.seeds;
  return files;
}

void segmentFiles(const InputFiles& files, const Command& command) {
  RunLog log(command.verbose, command.energy);
  LoadChecks checks;
  checks.requireShape = [](const Image& first) {
    requireSegmentable(first);
    describeSegmentationNeeds(first, g_needs, sizeof g_needs);
  };
  checks.ignoreGeometry = command.ignoreGeometry;
  checks.warn = [&log](const std::string& text) { log.warn(text); };
  // The scalar energy reads only the principal component of the sets: it is
  // made as they are read, so that at most two are in memory.
  if (command.energy == EnergyModel::kScalar)
    checks.placed = [](SegmentationVolumes& volumes) { foldPrincipalSets(volumes.sets); };
  TensorVolumes loaded = loadTensorVolumes(files, checks);
  const Image& first = loaded.volumes.sets[0].eigenvalue;
  const int dims[3] = {first.dimX, first.dimY, first.dimZ};
  log.stage("reading", "%zu files of %d x %d x %d voxels", loaded.files.size(), dims[0], dims[1],
            dims[2]);

  // The scalar volume and the seeds stay only for the picture.
  const Image scalar = command.preview != nullptr ? loaded.volumes.scalar : Image();
  const Image seeds = command.preview != nullptr ? loaded.volumes.seeds : Image();
  g_segmenting = true;
  SegmentationResult result = runSegmentation(std::move(loaded.volumes), command.energy, command.weights, &log);
  g_segmenting = false;

  loaded.outputTemplate->writeData(result.labels.data(),
                                   static_cast<long long>(result.labels.size()), command.output,
                                   command.labelsDatatype);
  log.stage("writing", "%s", command.output);
  if (command.preview != nullptr) {
    // Drawn in the labels' geometry, the template's. The seeds hold 0, 1
    // and 2 only: the segmentation refused anything else.
    std::vector<unsigned char> marks;
    if (seeds.data != nullptr)
      marks.assign(seeds.data, seeds.data + result.labels.size());
    PreviewRequest picture;
    picture.scalar = &scalar;
    picture.labels = result.labels.data();
    picture.seeds = marks.empty() ? nullptr : marks.data();
    picture.transform = loaded.outputTemplate->header->transform;
    picture.slices = command.previewSlices;
    writePreview(command.preview, picture);
    log.stage("preview", "%s", command.preview);
  }
  if (command.report != nullptr) {
    RunReport report = {&command, &loaded, &result, &log.warnings(), log.limitMessage().c_str(),
                        &log.stages()};
    writeRunReport(command.report, report);
    log.stage("report", "%s", command.report);
  }
}

}  // namespace

void printError(const AppError& error) {
  if (error.isUnrecognised()) puts("Unable to read file.");
  fflush(stdout);
  // Shown through a buffer on the stack: this may run when memory is out.
  char shown[4 * AppError::kMaxMessage + 1];
  fprintf(stderr, "dticut: error: %s\n",
          printable(error.what(), strlen(error.what()), shown, sizeof shown));
  if (error.optimizerMessage() != nullptr) printf("\n%s\n", error.optimizerMessage());
}

void reportError(const AppError& error) {
  g_segmenting = false;
  printError(error);
  exit(1);
}

void keepMemoryInProcess() {
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
  mallopt(M_ARENA_MAX, 1);
}

int runCommand(const Command& command) {
  atexit(reportOutOfMemoryAtExit);
  try {
    const InputFiles files = inputFilesOf(command);
    requireOutputsWritable(files, command);
    segmentFiles(files, command);
  } catch (const AppError& error) {
    reportError(error);
  } catch (const std::bad_alloc&) {
    reportError(outOfMemory());
  }
  return 0;
}
