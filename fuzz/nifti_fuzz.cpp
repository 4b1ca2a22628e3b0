// libFuzzer target for the NIfTI reader: any byte string is accepted
// exactly when a plain reading of the same bytes (after zlib's own
// inflation when they start with the gzip magic) finds a valid NIfTI-1 or
// NIfTI-2 file, and then decodes to the same header and values, bit for
// bit: every datatype, scaling, the version and byte order, the offset
// rule, and up to three volumes over the dims beyond the third. A refusal
// is an AppError that names the input. Crashes, leaks, undefined behaviour
// and reads beyond the input are found by the sanitizers.
//
// Writing is not exercised: writeData only writes through a temporary file
// beside its destination, and the target stays off the disk.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <zlib.h>

#include "app/io/niiIO.h"
#include "tests/app/nifti_files.h"

namespace {

const char kName[] = "fuzz input";

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "nifti_fuzz: %s\n", what);
  std::abort();
}

// Fields assembled from single bytes by shifts, so that the reading shares
// nothing with the reader's byte-order handling.
struct PlainReader {
  const uint8_t* bytes;
  bool bigEndian;

  uint64_t word(size_t at, int width) const {
    uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
      int from = bigEndian ? i : width - 1 - i;
      value = (value << 8) | bytes[at + from];
    }
    return value;
  }
  int64_t signedWord(size_t at, int width) const {
    uint64_t value = word(at, width);
    int shift = 64 - 8 * width;
    return static_cast<int64_t>(value << shift) >> shift;
  }
  float float32(size_t at) const {
    uint32_t bits = static_cast<uint32_t>(word(at, 4));
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
  }
  double float64(size_t at) const {
    uint64_t bits = word(at, 8);
    double value;
    std::memcpy(&value, &bits, 8);
    return value;
  }
};

// What a valid file must decode to.
struct Expected {
  bool valid = false;
  int version = 0;
  bool swapped = false;
  int64_t dim[8] = {};
  int datatype = 0;
  long long held = 0;  // volumes in the file
  int volumes = 0;     // volumes read: held, at most 3
  std::vector<float> values;
};

// The voxel at `at` of `datatype` (`width` bytes) as a float, by the C
// conversions: straight to float, or scaled in double and then to float.
float voxelAt(const PlainReader& in, size_t at, int datatype, int width, bool scaled, double slope,
              double inter) {
  double wide;
  float narrow;
  if (datatype == 16) {
    narrow = in.float32(at);
    wide = narrow;
  } else if (datatype == 64) {
    wide = in.float64(at);
    narrow = static_cast<float>(wide);
  } else if (datatype == 256 || datatype == 4 || datatype == 8 || datatype == 1024) {
    int64_t raw = in.signedWord(at, width);
    narrow = static_cast<float>(raw);
    wide = static_cast<double>(raw);
  } else {
    uint64_t raw = in.word(at, width);
    narrow = static_cast<float>(raw);
    wide = static_cast<double>(raw);
  }
  return scaled ? static_cast<float>(wide * slope + inter) : narrow;
}

