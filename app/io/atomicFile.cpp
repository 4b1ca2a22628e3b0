#include "app/io/atomicFile.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/segmentation/error.h"

namespace {

// The temporaries that exist, for the signal handler: each by its folder's
// descriptor and its short name, so that removing it never needs a path
// (which could be longer than the system takes) and unlinkat stays the
// only call. A slot is complete before `used` is set and `used` is cleared
// before it changes, so the handler never sees half a name.
struct Slot {
  volatile sig_atomic_t used;
  int folder;
  char name[32];
};
Slot g_slots[4];
int g_slotsUsed = 0;

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];
bool g_installed[3];

sigset_t handledSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kSignals) sigaddset(&set, signal);
  return set;
}

// Async-signal-safe: unlinkat, sigaction and raise only. The signal stays
// blocked until the handler returns, and then ends the process with its
// default action.
extern "C" void removeTemporaries(int signal) {
  int saved = errno;
  for (Slot& slot : g_slots)
    if (slot.used) unlinkat(slot.folder, slot.name, 0);
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
  action.sa_mask = handledSignals();
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

// Registers the temporary `name` in `folder`; returns its slot, or -1 when
// none is free (the file is then written unprotected).
int registerTemporary(int folder, const char* name) {
  for (int i = 0; i < 4; ++i) {
    if (g_slots[i].used) continue;
    g_slots[i].folder = folder;
    snprintf(g_slots[i].name, sizeof g_slots[i].name, "%s", name);
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

#ifdef O_PATH
const int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
const int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

}  // namespace

int openParentFolder(const char* path, const char** name) {
  const char* slash = strrchr(path, '/');
  *name = slash != nullptr ? slash + 1 : path;
  if (slash == nullptr) return open(".", kFolderFlags);
  // "/name" lies in "/"; otherwise the folder is everything before the
  // last slash, which is shorter than the path and so fits where it does.
  size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
  char folder[PATH_MAX];
  if (length >= sizeof folder) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(folder, path, length);
  folder[length] = '\0';
  return open(folder, kFolderFlags);
}

AtomicFile::AtomicFile(const char* path) : m_path(path), m_fd(-1), m_slot(-1) {
  m_folder = openParentFolder(path, &m_name);
  int error = errno;
  // O_EXCL never reuses a file that is already there, such as another
  // process's temporary; the attempt number makes the next name. The
  // handled signals wait (blocked) from before the file exists until it is
  // registered, and then remove it if they came.
  const sigset_t handled = handledSignals();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &handled, &previous);
  for (int attempt = 0;; ++attempt) {
    snprintf(m_temp, sizeof m_temp, "dticut-%08lx-%02d.tmp",
             static_cast<unsigned long>(getpid()) & 0xffffffffUL, attempt);
    if (m_folder < 0) break;
    m_fd = openat(m_folder, m_temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    error = errno;
    if (m_fd >= 0 || error != EEXIST || attempt == 99) break;
  }
  if (m_fd >= 0) m_slot = registerTemporary(m_folder, m_temp);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (m_fd < 0) {
    if (m_folder >= 0) close(m_folder);
    throw AppError(path, "cannot create the temporary %.*s%s: %s", shownFolder(), path, m_temp,
                   strerror(error));
  }
}

AtomicFile::~AtomicFile() {
  if (m_fd >= 0) {
    close(m_fd);
    unlinkat(m_folder, m_temp, 0);
  }
  release();
  close(m_folder);
}

void AtomicFile::release() {
  if (m_slot >= 0) unregisterTemporary(m_slot);
  m_slot = -1;
}

int AtomicFile::shownFolder() const {
  int folder = static_cast<int>(m_name - m_path);
  return folder < AppError::kMaxMessage / 4 ? folder : 0;
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

// The earlier file (followed through a symbolic link, as a reader sees it)
// may hold patient-derived data behind a narrow mode: the new file must not
// be more widely readable than it. Owner and group are given first, since
// changing them clears set-user-ID and set-group-ID bits; refusals (EPERM,
// and EINVAL for an ID this system cannot map) leave the process's own.
void AtomicFile::keepEarlierOwnership() {
  struct stat earlier;
  if (fstatat(m_folder, m_name, &earlier, 0) != 0 || !S_ISREG(earlier.st_mode)) return;
  auto refused = [] { return errno == EPERM || errno == EINVAL; };
  if (fchown(m_fd, earlier.st_uid, earlier.st_gid) != 0 &&
      (!refused() || (fchown(m_fd, static_cast<uid_t>(-1), earlier.st_gid) != 0 && !refused())))
    fail("cannot give the new file the owner and group of the one it replaces");
  if (fchmod(m_fd, earlier.st_mode & 07777) != 0)
    fail("cannot give the new file the mode of the one it replaces");
}

void AtomicFile::commit() {
  keepEarlierOwnership();
  if (fsync(m_fd) != 0) fail("write failed");
  int closed = close(m_fd);
  m_fd = -1;
  if (closed != 0) {
    int error = errno;
    unlinkat(m_folder, m_temp, 0);
    release();
    throw AppError(m_path, "write failed: %s", strerror(error));
  }
  if (renameat(m_folder, m_temp, m_folder, m_name) != 0) {
    int error = errno;
    unlinkat(m_folder, m_temp, 0);
    release();
    throw AppError(m_path, "cannot rename %.*s%s into place: %s", shownFolder(), m_path, m_temp,
                   strerror(error));
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
