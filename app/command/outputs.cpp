#include "app/command/outputs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "app/io/atomicFile.h"

namespace {

// What tells one file apart from another before it is written.
struct FileIdentity {
  const char* path;
  bool folderOpened = false;  // false: the folder could not be opened
  dev_t folderDevice = 0;
  ino_t folderInode = 0;
  std::string name;  // the last component
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
};

FileIdentity identityOf(const char* path) {
  FileIdentity identity;
  identity.path = path;
  const char* name;
  struct stat status;
  int folder = openParentFolder(path, &name);
  identity.name = name;
  if (folder >= 0) {
    identity.folderOpened = fstat(folder, &status) == 0;
    identity.folderDevice = status.st_dev;
    identity.folderInode = status.st_ino;
    close(folder);
  }
  if (stat(path, &status) == 0) {
    identity.exists = true;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
  }
  return identity;
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return (a.folderOpened && b.folderOpened && a.folderDevice == b.folderDevice &&
          a.folderInode == b.folderInode && a.name == b.name) ||
         (a.exists && b.exists && a.device == b.device && a.inode == b.inode);
}

// The run's outputs, in the order they are checked and written; a new
// output is one more row.
struct Output {
  const char* path;  // or null when not asked for
  const char* what;  // what an output found to be this one is told it is
  const char* noun;  // what it is told to rename
};

void requireOutputWritable(const FileIdentity& output, const std::vector<FileIdentity>& inputs) {
  struct stat target;
  if (stat(output.path, &target) == 0 && !S_ISREG(target.st_mode))
    throw AppError(output.path,
                   "exists and is not a regular file (%s); expected a regular file or "
                   "a new name",
                   S_ISDIR(target.st_mode)    ? "a folder"
                   : S_ISFIFO(target.st_mode) ? "a FIFO"
                   : S_ISSOCK(target.st_mode) ? "a socket"
                                              : "a device");
  // An input that does not exist cannot be destroyed; reading it will say
  // what is wrong with it.
  for (const FileIdentity& input : inputs)
    if (input.exists && sameFile(input, output))
      throw AppError(output.path, "is the input %s; writing the output there would destroy it",
                     input.path);
  AtomicFile probe(output.path);
}

}  // namespace

void requireOutputsWritable(const InputFiles& files, const Command& command) {
  std::vector<FileIdentity> inputs;
  for (const std::string& input : files.paths) inputs.push_back(identityOf(input.c_str()));
  if (!files.mask.empty()) inputs.push_back(identityOf(files.mask.c_str()));
  if (!files.seeds.empty()) inputs.push_back(identityOf(files.seeds.c_str()));
  const Output outputs[] = {{command.output, "the output of the labels", "the labels"},
                            {command.preview, "the picture", "the picture"},
                            {command.report, "the report", "the report"}};
  std::vector<std::pair<const Output*, FileIdentity>> checked;
  for (const Output& output : outputs) {
    if (output.path == nullptr) continue;
    const FileIdentity identity = identityOf(output.path);
    requireOutputWritable(identity, inputs);
    for (const auto& [earlier, earlierIdentity] : checked)
      if (sameFile(earlierIdentity, identity))
        throw AppError(output.path, "is also %s; give %s another name", earlier->what, output.noun);
    checked.emplace_back(&output, identity);
  }
}
