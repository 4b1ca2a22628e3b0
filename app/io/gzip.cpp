#include "app/io/gzip.h"

#include <climits>
#include <cstring>
#include <new>

#define ZLIB_CONST
#include <zlib.h>

#include "app/segmentation/error.h"

namespace {

// zlib counts in 32-bit unsigned pieces; longer buffers go in several.
uInt pieceOf(size_t length) {
  return length > UINT_MAX ? UINT_MAX : static_cast<uInt>(length);
}

// Window bits that make zlib read and write the gzip wrapper, not zlib's.
const int kGzipWindowBits = 16 + MAX_WBITS;

}  // namespace

bool hasGzipMagic(const unsigned char* bytes, size_t length) {
  return length >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b;
}

GzipReader::GzipReader(ByteSource& compressed, const char* name, const unsigned char* start,
                       size_t taken)
    : m_compressed(compressed),
      m_name(name),
      m_zlib(new (std::nothrow) z_stream_s()),
      m_produced(0),
      m_memberEnded(false),
      m_ended(false) {
  if (m_zlib == nullptr || inflateInit2(m_zlib, kGzipWindowBits) != Z_OK) {
    delete m_zlib;
    throw AppError(AppError::kOutOfMemory, "%s: about 45 KiB needed to decompress it", name);
  }
  if (taken > kInput) taken = kInput;
  if (taken > 0) memcpy(m_input, start, taken);
  m_zlib->next_in = m_input;
  m_zlib->avail_in = static_cast<uInt>(taken);
}

GzipReader::~GzipReader() {
  inflateEnd(m_zlib);
  delete m_zlib;
}

bool GzipReader::refill() {
  size_t kept = m_zlib->avail_in;
  memmove(m_input, m_zlib->next_in, kept);
  size_t added = m_compressed.read(m_input + kept, kInput - kept);
  m_zlib->next_in = m_input;
  m_zlib->avail_in = static_cast<uInt>(kept + added);
  return added > 0;
}

void GzipReader::nextMember() {
  // The magic may straddle the end of the buffer.
  if (m_zlib->avail_in < 2) refill();
  if (hasGzipMagic(m_zlib->next_in, m_zlib->avail_in)) {
    inflateReset(m_zlib);  // keeps the pending input
    m_memberEnded = false;
    return;
  }
  unsigned long long trailing = 0;
  bool padding = true;
  do {
    for (uInt i = 0; i < m_zlib->avail_in; ++i) padding = padding && m_zlib->next_in[i] == 0;
    trailing += m_zlib->avail_in;
    m_zlib->avail_in = 0;
  } while (refill());
  if (!padding)
    throw AppError(m_name,
                   "%llu bytes after the end of the gzip data are neither another gzip member "
                   "nor zero padding",
                   trailing);
  m_ended = true;
}

size_t GzipReader::read(unsigned char* out, size_t capacity) {
  size_t done = 0;
  while (done < capacity && !m_ended) {
    if (m_memberEnded) {
      nextMember();
      continue;
    }
    if (m_zlib->avail_in == 0 && !refill())
      throw AppError(m_name,
                     "gzip data is truncated: the stream ends after %llu bytes "
                     "decompressed, before the end of its last member",
                     m_produced);
    uInt room = pieceOf(capacity - done);
    m_zlib->next_out = out + done;
    m_zlib->avail_out = room;
    int status = inflate(m_zlib, Z_NO_FLUSH);
    size_t made = room - m_zlib->avail_out;
    done += made;
    m_produced += made;
    if (status == Z_STREAM_END) {
      m_memberEnded = true;
    } else if (status == Z_MEM_ERROR) {
      throw AppError(AppError::kOutOfMemory, "%s: about 45 KiB needed to decompress it", m_name);
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      // Z_BUF_ERROR only says that the input ran out; the next turn
      // refills it or reports the truncation.
      throw AppError(m_name, "corrupt gzip data after %llu bytes decompressed: %s", m_produced,
                     m_zlib->msg != nullptr ? m_zlib->msg : "unreadable stream");
    }
  }
  return done;
}

unsigned long long GzipReader::skipToEnd() {
  unsigned char scratch[1 << 15];
  unsigned long long skipped = 0;
  while (!m_ended) skipped += read(scratch, sizeof scratch);
  return skipped;
}

GzipWriter::GzipWriter(ByteSink& out, const char* name)
    : m_out(out), m_name(name), m_zlib(new (std::nothrow) z_stream_s()) {
  if (m_zlib == nullptr || deflateInit2(m_zlib, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits,
                                        8, Z_DEFAULT_STRATEGY) != Z_OK) {
    delete m_zlib;
    throw AppError(AppError::kOutOfMemory, "%s: about 270 KiB needed to compress it", name);
  }
}

GzipWriter::~GzipWriter() {
  deflateEnd(m_zlib);
  delete m_zlib;
}

void GzipWriter::deflatePending(int flush) {
  for (;;) {
    m_zlib->next_out = m_buffer;
    m_zlib->avail_out = kBuffer;
    int status = deflate(m_zlib, flush);
    size_t made = kBuffer - m_zlib->avail_out;
    if (made > 0) m_out.write(m_buffer, made);
    if (status == Z_STREAM_END) return;
    if (status != Z_OK && status != Z_BUF_ERROR)
      throw AppError(m_name, "compression failed: %s",
                     m_zlib->msg != nullptr ? m_zlib->msg : "zlib error");
    // A full output buffer may hide more output; otherwise zlib has taken
    // all the input it was given.
    if (flush == Z_NO_FLUSH && m_zlib->avail_out != 0) return;
  }
}

void GzipWriter::write(const unsigned char* bytes, size_t length) {
  while (length > 0) {
    uInt piece = pieceOf(length);
    m_zlib->next_in = bytes;
    m_zlib->avail_in = piece;
    deflatePending(Z_NO_FLUSH);
    bytes += piece;
    length -= piece;
  }
}

void GzipWriter::finish() {
  m_zlib->next_in = nullptr;
  m_zlib->avail_in = 0;
  deflatePending(Z_FINISH);
}
