// Tests of the gzip layer: what the writer makes inflates, by zlib alone, to
// what it was given; the reader accepts what gzip(1) accepts and refuses the
// rest with the file named.
#include "app/io/gzip.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/io/niiIO.h"
#include "tests/app/nifti_files.h"

using namespace testfiles;

namespace {

struct MemorySink : ByteSink {
  Bytes bytes;
  void write(const unsigned char* data, size_t length) override {
    bytes.insert(bytes.end(), data, data + length);
  }
};

// Compressible bytes: short runs drawn from a small alphabet.
Bytes sample(size_t length, unsigned seed) {
  std::mt19937 random(seed);
  Bytes out;
  while (out.size() < length) out.resize(out.size() + random() % 9, "ab\0xyz"[random() % 6]);
  out.resize(length);
  return out;
}

Bytes compress(const Bytes& input, size_t piece) {
  MemorySink sink;
  GzipWriter writer(sink, "out.gz");
  for (size_t at = 0; at < input.size(); at += piece)
    writer.write(input.data() + at, std::min(piece, input.size() - at));
  writer.finish();
  return sink.bytes;
}

Bytes inflateAll(const Bytes& stream, size_t piece) {
  MemorySource source(stream.data(), stream.size());
  GzipReader reader(source, "in.gz");
  Bytes out, buffer(piece);
  size_t got;
  do {
    got = reader.read(buffer.data(), piece);
    out.insert(out.end(), buffer.begin(), buffer.begin() + got);
  } while (got == piece);
  return out;
}

// The reader's error for `stream`, or "no error" when it is read.
std::string readError(const Bytes& stream) {
  return testfiles::errorOf([&] { inflateAll(stream, 4096); });
}

}  // namespace

// The longest input is noise: its compressed form fills several output
// buffers while one piece of input is taken.
TEST(GzipTest, WriterOutputInflatesToItsInputWhateverThePieces) {
  std::mt19937 noise(7);
  for (size_t length : {0, 1, 5000, 300000}) {
    SCOPED_TRACE(length);
    Bytes input = sample(length, 7);
    if (length == 300000)
      for (unsigned char& byte : input) byte = static_cast<unsigned char>(noise());
    Bytes whole = compress(input, 1 << 20);
    EXPECT_EQ(gunzipped(whole), input);
    EXPECT_EQ(compress(input, 777), whole);
    // No file name and time 0: the same bytes always give the same file.
    EXPECT_EQ(Bytes(whole.begin() + 3, whole.begin() + 8), Bytes(5, 0));  // flags, mtime
  }
}

// Members decompress one after another into one sequence, read in pieces
// of any size; zero padding after the last is ignored. The reader takes
// its input 32 KiB at a time: the first member (incompressible, so its
// size follows its length) ends one byte short of that, so the next
// member's magic straddles two pieces, and the padding spans several.
TEST(GzipTest, ReaderJoinsMembersAndIgnoresZeroPadding) {
  std::mt19937 random(5);
  Bytes a(32000);
  for (unsigned char& byte : a) byte = static_cast<unsigned char>(random());
  for (size_t size = gzipped(a).size(); size < 32767; size = gzipped(a).size())
    for (size_t i = size; i < 32767; ++i) a.push_back(static_cast<unsigned char>(random()));
  ASSERT_EQ(gzipped(a).size(), 32767u);
  Bytes b = sample(70000, 2);
  Bytes stream = gzipped(a), second = gzipped(b), empty = gzipped({});
  stream.insert(stream.end(), empty.begin(), empty.end());
  stream.insert(stream.end(), second.begin(), second.end());
  stream.resize(stream.size() + 70000, 0);
  Bytes expected = a;
  expected.insert(expected.end(), b.begin(), b.end());
  for (size_t piece : {1, 333, 1 << 20}) EXPECT_EQ(inflateAll(stream, piece), expected) << piece;
  MemorySource source(stream.data(), stream.size());
  GzipReader reader(source, "in.gz");
  unsigned char first[10];
  EXPECT_EQ(reader.read(first, 10), 10u);
  EXPECT_EQ(reader.skipToEnd(), expected.size() - 10);
  EXPECT_EQ(reader.read(first, 10), 0u);
}

TEST(GzipTest, DamagedStreamsAreRefusedWithTheFileNamed) {
  const Bytes input = sample(5000, 4);
  const Bytes stream = gzipped(input);
  Bytes garbage = stream;
  garbage.insert(garbage.end(), {0, 'x', 0});
  EXPECT_EQ(readError(garbage),
            "in.gz: 3 bytes after the end of the gzip data are neither another gzip member nor "
            "zero padding");
  // Cut anywhere, the stream is truncated; changed anywhere, it is refused
  // or, for the header bytes zlib does not check, read unchanged. (The
  // message of damaged data is checked through the command, in the hostile
  // suite.)
  for (size_t at = 0; at < stream.size(); ++at) {
    SCOPED_TRACE(at);
    std::string error = readError(Bytes(stream.begin(), stream.begin() + at));
    EXPECT_EQ(error.rfind("in.gz: gzip data is truncated: the stream ends after ", 0), 0u) << error;
    Bytes damaged = stream;
    damaged[at] ^= 0x24;
    if (readError(damaged) == "no error") {
      EXPECT_EQ(inflateAll(damaged, 4096), input);
    }
  }
}
