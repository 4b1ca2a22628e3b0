// The dticut command. Exit status: 0 done (also help, version and the
// weights table), 1 an input, output or optimizer error, 2 a usage error.
#include <csignal>

#include "app/command/options.h"
#include "app/command/run.h"

int main(int argc, char** argv) {
  // A closed standard output then fails the write with EPIPE, and a write
  // beyond the file-size limit (ulimit -f, as batch schedulers set it) with
  // EFBIG, which the run reports (status 1, the temporary removed, an
  // earlier output intact), instead of ending the process by a signal.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  keepMemoryInProcess();
  Command command;
  int status = parseCommand(argc, argv, command);
  if (status >= 0) return status;
  return runCommand(command);
}
