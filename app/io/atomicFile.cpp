#include "app/io/atomicFile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <unistd.h>

#include "app/segmentation/error.h"

namespace {

// The temporaries that exist, for the signal handler. A slot's path is
// complete before `used` is set and `used` is cleared before the path
// changes, so the handler never sees half a name.
struct Slot {
  volatile sig_atomic_t used;
  char path[4096];
};
Slot g_slots[4];
int g_slotsUsed = 0;

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];
bool g_installed[3];

// Async-signal-safe: unlink, sigaction and raise only. The signal stays
// blocked until the handler returns, and then ends the process with its
// default action.
extern "C" void removeTemporaries(int signal) {
  int saved = errno;
  for (Slot& slot : g_slots)
    if (slot.used) unlink(slot.path);
  struct sigaction fallback;
  memset(&fallback, 0, sizeof fallback);
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  raise(signal);
  errno = saved;
}

// A signal whose action is not the default (ignored, say under nohup, or
// handled by the program) is left as it is.
void installHandlers() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = removeTemporaries;
  sigemptyset(&action.sa_mask);
  for (int signal : kSignals) sigaddset(&action.sa_mask, signal);
  for (int i = 0; i < 3; ++i) {
    g_installed[i] = sigaction(kSignals[i], nullptr, &g_previous[i]) == 0 &&
                     g_previous[i].sa_handler == SIG_DFL &&
                     (g_previous[i].sa_flags & SA_SIGINFO) == 0 &&
                     sigaction(kSignals[i], &action, nullptr) == 0;
  }
}

void restoreHandlers() {
  for (int i = 0; i < 3; ++i)
    if (g_installed[i]) sigaction(kSignals[i], &g_previous[i], nullptr);
}

// Registers `path`; returns its slot, or -1 when none is free or the name
// is too long (the file is then written unprotected).
int registerTemporary(const char* path) {
  size_t length = strlen(path);
  for (int i = 0; i < 4; ++i) {
    if (g_slots[i].used || length >= sizeof g_slots[i].path) continue;
    memcpy(g_slots[i].path, path, length + 1);
    if (g_slotsUsed++ == 0) installHandlers();
    g_slots[i].used = 1;
    return i;
  }
  return -1;
}

void unregisterTemporary(int slot) {
  g_slots[slot].used = 0;
  if (--g_slotsUsed == 0) restoreHandlers();
}

}  // namespace

AtomicFile::AtomicFile(const char* path) : m_path(path), m_slot(-1) {
  // The temporary goes in the destination's folder under a short name of
  // its own.
  const char* slash = strrchr(path, '/');
  int folder = slash != nullptr ? static_cast<int>(slash - path + 1) : 0;
  size_t length = folder + 32;
  m_temp = new (std::nothrow) char[length];
  if (m_temp == nullptr)
    throw AppError(AppError::kOutOfMemory, "%s: %zu bytes needed for a temporary name", path, length);
  // O_EXCL never reuses a file that is already there, such as another
  // process's temporary; the attempt number makes the next name.
  for (int attempt = 0;; ++attempt) {
    snprintf(m_temp, length, "%.*sdticut-%08lx-%02d.tmp", folder, path,
             static_cast<unsigned long>(getpid()) & 0xffffffffUL, attempt);
    m_fd = open(m_temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (m_fd >= 0 || errno != EEXIST || attempt == 99) break;
  }
  if (m_fd < 0) {
    int error = errno;
    AppError failure(path, "cannot create the temporary %s: %s", m_temp, strerror(error));
    delete[] m_temp;
    throw failure;
  }
  m_slot = registerTemporary(m_temp);
}

AtomicFile::~AtomicFile() {
  if (m_fd >= 0) {
    close(m_fd);
    unlink(m_temp);
  }
  release();
  delete[] m_temp;
}

void AtomicFile::release() {
  if (m_slot >= 0) unregisterTemporary(m_slot);
  m_slot = -1;
}

void AtomicFile::write(const unsigned char* bytes, size_t length) {
  while (length > 0) {
    ssize_t written = ::write(m_fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) fail("write failed");
    bytes += written;
    length -= static_cast<size_t>(written);
  }
}

void AtomicFile::commit() {
  if (fsync(m_fd) != 0) fail("write failed");
  int closed = close(m_fd);
  m_fd = -1;
  if (closed != 0) {
    int error = errno;
    unlink(m_temp);
    release();
    throw AppError(m_path, "write failed: %s", strerror(error));
  }
  if (rename(m_temp, m_path) != 0) {
    int error = errno;
    unlink(m_temp);
    release();
    throw AppError(m_path, "cannot rename %s into place: %s", m_temp, strerror(error));
  }
  // Released only now: a signal between the rename and here unlinks a
  // name that no longer exists, which does nothing.
  release();
}

void AtomicFile::fail(const char* what) {
  // A zero-length write without errno (cannot happen for regular files)
  // still needs a reason.
  throw AppError(m_path, "%s: %s", what, errno != 0 ? strerror(errno) : "no progress");
}
