// The checks a run makes of its outputs before it reads anything, so that
// a run that could not write its results, or would destroy an input or one
// of its own outputs, fails at once and costs nothing.
#ifndef DTICUT_APP_COMMAND_OUTPUTS_H
#define DTICUT_APP_COMMAND_OUTPUTS_H

#include "app/command/inputFiles.h"
#include "app/command/options.h"

// Refuses (AppError naming the output) an output that exists and is not a
// regular file (a device, a FIFO, a folder), one that is an input file
// (also through another name or a link), one whose folder does not take a
// new file (found by creating and removing a temporary there, as writing
// will), and an output that is another output of the same run.
void requireOutputsWritable(const InputFiles& files, const Command& command);

#endif  // DTICUT_APP_COMMAND_OUTPUTS_H
