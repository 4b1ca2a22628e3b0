// Test helper: runs a program as a subprocess in a given folder and
// collects its exit status, standard output and standard error.
#ifndef DTICUT_TESTS_SUBPROCESS_H
#define DTICUT_TESTS_SUBPROCESS_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace testfiles {

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  int signal = 0;   // the signal that ended it, if any
  std::string out;
  std::string err;
};

// The whole content of a capture file, which is then closed.
inline std::string drained(FILE* file) {
  std::string text;
  std::rewind(file);
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
  std::fclose(file);
  return text;
}

// Runs `args` (args[0] is the program's path) with `folder` as working
// directory; the streams go to anonymous files, so the folder need not be
// writable and parallel runs do not meet.
inline RunResult runProgram(const std::vector<std::string>& args, const std::string& folder) {
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  pid_t child = fork();
  if (child == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int raw = 0;
  waitpid(child, &raw, 0);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, WIFSIGNALED(raw) ? WTERMSIG(raw) : 0,
          drained(out), drained(err)};
}

}  // namespace testfiles

#endif  // DTICUT_TESTS_SUBPROCESS_H
