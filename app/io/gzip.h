// gzip streams (RFC 1952) over zlib, between byte sources and sinks
// (byteStream.h) and the NIfTI decoder and encoder, so that .nii.gz volumes
// read and write exactly the bytes of their uncompressed form.
//
// Reading pulls compressed bytes from a ByteSource (a file, a pipe or
// memory) a buffer at a time and inflates on demand: a reader holds only
// its fixed buffers, however far the stream would expand (a few hundred
// compressed bytes can inflate to gigabytes), and skipToEnd checks the rest
// (every member's CRC-32 and length) without keeping it. A stream is one or
// more members, as gzip(1) writes and zcat reads them: members decompress
// one after another into one byte sequence; zero bytes after the last member
// (block padding) are ignored, any other trailing bytes are refused. Every
// error throws AppError naming the file. Cost: one zlib pass over the data;
// zlib's state is about 45 KiB inflating, 270 KiB deflating, plus a 32 KiB
// buffer either way.
#ifndef DTICUT_APP_IO_GZIP_H
#define DTICUT_APP_IO_GZIP_H

#include <cstddef>

#include "app/io/byteStream.h"

struct z_stream_s;

// True when `bytes` start with the gzip magic 1f 8b (a NIfTI header starts
// with its size, 348 or 540, which never looks like that).
bool hasGzipMagic(const unsigned char* bytes, size_t length);

// Decompresses the gzip stream that a ByteSource yields.
class GzipReader final : public ByteSource {
 public:
  // The stream is the `taken` bytes at `start` (at most 32 KiB, already
  // read from `compressed` by the caller, e.g. to look for the magic)
  // followed by what `compressed` yields. `compressed` and `name` must
  // outlive the reader.
  GzipReader(ByteSource& compressed, const char* name, const unsigned char* start = nullptr,
             size_t taken = 0);
  ~GzipReader();
  GzipReader(const GzipReader&) = delete;
  GzipReader& operator=(const GzipReader&) = delete;

  // Decompresses the next bytes into out[0 ... capacity); returns how many,
  // fewer than `capacity` only at the end of the stream.
  size_t read(unsigned char* out, size_t capacity) override;
  // Decompresses and drops the rest of the stream, checking it to its end.
  unsigned long long skipToEnd() override;

 private:
  // Moves the unread input to the front of the buffer and tops it up from
  // the source; false when nothing was added.
  bool refill();
  // At a member's end: starts the next member, or ends the stream.
  void nextMember();

  static const size_t kInput = 1 << 15;
  ByteSource& m_compressed;
  const char* m_name;
  z_stream_s* m_zlib;             // owned; its input is always inside m_input
  unsigned long long m_produced;  // decompressed bytes so far
  bool m_memberEnded;             // the current member's trailer has been checked
  bool m_ended;                   // no data follows
  unsigned char m_input[kInput];  // compressed bytes on their way to zlib
};

// Compresses what it is given into one gzip member (no name, time 0, so the
// same bytes always give the same file) and writes it to `out`.
class GzipWriter : public ByteSink {
 public:
  // `name` names the file in errors; it and `out` must outlive the writer.
  GzipWriter(ByteSink& out, const char* name);
  ~GzipWriter();
  GzipWriter(const GzipWriter&) = delete;
  GzipWriter& operator=(const GzipWriter&) = delete;

  void write(const unsigned char* bytes, size_t length) override;
  // Writes the member's end (CRC-32 and length); nothing may follow.
  void finish();

 private:
  // Runs deflate over the pending input with `flush`, writing every full
  // output buffer, until zlib needs more input (or, finishing, is done).
  void deflatePending(int flush);

  static const int kBuffer = 1 << 15;
  ByteSink& m_out;
  const char* m_name;
  z_stream_s* m_zlib;               // owned
  unsigned char m_buffer[kBuffer];  // compressed output on its way to m_out
};

#endif  // DTICUT_APP_IO_GZIP_H
