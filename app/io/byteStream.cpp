#include "app/io/byteStream.h"

#include <cassert>
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/segmentation/error.h"

size_t MemorySource::read(unsigned char* out, size_t capacity) {
  size_t n = capacity < m_length - m_next ? capacity : m_length - m_next;
  if (n > 0) memcpy(out, m_bytes + m_next, n);
  m_next += n;
  return n;
}

const unsigned char* MemorySource::borrow(size_t length) {
  if (length > m_length - m_next) return nullptr;
  m_next += length;
  return m_bytes + m_next - length;
}

unsigned long long MemorySource::skipToEnd() {
  size_t rest = m_length - m_next;
  m_next = m_length;
  return rest;
}


FileSource::FileSource(const char* path) : m_path(path) {
  m_fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (m_fd < 0) throw AppError(path, "cannot open: %s", strerror(errno));
  struct stat status;
  if (fstat(m_fd, &status) == 0) {
    if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
      close(m_fd);
      throw AppError(path, "is a device, expected a regular file or a pipe");
    }
    if (S_ISREG(status.st_mode)) m_length = static_cast<unsigned long long>(status.st_size);
  }
  if (m_length == kUnknownLength) {
    try {
      drain();
    } catch (...) {
      close(m_fd);
      throw;
    }
  }
}

FileSource::~FileSource() { close(m_fd); }

size_t FileSource::read(unsigned char* out, size_t capacity) {
  if (m_drained) {
    size_t rest = m_buffer.size() - static_cast<size_t>(m_consumed);
    size_t done = capacity < rest ? capacity : rest;
    memcpy(out, m_buffer.data() + m_consumed, done);
    m_consumed += done;
    return done;
  }
  size_t done = 0;
  while (done < capacity) {
    size_t piece = capacity - done < (1u << 30) ? capacity - done : (1u << 30);
    ssize_t n = ::read(m_fd, out + done, piece);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw AppError(m_path, "read failed: %s", strerror(errno));
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  m_consumed += done;
  return done;
}

unsigned long long FileSource::skipToEnd() {
  unsigned long long rest = m_length > m_consumed ? m_length - m_consumed : 0;
  m_consumed += rest;
  return rest;
}

void FileSource::drain() {
  unsigned char piece[1 << 16];
  for (size_t n; (n = read(piece, sizeof piece)) > 0;) {
    try {
      m_buffer.insert(m_buffer.end(), piece, piece + n);
    } catch (const std::bad_alloc&) {
      throw AppError(AppError::kOutOfMemory, "%s: no room for the %zu bytes read from the pipe so far",
                     m_path, m_buffer.size() + n);
    }
  }
  m_length = m_buffer.size();
  m_consumed = 0;
  m_drained = true;
}

void ChunkWriter::put(const unsigned char* bytes, int size) {
  assert(size >= 0 && size <= kChunk);
  if (m_used + size > kChunk) flush();
  memcpy(m_chunk + m_used, bytes, size);
  m_used += size;
}

void ChunkWriter::putZeros(unsigned long long count) {
  while (count > 0) {
    if (m_used == kChunk) flush();
    int piece = static_cast<int>(
        count < static_cast<unsigned long long>(kChunk - m_used) ? count : kChunk - m_used);
    memset(m_chunk + m_used, 0, piece);
    m_used += piece;
    count -= piece;
  }
}

void ChunkWriter::flush() {
  m_sink.write(m_chunk, m_used);
  m_used = 0;
}
