// One run of the dticut command, once its command line is parsed: the
// input files resolved, the outputs checked, the volumes read, segmented
// (segmentation/pipeline.h) and the labels written, then the picture and
// the run's report when asked for.
//
// Standard output gets the two energy lines and nothing else; standard
// error the stage lines (-v), the warnings and, for a failure, one line
// "dticut: error: <file>: <problem>". Every failure is an AppError, reported
// in one place (reportError) with exit status 1; earlier outputs then stay
// as they were, since every output is written whole or not at all.
#ifndef DTICUT_APP_COMMAND_RUN_H
#define DTICUT_APP_COMMAND_RUN_H

#include "app/command/options.h"
#include "app/segmentation/error.h"

// One run, whose stages free large arrays (the input volumes, the costs)
// just before the next allocates as much (the optimizer's graph): memory is
// kept in the process's one heap, which hands it on already mapped, rather
// than returned to the system and mapped again page by page (a third of the
// page faults of a run). The threads that read files and share the
// per-voxel work allocate from that heap too, so that what they free serves
// the rest of the run. The peak is the same. Called once, first, by a
// program that runs the command's stages.
void keepMemoryInProcess();

// Reads, segments and writes as `command` says; returns the exit status (0)
// or reports the failure and ends the process with status 1.
int runCommand(const Command& command);

// Prints "Unable to read file." on standard output for an unrecognised
// file, then "dticut: error: <message>" on standard error, then an
// optimizer's own message as "\n<message>\n" on standard output.
void printError(const AppError& error);
// printError, then exit with status 1.
[[noreturn]] void reportError(const AppError& error);

#endif  // DTICUT_APP_COMMAND_RUN_H
