// libFuzzer target for the NIfTI-1 reader: any byte string either decodes
// into a volume that agrees with a plain reading of the same bytes (after
// zlib's own inflation when they start with the gzip magic), or is refused
// with a AppError that names the input. Crashes, leaks, undefined
// behaviour and reads beyond the input are found by the sanitizers.
//
// Writing is not exercised: writeData only writes through a temporary file
// beside its destination, and the target stays off the disk.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "app/niiIO.h"

namespace {

const char kName[] = "fuzz input";

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "nifti_fuzz: %s\n", what);
  std::abort();
}

// The reference reading: fields assembled from single bytes by shifts, so
// that it shares nothing with the reader's byte-order handling.
struct PlainReader {
  const uint8_t* bytes;
  bool bigEndian;

  uint32_t word(size_t at, int width) const {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
      int from = bigEndian ? i : width - 1 - i;
      value = (value << 8) | bytes[at + from];
    }
    return value;
  }
  int16_t int16At(size_t at) const { return static_cast<int16_t>(word(at, 2)); }
  float floatAt(size_t at) const {
    uint32_t bits = word(at, 4);
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
  }
};

bool hostIsBigEndian() {
  const uint16_t probe = 1;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  return first == 0;
}

bool sameBits(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// A decoded volume against the plain reading of `bytes`.
void checkVolume(const niiIO& volume, const uint8_t* bytes, size_t size) {
  require(size >= static_cast<size_t>(kNiftiHeaderSize), "a volume from a short file");
  require(std::memcmp(volume.rawHeader, bytes, kNiftiHeaderSize) == 0, "header bytes changed");
  bool swapped = volume.header->byteSwap != 0;
  PlainReader in = {bytes, hostIsBigEndian() != swapped};
  uint32_t sizeofHdr = in.word(0, 4);
  require(sizeofHdr >= 338 && sizeofHdr <= 358, "header size outside the accepted window");
  int dims[3] = {in.int16At(42), in.int16At(44), in.int16At(46)};
  require(volume.dimX == dims[0] && volume.dimY == dims[1] && volume.dimZ == dims[2],
          "dimensions differ from dim[1..3]");
  long long count = 1LL * dims[0] * dims[1] * dims[2];
  require(dims[0] >= 1 && dims[1] >= 1 && dims[2] >= 1 && count == volume.numVoxels,
          "voxel count is not the product of positive dimensions");
  int datatype = in.int16At(70);
  int width = datatype == 2 ? 1 : datatype == 4 ? 2 : datatype == 16 ? 4 : 0;
  require(width != 0 && width == volume.bytesPerVoxel, "accepted datatype or its voxel size");
  // An unset offset (0) places the voxels after the header and its four
  // extension bytes; any other accepted offset is at least the header size.
  float offset = in.floatAt(108);
  if (offset == 0.0f) offset = 352.0f;
  require(offset >= 348.0f && static_cast<double>(offset) <= static_cast<double>(size),
          "voxel offset inside the header or outside the file");
  size_t start = static_cast<size_t>(offset);
  require(size - start >= static_cast<size_t>(count) * width, "voxels beyond the end of the file");
  for (long long i = 0; i < count; ++i) {
    size_t at = start + static_cast<size_t>(i) * width;
    float expected = width == 1   ? static_cast<float>(bytes[at])
                     : width == 2 ? static_cast<float>(in.int16At(at))
                                  : in.floatAt(at);
    require(sameBits(volume.data[i], expected), "voxel value differs from the file's");
  }
}

// The content of a gzip stream of one or more members, inflated by zlib
// directly, as far as `limit` bytes; the reader has already vouched for the
// stream's integrity when this is called.
std::vector<uint8_t> inflated(const uint8_t* data, size_t size, size_t limit) {
  std::vector<uint8_t> out;
  z_stream zs = {};
  inflateInit2(&zs, 16 + MAX_WBITS);
  zs.next_in = const_cast<uint8_t*>(data);
  zs.avail_in = static_cast<uInt>(size);
  uint8_t chunk[1 << 14];
  while (out.size() < limit) {
    zs.next_out = chunk;
    zs.avail_out = sizeof chunk;
    int status = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - zs.avail_out));
    if (status == Z_STREAM_END && zs.avail_in >= 2 && zs.next_in[0] == 0x1f && zs.next_in[1] == 0x8b)
      inflateReset(&zs);
    else if (status != Z_OK)
      break;
  }
  inflateEnd(&zs);
  if (out.size() > limit) out.resize(limit);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    niiIO volume(data, size, kName);
    if (size >= 2 && data[0] == 0x1f && data[1] == 0x8b) {
      std::vector<uint8_t> plain = inflated(data, size, size_t(1) << 26);
      checkVolume(volume, plain.data(), plain.size());
    } else {
      checkVolume(volume, data, size);
    }
  } catch (const AppError& error) {
    require(std::strncmp(error.what(), kName, sizeof kName - 1) == 0 &&
                error.what()[sizeof kName - 1] == ':',
            "a refusal that does not name the input");
  }
  return 0;
}
