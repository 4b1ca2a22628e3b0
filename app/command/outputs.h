// The checks a run makes of its outputs before it reads anything, so that
// a run that could not write its results, or would destroy an input or one
// of its own outputs, fails at once and costs nothing.
//
// Two paths name the same file when their folders are the same folder
// (device and inode of the folder as opened, so "./x", "sub/../x" and a
// link to a folder are seen through) and their last components are equal,
// or when both exist and are the same file (device and inode, so hard and
// symbolic links are seen through). Every pair of outputs, and every
// output with every input, is compared by that one rule.
#ifndef DTICUT_APP_COMMAND_OUTPUTS_H
#define DTICUT_APP_COMMAND_OUTPUTS_H

#include "app/command/inputFiles.h"
#include "app/command/options.h"

// Refuses (AppError naming the output) an output that exists and is not a
// regular file (a device, a FIFO, a folder), one that is an existing input
// file, one whose folder does not take a new file (found by creating and
// removing a temporary there, as writing will), and an output that is
// another output of the same run. The outputs are checked in the order
// labels, picture, report, each against the ones before it.
void requireOutputsWritable(const InputFiles& files, const Command& command);

#endif  // DTICUT_APP_COMMAND_OUTPUTS_H
