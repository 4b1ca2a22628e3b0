// dticut-maxflow FILE: solves a DIMACS max-flow instance with the engine and
// prints "flow=<value> solve_s=<seconds> build_s=<seconds>" on one line.
// Build time covers creating the graph from the parsed file; solve time the
// maxflow call. FILE is a regular file or a pipe (/dev/fd/N as given by the
// shell's <(...), or a named FIFO); folders and devices are refused before
// they are read. Every failure is one line on stderr,
// "dticut-maxflow: FILE[:LINE]: problem" (or the usage line), with exit
// status 1; no exception leaves main. Bytes of the path or of the file that
// a terminal would act on are shown escaped, as \xHH (app/io/printable.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "app/io/printable.h"
#include "flow/graph.h"
#include "tools/dimacs.h"

namespace {

const char* g_path = "";

// The path and the problem (which may quote a token of the file) are
// shown with their control bytes escaped (app/io/printable.h).
[[noreturn]] void die(const std::string& where, const std::string& problem) {
  std::fprintf(stderr, "dticut-maxflow: %s: %s\n", printable(where).c_str(),
               printable(problem).c_str());
  std::exit(1);
}

// The engine's error function: its fatal conditions name the input file.
void engine_error(char* msg) {
  std::fprintf(stderr, "dticut-maxflow: %s: %s\n", printable(g_path).c_str(), msg);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Why a file of this kind cannot be read as an instance; null when it can.
const char* refusal(mode_t mode) {
  if (S_ISREG(mode) || S_ISFIFO(mode)) return nullptr;
  if (S_ISDIR(mode)) return "is a folder, expected a regular file or a pipe";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, expected a regular file or a pipe";
  return "is not a regular file or a pipe";
}

// The whole content of `path`. The kind is checked before opening, so that a
// device is never opened (a device like /dev/zero never ends), and again on
// the open descriptor, so that a file swapped in between is caught too. A
// pipe is read until its writer closes it.
std::string read_instance(const char* path) {
  struct stat status;
  if (stat(path, &status) != 0) die(path, std::string("cannot open: ") + std::strerror(errno));
  if (const char* why = refusal(status.st_mode)) die(path, why);
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) die(path, std::string("cannot open: ") + std::strerror(errno));
  if (fstat(fd, &status) != 0) {
    int error = errno;
    close(fd);
    die(path, std::string("cannot open: ") + std::strerror(error));
  }
  if (const char* why = refusal(status.st_mode)) {
    close(fd);
    die(path, why);
  }
  std::string text;
  if (S_ISREG(status.st_mode) && status.st_size > 0) text.reserve(static_cast<std::size_t>(status.st_size));
  char chunk[1 << 16];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      close(fd);
      die(path, std::string("read failed: ") + std::strerror(error));
    }
    try {
      text.append(chunk, static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
      close(fd);
      die(path, "out of memory after reading " + std::to_string(text.size()) + " bytes");
    }
  }
  close(fd);
  return text;
}

int run(const char* path) {
  std::string text = read_instance(path);
  DimacsProblem problem;
  DimacsError error;
  if (!parse_dimacs(text.data(), text.size(), problem, error)) {
    die(std::string(path) + ":" + std::to_string(error.line), error.message);
  }
  text = std::string();

  auto start = std::chrono::steady_clock::now();
  Graph g(engine_error);
  int64_t direct = build_dimacs_graph(problem, g);
  double build_s = seconds_since(start);
  start = std::chrono::steady_clock::now();
  int64_t flow = direct + g.maxflow();
  double solve_s = seconds_since(start);
  if (std::printf("flow=%lld solve_s=%.6f build_s=%.6f\n", static_cast<long long>(flow), solve_s, build_s) < 0 ||
      std::fflush(stdout) != 0) {
    die("standard output", std::string("write failed: ") + std::strerror(errno));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Standard output beyond the file-size limit (ulimit -f) then fails the
  // write with EFBIG, reported like any write failure, instead of ending
  // the process by a signal.
  std::signal(SIGXFSZ, SIG_IGN);
  if (argc != 2 || argv[1][0] == '\0') {
    std::fprintf(stderr, "usage: dticut-maxflow FILE\n");
    return 1;
  }
  g_path = argv[1];
  try {
    return run(g_path);
  } catch (const std::bad_alloc&) {
    die(g_path, "out of memory");
  } catch (const std::exception& e) {
    die(g_path, std::string("unexpected error: ") + e.what());
  } catch (...) {
    die(g_path, "unexpected error");
  }
}