// The plain reading of a whole file's content.
Expected expect(const uint8_t* bytes, size_t size) {
  Expected e;
  if (size < 348) return e;
  const bool host = testfiles::hostIsBigEndian();
  PlainReader asHost = {bytes, host}, asSwapped = {bytes, !host};
  int64_t n = static_cast<int32_t>(asHost.word(0, 4)),
          m = static_cast<int32_t>(asSwapped.word(0, 4));
  if (n >= 338 && n <= 358)
    e.version = 1;
  else if (m >= 339 && m <= 357)
    e.version = 1, e.swapped = true;
  else if (n == 540)
    e.version = 2;
  else if (m == 540)
    e.version = 2, e.swapped = true;
  else
    return e;
  const bool one = e.version == 1;
  const size_t headerSize = one ? 348 : 540;
  if (size < headerSize) return e;
  if (!one && std::memcmp(bytes + 4, "n+2\0\r\n\032\n", 8) != 0) return e;
  const PlainReader in = e.swapped ? asSwapped : asHost;
  for (int i = 0; i < 8; ++i)
    e.dim[i] = one ? in.signedWord(40 + 2 * i, 2) : in.signedWord(16 + 8 * i, 8);
  e.datatype = static_cast<int>(in.signedWord(one ? 70 : 12, 2));
  const int width = testfiles::elementSize(e.datatype);
  if (width == 0) return e;
  unsigned __int128 count = 1;
  for (int i = 1; i <= 3; ++i) {
    if (e.dim[i] < 1 || e.dim[i] > 2147483647) return e;  // then the product fits
    count *= static_cast<uint64_t>(e.dim[i]);
  }
  if (count > 2147483647) return e;
  unsigned long long start;
  if (one) {
    float offset = in.float32(108);
    if (!(offset >= 0.0f) || std::isinf(offset) || (offset > 0.0f && offset < 348.0f)) return e;
    if (static_cast<double>(offset) > static_cast<double>(size)) return e;
    start = offset == 0.0f ? 352 : static_cast<unsigned long long>(offset);
  } else {
    int64_t offset = in.signedWord(168, 8);
    if (offset < 0 || (offset > 0 && offset < 540)) return e;
    start = offset == 0 ? 544 : static_cast<unsigned long long>(offset);
  }
  unsigned __int128 held = 1;
  for (int i = 4; i <= e.dim[0] && i < 8; ++i)
    if (e.dim[i] > 1 && held <= 3) held *= static_cast<uint64_t>(e.dim[i]);
  e.held = held > 3 ? 4 : static_cast<long long>(held);  // only "more than 3" matters
  e.volumes = e.held > 3 ? 3 : static_cast<int>(e.held);
  const size_t values = static_cast<size_t>(count) * e.volumes;
  if (start > size || (size - start) / width < values) return e;

  double slope = one ? in.float32(112) : in.float64(176);
  double inter = one ? in.float32(116) : in.float64(184);
  if (!std::isfinite(inter)) inter = 0;
  bool scaled = std::isfinite(slope) && slope != 0 && !(slope == 1 && inter == 0);
  for (size_t i = 0; i < values; ++i)
    e.values.push_back(voxelAt(in, start + i * width, e.datatype, width, scaled, slope, inter));
  e.valid = true;
  return e;
}

// The content of a gzip stream of one or more members, inflated by zlib
// directly; `intact` tells whether the stream is one the reader must
// accept: every member complete, then nothing but zero bytes.
std::vector<uint8_t> inflated(const uint8_t* data, size_t size, bool* intact) {
  std::vector<uint8_t> out;
  z_stream zs = {};
  inflateInit2(&zs, 16 + MAX_WBITS);
  zs.next_in = const_cast<uint8_t*>(data);
  zs.avail_in = static_cast<uInt>(size);
  uint8_t chunk[1 << 14];
  *intact = false;
  for (;;) {
    zs.next_out = chunk;
    zs.avail_out = sizeof chunk;
    int status = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - zs.avail_out));
    if (status == Z_STREAM_END) {
      if (zs.avail_in >= 2 && zs.next_in[0] == 0x1f && zs.next_in[1] == 0x8b) {
        inflateReset(&zs);
        continue;
      }
      *intact = true;
      for (uInt i = 0; i < zs.avail_in; ++i) *intact = *intact && zs.next_in[i] == 0;
      break;
    }
    if (status != Z_OK) break;  // damaged, or truncated (Z_BUF_ERROR)
  }
  inflateEnd(&zs);
  return out;
}

bool sameBits(float a, float b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool intact = true;
  std::vector<uint8_t> plain;
  if (size >= 2 && data[0] == 0x1f && data[1] == 0x8b)
    plain = inflated(data, size, &intact);
  else
    plain.assign(data, data + size);
  const Expected e = expect(plain.data(), plain.size());
  const bool valid = intact && e.valid;

  std::unique_ptr<niiIO> volume;
  try {
    volume = niiIO::openHeader(data, size, kName);
    long long held = volumesInFile(*volume->header);
    volume->readVoxels(held > 3 ? 3 : static_cast<int>(held));
  } catch (const AppError& error) {
    require(std::strncmp(error.what(), kName, sizeof kName - 1) == 0 &&
                error.what()[sizeof kName - 1] == ':',
            "a refusal that does not name the input");
    require(!valid, "a valid file refused");
    return 0;
  }
  require(valid, "an invalid file accepted");
  const HeaderData& h = *volume->header;
  require(h.version == e.version && (h.byteSwap != 0) == e.swapped, "version or byte order");
  require(std::memcmp(volume->rawHeader, plain.data(), e.version == 1 ? 348 : 540) == 0,
          "header bytes changed");
  for (int i = 0; i < 8; ++i) require(h.dim[i] == e.dim[i], "dims differ");
  require(h.datatype == e.datatype && volume->numVolumes == e.volumes, "datatype or volumes");
  require(std::min<long long>(volumesInFile(h), 4) == e.held, "volume count");
  require(static_cast<size_t>(volume->numVoxels) * e.volumes == e.values.size(), "voxel count");
  for (size_t i = 0; i < e.values.size(); ++i)
    require(sameBits(volume->data[i], e.values[i]), "voxel value differs from the file's");
  return 0;
}
