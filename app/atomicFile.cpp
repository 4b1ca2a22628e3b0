#include "app/atomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "app/error.h"

AtomicFile::AtomicFile(const char* path) : m_path(path) {
  size_t length = strlen(path) + 48;
  m_temp = new char[length];
  // O_EXCL never reuses a file that is already there, such as another
  // process's temporary; the attempt number makes the next name.
  for (int attempt = 0;; ++attempt) {
    snprintf(m_temp, length, "%s.tmp%ld.%d", path, static_cast<long>(getpid()), attempt);
    m_fd = open(m_temp, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (m_fd >= 0 || errno != EEXIST || attempt == 99) break;
  }
  if (m_fd < 0) {
    int error = errno;
    AppError failure(path, "cannot create %s: %s", m_temp, strerror(error));
    delete[] m_temp;
    throw failure;
  }
}

AtomicFile::~AtomicFile() {
  if (m_fd >= 0) {
    close(m_fd);
    unlink(m_temp);
  }
  delete[] m_temp;
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
    throw AppError(m_path, "write failed: %s", strerror(error));
  }
  if (rename(m_temp, m_path) != 0) {
    int error = errno;
    unlink(m_temp);
    throw AppError(m_path, "cannot rename %s into place: %s", m_temp, strerror(error));
  }
}

void AtomicFile::fail(const char* what) {
  // A zero-length write without errno (cannot happen for regular files)
  // still needs a reason.
  throw AppError(m_path, "%s: %s", what, errno != 0 ? strerror(errno) : "no progress");
}
