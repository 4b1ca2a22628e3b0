// The dticut command line: one table of options, from which both parsing
// and the usage text are made (the energy's weights come from their own
// table, energyWeights.h), and the Command it parses into.
//
// Parsing never reads a file: it checks the form of the arguments only, so
// that a usage error (status 2) is told apart from an input that cannot be
// used (status 1, found later).
#ifndef DTICUT_APP_COMMAND_OPTIONS_H
#define DTICUT_APP_COMMAND_OPTIONS_H

#include <cstdio>
#include <vector>

#include "app/command/inputForms.h"
#include "app/segmentation/energyWeights.h"

// Where the labels go when no -o is given.
extern const char* const kDefaultOutput;
// Slices per view in the --preview picture, by default and at most.
const int kDefaultPreviewSlices = 3;
const int kMaxPreviewSlices = 32;

// The command line, once parsed. Paths point into argv.
struct Command {
  std::vector<char*> arguments;  // argv as given, for the run report
  std::vector<char*> volumes;    // positional arguments
  const char* prefix = nullptr;
  const char* dipy[kNumDipyFiles] = {};  // --evals, --evecs, --scalar
  const char* mask = nullptr;
  const char* seeds = nullptr;  // the tensor energy's seeds, or none
  const char* output = kDefaultOutput;
  const char* preview = nullptr;  // PNG path, or none
  int previewSlices = kDefaultPreviewSlices;
  int labelsDatatype = 0;         // NIfTI datatype code of the labels; 0: the template's
  const char* report = nullptr;   // JSON path, or none
  bool verbose = false;
  bool ignoreGeometry = false;  // inputs in other spaces: warn, not refuse
  EnergyModel energy = EnergyModel::kScalar;
  EnergyWeights weights;
};

// The usage text: the three input forms, every option, the energy.
void printUsage(FILE* out);

// Fills `command` from the arguments; returns -1 to go on, otherwise the
// exit status: 0 after --help, --version or --list-weights (printed on
// standard output), 2 after a usage error (its message and the usage text
// printed on standard error).
int parseCommand(int argc, char** argv, Command& command);

#endif  // DTICUT_APP_COMMAND_OPTIONS_H
