// Test helper: runs a program as a subprocess in a given folder and
// collects its exit status, standard output and standard error.
#ifndef DTICUT_TESTS_APP_SUBPROCESS_H
#define DTICUT_TESTS_APP_SUBPROCESS_H

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testfiles {

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  int signal = 0;   // the signal that ended it, if any
  std::string out;
  std::string err;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `args` (args[0] is the program's path) with `folder` as working
// directory. The streams are captured through two hidden files in
// `captureFolder`, or in `folder` when none is given (give one when `folder`
// is not writable), removed afterwards.
inline RunResult runProgram(const std::vector<std::string>& args, const std::string& folder,
                            const std::string& captureFolder = "") {
  const std::string& capture = captureFolder.empty() ? folder : captureFolder;
  std::string outPath = capture + "/.stdout.capture", errPath = capture + "/.stderr.capture";
  pid_t child = fork();
  if (child == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || chdir(folder.c_str()) != 0) _exit(127);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  RunResult result;
  int raw = 0;
  waitpid(child, &raw, 0);
  if (WIFEXITED(raw)) result.status = WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) result.signal = WTERMSIG(raw);
  result.out = slurp(outPath);
  result.err = slurp(errPath);
  unlink(outPath.c_str());
  unlink(errPath.c_str());
  return result;
}

}  // namespace testfiles

#endif  // DTICUT_TESTS_APP_SUBPROCESS_H
