// Test helpers: NIfTI-1 files written byte by byte and gzip streams made by
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

#include "app/niiIO.h"

namespace testfiles {

using Bytes = std::vector<unsigned char>;

inline bool hostIsBigEndian() {
  const uint16_t probe = 1;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  return first == 0;
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

// Voxel values encoded as a file of `datatype` (2, 4, 16) stores them.
inline Bytes encodeVoxels(const std::vector<double>& values, int datatype, bool bigEndian) {
  int width = datatype == 2 ? 1 : datatype == 4 ? 2 : 4;
  Bytes out(values.size() * width);
  for (size_t i = 0; i < values.size(); ++i) {
    uint64_t raw = datatype == 16 ? floatBits(static_cast<float>(values[i]))
                                  : static_cast<uint64_t>(static_cast<int64_t>(values[i]));
    putUnsigned(out, i * width, raw, width, bigEndian);
  }
  return out;
}

// The fields the reader interprets, plus a few that only travel.
struct NiftiFields {
  int32_t sizeofHdr = 348;
  int16_t dim[8] = {3, 1, 1, 1, 1, 1, 1, 1};
  int16_t datatype = 16;
  float voxOffset = 352.0f;
  bool bigEndian = false;
  Bytes voxels;  // already encoded
};

inline Bytes buildNifti(const NiftiFields& fields) {
  Bytes out(352, 0);
  bool be = fields.bigEndian;
  putUnsigned(out, 0, static_cast<uint32_t>(fields.sizeofHdr), 4, be);
  for (int i = 0; i < 8; ++i)
    putUnsigned(out, 40 + 2 * i, static_cast<uint16_t>(fields.dim[i]), 2, be);
  putUnsigned(out, 70, static_cast<uint16_t>(fields.datatype), 2, be);
  int bitpix = fields.datatype == 2 ? 8 : fields.datatype == 4 ? 16 : 32;
  putUnsigned(out, 72, static_cast<uint16_t>(bitpix), 2, be);
  for (int i = 0; i < 8; ++i) putUnsigned(out, 76 + 4 * i, floatBits(0.5f + i), 4, be);
  putUnsigned(out, 108, floatBits(fields.voxOffset), 4, be);
  putUnsigned(out, 112, floatBits(2.0f), 4, be);  // scl_slope: must not be applied
  std::memcpy(&out[148], "hand-made test volume", 21);
  std::memcpy(&out[344], "n+1", 4);
  size_t start = fields.voxOffset >= 0 && fields.voxOffset < 1e6f
                     ? static_cast<size_t>(fields.voxOffset)
                     : 352;
  if (start < 348) start = 352;  // an unset (0) offset: after the extension bytes
  if (out.size() < start) out.resize(start, 0);
  out.insert(out.end(), fields.voxels.begin(), fields.voxels.end());
  return out;
}

// A float32 / int16 / uint8 volume of the given size and values.
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

// `bytes`, then `zeros` zero bytes, as one gzip member, by zlib directly.
inline Bytes gzipped(const Bytes& bytes, size_t zeros = 0) {
  z_stream zs = {};
  deflateInit2(&zs, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  static const unsigned char kZeros[1 << 16] = {};
  Bytes out;
  auto run = [&](const unsigned char* in, size_t length, int flush) {
    zs.next_in = const_cast<unsigned char*>(in);
    zs.avail_in = static_cast<uInt>(length);
    do {
      unsigned char chunk[1 << 14];
      zs.next_out = chunk;
      zs.avail_out = sizeof chunk;
      deflate(&zs, flush);
      out.insert(out.end(), chunk, chunk + (sizeof chunk - zs.avail_out));
    } while (zs.avail_out == 0);
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
  int status = Z_OK;
  while (status == Z_OK) {
    unsigned char chunk[1 << 14];
    zs.next_out = chunk;
    zs.avail_out = sizeof chunk;
    status = inflate(&zs, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - zs.avail_out));
  }
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
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dticut-test-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) std::abort();
    m_path = name.data();
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
