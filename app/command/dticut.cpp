// The dticut command. Exit status: 0 done (also help, version and the
// weights table), 1 an input, output or optimizer error, 2 a usage error.
#include <malloc.h>

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
  // One run, whose stages free large arrays (the input volumes, the costs)
  // just before the next allocates as much (the optimizer's graph): memory
  // is kept in the process's one heap, which hands it on already mapped,
  // rather than returned to the system and mapped again page by page (a
  // third of the page faults of a run). The threads that read files and
  // share the per-voxel work allocate from that heap too, so that what they
  // free serves the rest of the run. The peak is the same.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
  mallopt(M_ARENA_MAX, 1);
  Command command;
  int status = parseCommand(argc, argv, command);
  if (status >= 0) return status;
  return runCommand(command);
}
