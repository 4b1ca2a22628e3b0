// gzip streams (RFC 1952) over zlib: the layer between files and the NIfTI
// decoder and encoder, so that .nii.gz volumes read and write exactly the
// bytes of their uncompressed form.
//
// Reading inflates a stream held in memory on demand: a reader keeps only
// the bytes it asks for, however far the stream would expand (a few hundred
// compressed bytes can inflate to gigabytes), and skipToEnd checks the rest
// (every member's CRC-32 and length) through a fixed scratch buffer. A
// stream is one or more members, as gzip(1) writes and zcat reads them:
// members decompress one after another into one byte sequence; zero bytes
// after the last member (block padding) are ignored, any other trailing
// bytes are refused. Every error throws AppError naming the file.
// Cost: one zlib pass over the data; zlib's state is about 45 KiB
// inflating, 270 KiB deflating.
#ifndef DTICUT_APP_GZIP_H
#define DTICUT_APP_GZIP_H

#include <cstddef>

struct z_stream_s;

// True when `bytes` start with the gzip magic 1f 8b (a NIfTI-1 header
// starts with its size, 348, which never looks like that).
bool hasGzipMagic(const unsigned char* bytes, size_t length);

// Where written bytes go: a file, or a compressor in front of one.
class ByteSink {
 public:
  virtual void write(const unsigned char* bytes, size_t length) = 0;

 protected:
  ~ByteSink() {}
};

// Decompresses a gzip stream that stays in the caller's memory.
class GzipReader {
 public:
  // `stream` (length bytes, starting with the magic) and `name` must
  // outlive the reader.
  GzipReader(const unsigned char* stream, size_t length, const char* name);
  ~GzipReader();
  GzipReader(const GzipReader&) = delete;
  GzipReader& operator=(const GzipReader&) = delete;

  // Decompresses the next bytes into out[0 ... capacity); returns how many,
  // fewer than `capacity` only at the end of the stream.
  size_t read(unsigned char* out, size_t capacity);
  // Decompresses and drops the rest of the stream; returns how many bytes
  // that was.
  unsigned long long skipToEnd();

 private:
  // Makes the next piece of the stream zlib's input; false when none is left.
  bool refill();
  // At a member's end: starts the next member, or ends the stream.
  void nextMember();

  const unsigned char* m_stream;
  size_t m_length;
  size_t m_fed;  // bytes of the stream handed to zlib so far
  const char* m_name;
  z_stream_s* m_zlib;             // owned
  unsigned long long m_produced;  // decompressed bytes so far
  bool m_memberEnded;             // the current member's trailer has been checked
  bool m_ended;                   // no data follows
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

#endif  // DTICUT_APP_GZIP_H
