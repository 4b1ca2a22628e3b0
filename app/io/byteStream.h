// Byte sources and sinks: the layer under the file formats. Reading pulls
// bytes in order, once, from a file, a pipe, memory or a decompressor
// (gzip.h) in front of one of them; writing pushes them to a file
// (atomicFile.h) or a compressor in front of one. A source never reads
// further ahead than it is asked to, so a file is read exactly as far as
// its format needs. Every failure throws AppError naming the file.
#ifndef DTICUT_APP_IO_BYTESTREAM_H
#define DTICUT_APP_IO_BYTESTREAM_H

#include <climits>
#include <cstddef>
#include <vector>

// Where read bytes come from, in order and once: a file, memory, or a
// decompressor in front of one of them.
class ByteSource {
 public:
  // Reads the next bytes into out[0 ... capacity); returns how many, fewer
  // than `capacity` only at the end.
  virtual size_t read(unsigned char* out, size_t capacity) = 0;
  // Reads and drops the rest; returns how many bytes that was.
  virtual unsigned long long skipToEnd() = 0;
  // The next `length` bytes where the source already holds them all in
  // memory, valid as long as the source, and then consumed; otherwise null
  // and nothing consumed, and read() copies them.
  virtual const unsigned char* borrow(size_t) { return nullptr; }

 protected:
  ~ByteSource() {}
};

// Where written bytes go: a file, or a compressor in front of one.
class ByteSink {
 public:
  virtual void write(const unsigned char* bytes, size_t length) = 0;

 protected:
  ~ByteSink() {}
};

// Bytes that stay in the caller's memory, which must outlive the source.
class MemorySource final : public ByteSource {
 public:
  MemorySource(const unsigned char* bytes, size_t length) : m_bytes(bytes), m_length(length) {}
  size_t read(unsigned char* out, size_t capacity) override;
  unsigned long long skipToEnd() override;
  const unsigned char* borrow(size_t length) override;

 private:
  const unsigned char* m_bytes;
  size_t m_length;
  size_t m_next = 0;  // bytes handed out so far
};

// The length of a source whose end is not known in advance.
const unsigned long long kUnknownLength = ULLONG_MAX;

// A file or pipe, read strictly forward with read(2) and no buffering of
// its own, so that nothing beyond what is asked for leaves the file.
class FileSource final : public ByteSource {
 public:
  // Devices are refused: one like /dev/zero never ends. A pipe or FIFO is
  // read to its end at once, into memory: the caller checks every file's
  // header before reading voxels, so with several pipes open a writer that
  // fills them one after another would otherwise wait on us forever.
  explicit FileSource(const char* path);
  ~FileSource();
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  size_t read(unsigned char* out, size_t capacity) override;
  // The rest is known from the size.
  unsigned long long skipToEnd() override;
  // The size of the file, or of all a pipe held.
  unsigned long long length() const { return m_length; }

 private:
  void drain();

  const char* m_path;
  int m_fd;
  unsigned long long m_length = kUnknownLength;
  unsigned long long m_consumed = 0;    // bytes read so far
  std::vector<unsigned char> m_buffer;  // a pipe's whole content
  bool m_drained = false;
};

// Collects small pieces of output and hands them to the sink in large ones.
class ChunkWriter {
 public:
  explicit ChunkWriter(ByteSink& sink) : m_sink(sink), m_used(0) {}
  void put(const unsigned char* bytes, int size);
  void putZeros(unsigned long long count);
  void flush();

 private:
  static const int kChunk = 1 << 16;
  ByteSink& m_sink;
  unsigned char m_chunk[kChunk];
  int m_used;
};

#endif  // DTICUT_APP_IO_BYTESTREAM_H
