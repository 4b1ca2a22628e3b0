// Test helpers: NIfTI-1 and NIfTI-2 files written byte by byte and gzip streams made by
// zlib alone, independently of the code under test, a temporary folder that
// removes itself, and the message of an expected AppError.
#ifndef DTICUT_TESTS_APP_NIFTI_FILES_H
#define DTICUT_TESTS_APP_NIFTI_FILES_H

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <zlib.h>

#include "app/io/niiIO.h"

namespace testfiles {

using Bytes = std::vector<unsigned char>;

inline bool hostIsBigEndian() {
  return __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
}

// Appends or overwrites an unsigned value of `width` bytes in the given
// byte order, by shifts, so that it does not depend on the host's order.
inline void putUnsigned(Bytes& out, size_t at, uint64_t value, int width, bool bigEndian) {
  for (int i = 0; i < width; ++i) {
    int shift = bigEndian ? 8 * (width - 1 - i) : 8 * i;
    out[at + i] = static_cast<unsigned char>(value >> shift);
  }
}

inline uint32_t floatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return bits;
}

inline uint64_t doubleBits(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  return bits;
}

// Bytes per voxel of a real numeric NIfTI datatype; 0 for any other code.
inline int elementSize(int datatype) {
  const int codes[] = {2, 256, 4, 512, 8, 16, 768, 64, 1024, 1280};
  const int sizes[] = {1, 1, 2, 2, 4, 4, 4, 8, 8, 8};
  for (int i = 0; i < 10; ++i)
    if (codes[i] == datatype) return sizes[i];
  return 0;
}

// Raw voxel bit patterns, `width` bytes each.
inline Bytes encodeRaw(const std::vector<uint64_t>& raw, int width, bool bigEndian) {
  Bytes out(raw.size() * width);
  for (size_t i = 0; i < raw.size(); ++i) putUnsigned(out, i * width, raw[i], width, bigEndian);
  return out;
}

// Voxel values encoded as a file of `datatype` stores them: floats by their
// bits, integers by the two's complement of the value's integer part.
inline Bytes encodeVoxels(const std::vector<double>& values, int datatype, bool bigEndian) {
  std::vector<uint64_t> raw;
  for (double v : values)
    raw.push_back(datatype == 16   ? floatBits(static_cast<float>(v))
                  : datatype == 64 ? doubleBits(v)
                                   : static_cast<uint64_t>(static_cast<int64_t>(v)));
  return encodeRaw(raw, elementSize(datatype), bigEndian);
}

// The fields the reader interprets, plus bitpix, a description and the
// magic, which only travel. NIfTI-2 (version 2) puts them at its own
// offsets and widths.
struct NiftiFields {
  int version = 1;
  int32_t sizeofHdr = 0;  // 0: the version's size, 348 or 540
  int64_t dim[8] = {3, 1, 1, 1, 1, 1, 1, 1};
  int16_t datatype = 16;
  double voxOffset = 352;  // stored as float32 (NIfTI-1) or int64 (NIfTI-2)
  double sclSlope = 1, sclInter = 0;
  bool bigEndian = false;
  Bytes voxels;  // already encoded
};

inline Bytes buildNifti(const NiftiFields& fields) {
  const bool be = fields.bigEndian, one = fields.version == 1;
  const size_t size = one ? 348 : 540;
  Bytes out(size + 4, 0);
  putUnsigned(out, 0, static_cast<uint32_t>(fields.sizeofHdr ? fields.sizeofHdr : size), 4, be);
  const int dimAt = one ? 40 : 16, dimWidth = one ? 2 : 8, typeAt = one ? 70 : 12;
  for (int i = 0; i < 8; ++i)
    putUnsigned(out, dimAt + dimWidth * i, static_cast<uint64_t>(fields.dim[i]), dimWidth, be);
  putUnsigned(out, typeAt, static_cast<uint16_t>(fields.datatype), 2, be);
  putUnsigned(out, typeAt + 2, 8 * elementSize(fields.datatype), 2, be);  // bitpix
  // vox_offset, scl_slope and scl_inter: float32 in NIfTI-1; int64, float64
  // and float64 in NIfTI-2.
  const int width = one ? 4 : 8, offsetAt = one ? 108 : 168;
  auto real = [one](double v) { return one ? floatBits(static_cast<float>(v)) : doubleBits(v); };
  const int64_t wholeOffset = static_cast<int64_t>(fields.voxOffset);  // NIfTI-2's
  putUnsigned(out, offsetAt, one ? real(fields.voxOffset) : static_cast<uint64_t>(wholeOffset),
              width, be);
  putUnsigned(out, offsetAt + width, real(fields.sclSlope), width, be);
  putUnsigned(out, offsetAt + 2 * width, real(fields.sclInter), width, be);
  std::memcpy(&out[one ? 344 : 4], one ? "n+1" : "n+2\0\r\n\032\n", one ? 4 : 8);
  std::memcpy(&out[one ? 148 : 240], "hand-made test volume", 21);
  // The voxels go where the offset says; an unset (0) or unusable one puts
  // them after the extension bytes.
  double offset = one ? static_cast<float>(fields.voxOffset) : fields.voxOffset;
  size_t start = offset >= size && offset < 1e8 ? static_cast<size_t>(offset) : size + 4;
  out.resize(start, 0);
  out.insert(out.end(), fields.voxels.begin(), fields.voxels.end());
  return out;
}

