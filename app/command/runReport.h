// The run's report (--report FILE.json): a machine-readable record of one
// run of the command, for workflows that would otherwise read its messages.
//
// It holds the program and version, the command line, every input file
// (role, path, dimensions, volumes, datatype) and the mask with its voxels
// inside, the weights, the problem's size, the energies (before, after each
// iteration, after), what limiting changed, the label counts, every warning
// printed (as printed), every stage's seconds and the outputs written. It is
// written last, through AtomicFile like every output, so a report exists
// only for a run whose outputs are all in place.
#ifndef DTICUT_APP_COMMAND_RUNREPORT_H
#define DTICUT_APP_COMMAND_RUNREPORT_H

#include <string>
#include <vector>

#include "app/command/inputFiles.h"
#include "app/command/options.h"
#include "app/segmentation/pipeline.h"

// What the report is made from; every pointer is to the run's own record.
struct RunReport {
  const Command* command;
  const TensorVolumes* loaded;
  const SegmentationResult* result;
  const std::vector<std::string>* warnings;  // as printed on standard error
  const char* limitMessage;                  // the limiting line, or ""
  const std::vector<StageTime>* stages;      // every stage timed so far
};

// Writes the report to `path`; throws AppError naming it if it cannot.
void writeRunReport(const char* path, const RunReport& report);

#endif  // DTICUT_APP_COMMAND_RUNREPORT_H
