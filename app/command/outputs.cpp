#include "app/command/outputs.h"

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/io/atomicFile.h"

namespace {

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
    if (!files.seeds.empty()) inputs.push_back(files.seeds);
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

bool sameFile(const char* a, const char* b) {
  struct stat first, second;
  return strcmp(a, b) == 0 || (stat(a, &first) == 0 && stat(b, &second) == 0 &&
                               first.st_dev == second.st_dev && first.st_ino == second.st_ino);
}

}  // namespace

void requireOutputsWritable(const InputFiles& files, const Command& command) {
  requireOutputWritable(command.output, files);
  if (command.preview != nullptr) {
    requireOutputWritable(command.preview, files);
    if (sameFile(command.preview, command.output))
      throw AppError(command.preview,
                     "is also the output of the labels; give the picture another name");
  }
  if (command.report != nullptr) {
    requireOutputWritable(command.report, files);
    if (sameFile(command.report, command.output))
      throw AppError(command.report,
                     "is also the output of the labels; give the report another name");
    if (command.preview != nullptr && sameFile(command.report, command.preview))
      throw AppError(command.report, "is also the picture; give the report another name");
  }
}