// A volume of the given size, values and datatype.
inline Bytes volumeFile(int dimX, int dimY, int dimZ, const std::vector<double>& values,
                        int datatype = 16, bool bigEndian = false) {
  NiftiFields fields;
  fields.dim[1] = static_cast<int16_t>(dimX);
  fields.dim[2] = static_cast<int16_t>(dimY);
  fields.dim[3] = static_cast<int16_t>(dimZ);
  fields.datatype = static_cast<int16_t>(datatype);
  fields.bigEndian = bigEndian;
  fields.voxels = encodeVoxels(values, datatype, bigEndian);
  return buildNifti(fields);
}

// A float32 4-D file of `volumes` volumes, given volume after volume.
inline Bytes volumesFile(int dimX, int dimY, int dimZ, int volumes,
                         const std::vector<double>& values) {
  Bytes file = volumeFile(dimX, dimY, dimZ, values);
  putUnsigned(file, 40, 4, 2, false);                               // dim[0]
  putUnsigned(file, 48, static_cast<uint16_t>(volumes), 2, false);  // dim[4]
  return file;
}

// Calls `step` (deflate or inflate) with 16 KiB of room at a time, appending
// what it writes to `out`, until it leaves room unused; returns its last
// status.
template <typename Step>
int drain(z_stream& zs, Bytes& out, Step step) {
  int status;
  do {
    unsigned char chunk[1 << 14];
    zs.next_out = chunk;
    zs.avail_out = sizeof chunk;
    status = step();
    out.insert(out.end(), chunk, chunk + (sizeof chunk - zs.avail_out));
  } while (zs.avail_out == 0);
  return status;
}

// `bytes`, then `zeros` zero bytes, as one gzip member, by zlib directly.
inline Bytes gzipped(const Bytes& bytes, size_t zeros = 0) {
  z_stream zs = {};
  deflateInit2(&zs, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  static const unsigned char kZeros[1 << 16] = {};
  Bytes out;
  auto run = [&](const unsigned char* in, size_t length, int flush) {
    zs.next_in = const_cast<unsigned char*>(in);
    zs.avail_in = static_cast<uInt>(length);
    drain(zs, out, [&] { return deflate(&zs, flush); });
  };
  run(bytes.data(), bytes.size(), Z_NO_FLUSH);
  for (size_t left = zeros; left > 0; left -= std::min(left, sizeof kZeros))
    run(kZeros, std::min(left, sizeof kZeros), Z_NO_FLUSH);
  run(nullptr, 0, Z_FINISH);
  deflateEnd(&zs);
  return out;
}

// The content of a one-member gzip stream, by zlib directly.
inline Bytes gunzipped(const Bytes& stream) {
  z_stream zs = {};
  inflateInit2(&zs, 16 + MAX_WBITS);
  zs.next_in = const_cast<unsigned char*>(stream.data());
  zs.avail_in = static_cast<uInt>(stream.size());
  Bytes out;
  const int status = drain(zs, out, [&] { return inflate(&zs, Z_NO_FLUSH); });
  inflateEnd(&zs);
  if (status != Z_STREAM_END) out.assign({'b', 'a', 'd'});
  return out;
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh folder under the system's temporary folder, removed with its
// contents at the end of the scope.
class TempDir {
 public:
  TempDir() : m_path((std::filesystem::temp_directory_path() / "dticut-test-XXXXXX").string()) {
    if (mkdtemp(m_path.data()) == nullptr) std::abort();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string path(const std::string& name) const { return m_path + "/" + name; }
  const std::string& root() const { return m_path; }
  // Names of the entries in the folder, for checking that nothing was left.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_path))
      names.push_back(entry.path().filename().string());
    return names;
  }

 private:
  std::string m_path;
};

// The message of the AppError that `action` raises.
template <typename Action>
std::string errorOf(Action action) {
  try {
    action();
  } catch (const AppError& error) {
    return error.what();
  }
  return "no error";
}

}  // namespace testfiles

#endif  // DTICUT_TESTS_APP_NIFTI_FILES_H
