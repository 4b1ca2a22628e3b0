#include "app/niiIO.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <type_traits>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/atomicFile.h"
#include "app/floatToInt.h"
#include "app/gzip.h"

// Float conversions rely on IEEE 754: round to nearest, and a double beyond
// float's range becomes an infinity.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "IEEE 754 floats are required");

namespace {

// Where the interpreted fields sit in each version's header. NIfTI-1 holds
// dims as int16, vox_offset and the scaling as float32; NIfTI-2 holds them
// as int64 and float64.
struct Layout {
  int headerSize;
  int dim;         // dim[0]; entries are dimWidth bytes apart
  int dimWidth;    // 2 or 8
  int datatype;    // int16 in both
  int voxOffset;   // float32 or int64
  int sclSlope;    // float32 or float64, scl_inter right after it
  int scaleWidth;  // 4 or 8
};
const Layout kLayout1 = {kNiftiHeaderSize, 40, 2, 70, 108, 112, 4};
const Layout kLayout2 = {kNifti2HeaderSize, 16, 8, 12, 168, 176, 8};

const Layout& layoutOf(const HeaderData& header) {
  return header.version == 2 ? kLayout2 : kLayout1;
}

// A NIfTI-2 single file's magic: the check bytes after "n+2" catch files
// mangled by text-mode transfers.
const unsigned char kMagic2[8] = {'n', '+', '2', 0, '\r', '\n', 0x1a, '\n'};
const int kOffsetMagic2 = 4;

// NIfTI-1 fields written only into fresh headers.
const int kOffsetBitpix = 72;
const int kOffsetPixdim = 76;
const int kOffsetXyztUnits = 123;
const int kOffsetMagic = 344;

const unsigned long long kUnknownLength = ULLONG_MAX;

// The datatypes read and written: every real numeric type of NIfTI.
struct Datatype {
  int code;
  int size;
  const char* name;
};
const Datatype kDatatypes[] = {{2, 1, "uint8"},    {4, 2, "int16"},    {8, 4, "int32"},
                               {16, 4, "float32"}, {64, 8, "float64"}, {256, 1, "int8"},
                               {512, 2, "uint16"}, {768, 4, "uint32"}, {1024, 8, "int64"},
                               {1280, 8, "uint64"}};
// Codes NIfTI defines that are refused, named so that the message says why.
const Datatype kRefusedDatatypes[] = {
    {1, 0, "binary"},        {32, 0, "complex64"},    {128, 0, "RGB24"},  {1536, 0, "float128"},
    {1792, 0, "complex128"}, {2048, 0, "complex256"}, {2304, 0, "RGBA32"}};

const Datatype* findDatatype(int code) {
  for (const Datatype& type : kDatatypes)
    if (type.code == code) return &type;
  return nullptr;
}

// Calls `f` with a value of the C++ type that holds `datatype`'s voxels.
template <typename F>
void withVoxelType(int datatype, F&& f) {
  switch (datatype) {
    case 2:
      f(uint8_t());
      break;
    case 4:
      f(int16_t());
      break;
    case 8:
      f(int32_t());
      break;
    case 16:
      f(float());
      break;
    case 64:
      f(double());
      break;
    case 256:
      f(int8_t());
      break;
    case 512:
      f(uint16_t());
      break;
    case 768:
      f(uint32_t());
      break;
    case 1024:
      f(int64_t());
      break;
    case 1280:
      f(uint64_t());
      break;
    default:
      assert(!"datatype accepted by readHeader");
  }
}

// Reverses `size` bytes in place when `swap` is set. Every multi-byte value
// of a file passes through here on its way in or out, so byte order is
// handled in exactly one place.
void orderBytes(unsigned char* bytes, int size, bool swap) {
  if (!swap) return;
  for (int i = 0, j = size - 1; i < j; ++i, --j) {
    unsigned char t = bytes[i];
    bytes[i] = bytes[j];
    bytes[j] = t;
  }
}

template <typename T>
T loadField(const unsigned char* at, bool swap) {
  unsigned char scratch[sizeof(T)];
  memcpy(scratch, at, sizeof(T));
  orderBytes(scratch, sizeof(T), swap);
  T value;
  memcpy(&value, scratch, sizeof(T));
  return value;
}

template <typename T>
void storeField(unsigned char* at, T value, bool swap) {
  unsigned char scratch[sizeof(T)];
  memcpy(scratch, &value, sizeof(T));
  orderBytes(scratch, sizeof(T), swap);
  memcpy(at, scratch, sizeof(T));
}

// The two fields whose width differs between versions.
long long loadDim(const unsigned char* header, const Layout& layout, int i, bool swap) {
  const unsigned char* at = header + layout.dim + layout.dimWidth * i;
  return layout.dimWidth == 2 ? loadField<int16_t>(at, swap) : loadField<int64_t>(at, swap);
}
void storeDim(unsigned char* header, const Layout& layout, int i, long long value, bool swap) {
  unsigned char* at = header + layout.dim + layout.dimWidth * i;
  if (layout.dimWidth == 2)
    storeField<int16_t>(at, static_cast<int16_t>(value), swap);
  else
    storeField<int64_t>(at, value, swap);
}
double loadScale(const unsigned char* at, const Layout& layout, bool swap) {
  return layout.scaleWidth == 4 ? loadField<float>(at, swap) : loadField<double>(at, swap);
}
void storeScale(unsigned char* at, const Layout& layout, double value, bool swap) {
  if (layout.scaleWidth == 4)
    storeField<float>(at, static_cast<float>(value), swap);
  else
    storeField<double>(at, value, swap);
}

// How raw voxel values become floats (see the header comment).
struct Scaling {
  bool apply;
  double slope;
  double inter;
};

Scaling scalingOf(const HeaderData& header) {
  double slope = header.scl_slope;
  double inter = std::isfinite(header.scl_inter) ? header.scl_inter : 0.0;
  if (!std::isfinite(slope) || slope == 0.0 || (slope == 1.0 && inter == 0.0))
    return {false, 1.0, 0.0};
  return {true, slope, inter};
}

// Decodes `count` voxels of type Raw: unscaled, the C conversion to float
// (one rounding); scaled, raw -> double, raw * slope + inter in double,
// then one rounding to float.
template <typename Raw>
void decodeAs(const unsigned char* in, size_t count, bool swap, const Scaling& scaling,
              float* out) {
  if (!scaling.apply) {
    for (size_t i = 0; i < count; ++i)
      out[i] = static_cast<float>(loadField<Raw>(in + sizeof(Raw) * i, swap));
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    double raw = static_cast<double>(loadField<Raw>(in + sizeof(Raw) * i, swap));
    out[i] = static_cast<float>(raw * scaling.slope + scaling.inter);
  }
}

// Encodes one value as type Raw: floats as they are (float64 widened
// exactly); integers through floatToInt, then the type's low bits of the
// 32-bit result sign-extended to 64 bits (so 64-bit types sign-extend it).
template <typename Raw>
void encodeAs(float value, bool swap, unsigned char* out) {
  if constexpr (std::is_floating_point<Raw>::value) {
    storeField<Raw>(out, static_cast<Raw>(value), swap);
  } else {
    using Bits = typename std::make_unsigned<Raw>::type;
    storeField<Bits>(out, static_cast<Bits>(static_cast<int64_t>(floatToInt(value))), swap);
  }
}

// A file or pipe, read strictly forward with read(2) and no buffering of
// its own, so that nothing beyond what is asked for leaves the file.
class FileSource final : public ByteSource {
 public:
  // Devices are refused: one like /dev/zero never ends. A pipe or FIFO is
  // read to its end at once, into memory: the caller checks every file's
  // header before reading voxels, so with several pipes open a writer that
  // fills them one after another would otherwise wait on us forever.
  explicit FileSource(const char* path) : m_path(path) {
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
  ~FileSource() { close(m_fd); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  size_t read(unsigned char* out, size_t capacity) override {
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

  // The rest is known from the size.
  unsigned long long skipToEnd() override {
    unsigned long long rest = m_length > m_consumed ? m_length - m_consumed : 0;
    m_consumed += rest;
    return rest;
  }

  // The size of the file, or of all a pipe held.
  unsigned long long length() const { return m_length; }

 private:
  void drain() {
    unsigned char piece[1 << 16];
    for (size_t n; (n = read(piece, sizeof piece)) > 0;) {
      try {
        m_buffer.insert(m_buffer.end(), piece, piece + n);
      } catch (const std::bad_alloc&) {
        throw AppError("out of memory", "%s: no room for the %zu bytes read from the pipe so far",
                       m_path, m_buffer.size() + n);
      }
    }
    m_length = m_buffer.size();
    m_consumed = 0;
    m_drained = true;
  }

  const char* m_path;
  int m_fd;
  unsigned long long m_length = kUnknownLength;
  unsigned long long m_consumed = 0;  // bytes read so far
  std::vector<unsigned char> m_buffer;  // a pipe's whole content
  bool m_drained = false;
};

// Collects encoded bytes and hands them to the sink in large pieces.
class ChunkWriter {
 public:
  explicit ChunkWriter(ByteSink& sink) : m_sink(sink), m_used(0) {}
  void put(const unsigned char* bytes, int size) {
    if (m_used + size > kChunk) flush();
    memcpy(m_chunk + m_used, bytes, size);
    m_used += size;
  }
  void putZeros(unsigned long long count) {
    while (count > 0) {
      if (m_used == kChunk) flush();
      int piece = static_cast<int>(
          count < static_cast<unsigned long long>(kChunk - m_used) ? count : kChunk - m_used);
      memset(m_chunk + m_used, 0, piece);
      m_used += piece;
      count -= piece;
    }
  }
  void flush() {
    m_sink.write(m_chunk, m_used);
    m_used = 0;
  }

 private:
  static const int kChunk = 1 << 16;
  ByteSink& m_sink;
  unsigned char m_chunk[kChunk];
  int m_used;
};

// Runs `step`, turning a failed allocation in it into this layer's error.
// The large allocations (voxels) are checked where they are made and
// report their sizes; this catches the small ones (buffers, bookkeeping).
template <typename Step>
void reportingMemory(const char* name, Step step) {
  try {
    step();
  } catch (const std::bad_alloc&) {
    throw AppError("out of memory", "%s: no room for the buffers to read or write it", name);
  }
}

// Whether a header's dims declare exactly `volumes` volumes of the size in
// dim[1..3], as other readers take them: dim[0] within 1 ... 7, no
// declared size below 1, and sizes beyond dim[0] counting as 1.
bool declaresExactly(const HeaderData& header, int volumes) {
  long long rank = header.dim[0];
  if (rank < 1 || rank > 7) return false;
  long long declared = 1;
  for (int i = 1; i <= 7; ++i) {
    long long size = i <= rank ? header.dim[i] : 1;
    if (size < 1) return false;
    if (i <= 3 && size != header.dim[i]) return false;
    if (i <= 3) continue;
    if (size > volumes) return false;
    declared *= size;  // at most volumes^2: no overflow
    if (declared > volumes) return false;
  }
  return declared == volumes;
}

// Whether a reader would scale the template's values: then the output
// gets slope 1 and intercept 0, so that its labels read as 0 and 1.
bool writesScaling(const HeaderData& header) {
  return std::isfinite(header.scl_slope) && header.scl_slope != 0.0 &&
         !(header.scl_slope == 1.0 && header.scl_inter == 0.0);
}

}  // namespace

// The file between openHeader and readVoxels: its source, and how far it
// has been read.
struct niiIO::Pending {
  explicit Pending(const char* fileName) : name(fileName) {}

  std::string name;                    // names the file in errors
  std::optional<FileSource> file;      // the file as stored: a file or pipe,
  std::optional<MemorySource> memory;  // or memory
  std::optional<GzipReader> gzip;      // inflating it; after what it reads from
  ByteSource* content = nullptr;       // the plain file's bytes
  // Most bytes the content can hold: the file's size, or for gzip 1032
  // times it (deflate's largest expansion); kUnknownLength for a pipe.
  unsigned long long bound = kUnknownLength;
  unsigned long long position = 0;  // content bytes consumed
  char voxOffset[32] = "";          // vox_offset as stored, for messages
};

long long volumesInFile(const HeaderData& header) {
  long long volumes = 1;
  for (int i = 4; i <= header.dim[0] && i < 8; ++i) {
    if (header.dim[i] > 1 && __builtin_mul_overflow(volumes, header.dim[i], &volumes))
      return LLONG_MAX;
  }
  return volumes;
}

niiIO::niiIO()
    : rawHeader(),
      header(new HeaderData),
      numVoxels(0),
      bytesPerVoxel(0),
      data(nullptr),
      dimX(0),
      dimY(0),
      dimZ(0),
      numVolumes(1) {}

niiIO::~niiIO() {
  delete header;
  delete[] data;
}

std::unique_ptr<niiIO> niiIO::openHeader(const char* path) {
  std::unique_ptr<niiIO> volume;
  reportingMemory(path, [&] {
    volume.reset(new niiIO());
    volume->openFile(path);
  });
  return volume;
}

std::unique_ptr<niiIO> niiIO::openHeader(const unsigned char* bytes, size_t length,
                                         const char* name) {
  std::unique_ptr<niiIO> volume;
  reportingMemory(name, [&] {
    volume.reset(new niiIO());
    volume->openMemory(bytes, length, name);
  });
  return volume;
}

niiIO::niiIO(const char* path, int volumes) : niiIO() {
  reportingMemory(path, [&] { openFile(path); });
  readVoxels(volumes);
}

niiIO::niiIO(const unsigned char* bytes, size_t length, const char* name, int volumes) : niiIO() {
  reportingMemory(name, [&] { openMemory(bytes, length, name); });
  readVoxels(volumes);
}

void niiIO::openFile(const char* path) {
  m_pending.reset(new Pending(path));
  m_pending->file.emplace(m_pending->name.c_str());
  readHeader(*m_pending->file, m_pending->file->length());
}

void niiIO::openMemory(const unsigned char* bytes, size_t length, const char* name) {
  m_pending.reset(new Pending(name));
  m_pending->memory.emplace(bytes, length);
  readHeader(*m_pending->memory, length);
}

niiIO::niiIO(int sizeX, int sizeY, int sizeZ, int datatype, int byteSwap, int volumes) : niiIO() {
  const char* name = "new volume";
  // The header stores sizes as 16-bit values; the voxel count and datatype
  // are checked by readHeader, as for a file.
  if (sizeX < 1 || sizeY < 1 || sizeZ < 1 || volumes < 1 || sizeX > SHRT_MAX || sizeY > SHRT_MAX ||
      sizeZ > SHRT_MAX || volumes > SHRT_MAX)
    throw AppError(name, "dimensions %d x %d x %d x %d, expected each between 1 and %d", sizeX,
                   sizeY, sizeZ, volumes, SHRT_MAX);
  bool swap = byteSwap != 0;
  unsigned char fresh[kNiftiHeaderSize] = {};
  storeField<int32_t>(fresh, kNiftiHeaderSize, swap);
  const long long dims[8] = {volumes > 1 ? 4 : 3, sizeX, sizeY, sizeZ, volumes, 1, 1, 1};
  for (int i = 0; i < 8; ++i) storeDim(fresh, kLayout1, i, dims[i], swap);
  storeField<int16_t>(fresh + kLayout1.datatype, static_cast<int16_t>(datatype), swap);
  const Datatype* type = findDatatype(datatype);
  int bitpix = type != nullptr ? 8 * type->size : 0;
  storeField<int16_t>(fresh + kOffsetBitpix, static_cast<int16_t>(bitpix), swap);
  for (int i = 0; i < 8; ++i) storeField<float>(fresh + kOffsetPixdim + 4 * i, 1.0f, swap);
  storeField<float>(fresh + kLayout1.voxOffset, static_cast<float>(kNiftiFreshVoxOffset), swap);
  storeScale(fresh + kLayout1.sclSlope, kLayout1, 1.0, swap);
  fresh[kOffsetXyztUnits] = 2 | 8;  // millimetres, seconds
  memcpy(fresh + kOffsetMagic, "n+1", 4);
  reportingMemory(name, [&] { openMemory(fresh, sizeof fresh, name); });
  m_pending.reset();
  size_t count = static_cast<size_t>(numVoxels) * volumes;
  data = new (std::nothrow) float[count]();
  if (data == nullptr)
    throw AppError("out of memory", "%s: %d x %d x %d voxels x %d volumes need %zu bytes as floats",
                   name, dimX, dimY, dimZ, volumes, count * sizeof(float));
  numVolumes = volumes;
}

void niiIO::readHeader(ByteSource& stored, unsigned long long storedLength) {
  Pending& in = *m_pending;
  const char* name = in.name.c_str();
  size_t got = stored.read(rawHeader, kNiftiHeaderSize);
  if (hasGzipMagic(rawHeader, got)) {
    in.gzip.emplace(stored, name, rawHeader, got);
    in.content = &*in.gzip;
    if (storedLength != kUnknownLength)
      in.bound = storedLength > kUnknownLength / 1032 ? kUnknownLength : storedLength * 1032;
    got = in.gzip->read(rawHeader, kNiftiHeaderSize);
  } else {
    in.content = &stored;
    in.bound = storedLength;
  }
  in.position = got;
  if (got < static_cast<size_t>(kNiftiHeaderSize))
    throw AppError(name, "file is %zu bytes, shorter than the %d-byte header", got,
                   kNiftiHeaderSize);
  HeaderData& h = *header;
  h.byteSwap = testHeaderForByteSwap(rawHeader, &h.version);
  const bool swap = h.byteSwap != 0;
  const Layout& layout = layoutOf(h);
  if (h.version == 2) {
    in.position +=
        in.content->read(rawHeader + kNiftiHeaderSize, kNifti2HeaderSize - kNiftiHeaderSize);
    if (in.position < static_cast<unsigned long long>(kNifti2HeaderSize))
      throw AppError(name, "file is %llu bytes, shorter than the %d-byte header", in.position,
                     kNifti2HeaderSize);
    // A header of NIfTI-2's size without its magic is refused rather than
    // guessed at: it may be a header-and-image pair ("ni2") or damaged.
    if (memcmp(rawHeader + kOffsetMagic2, kMagic2, sizeof kMagic2) != 0)
      throw AppError(name,
                     "sizeof_hdr is 540 (NIfTI-2) but the magic is not that of a single file, "
                     "expected \"n+2\" and the bytes 0 13 10 26 10");
  }
  h.sizeof_hdr = loadField<int32_t>(rawHeader, swap);
  for (int i = 0; i < 8; ++i) h.dim[i] = loadDim(rawHeader, layout, i, swap);
  h.datatype = loadField<int16_t>(rawHeader + layout.datatype, swap);
  h.scl_slope = loadScale(rawHeader + layout.sclSlope, layout, swap);
  h.scl_inter = loadScale(rawHeader + layout.sclSlope + layout.scaleWidth, layout, swap);

  // The header is untrusted: sizes are checked in 64 bits before anything
  // is allocated from them.
  long long count = 1;
  bool overflow = false;
  for (int i = 1; i <= 3; ++i) {
    if (h.dim[i] < 1) throw AppError(name, "dim[%d] is %lld, expected at least 1", i, h.dim[i]);
    overflow = __builtin_mul_overflow(count, h.dim[i], &count) || overflow;
  }
  if (overflow || count > INT_MAX) {
    char counted[32] = "over 2^63";
    if (!overflow) snprintf(counted, sizeof counted, "%lld", count);
    throw AppError(name, "dimensions %lld x %lld x %lld make %s voxels, more than %d", h.dim[1],
                   h.dim[2], h.dim[3], counted, INT_MAX);
  }
  const Datatype* type = findDatatype(h.datatype);
  if (type == nullptr) {
    char accepted[400] = "", known[32] = "";
    for (const Datatype& t : kDatatypes) {
      const char* separator = &t == kDatatypes                 ? ""
                              : &t == std::end(kDatatypes) - 1 ? " or "
                                                               : ", ";
      snprintf(accepted + strlen(accepted), sizeof accepted - strlen(accepted), "%s%d (%s)",
               separator, t.code, t.name);
    }
    for (const Datatype& t : kRefusedDatatypes)
      if (t.code == h.datatype) snprintf(known, sizeof known, " (%s)", t.name);
    throw AppError(name, "datatype is %d%s, expected %s", h.datatype, known, accepted);
  }

  // vox_offset: finite and not negative, 0 (unset) or beyond the header;
  // the voxels start at it truncated toward zero, exactly.
  long long start;
  bool valid;
  if (h.version == 1) {
    float offset = loadField<float>(rawHeader + layout.voxOffset, swap);
    snprintf(in.voxOffset, sizeof in.voxOffset, "%g", static_cast<double>(offset));
    valid = std::isfinite(offset) && offset >= 0.0f;
    start = !valid ? 0 : offset < 0x1p63f ? static_cast<long long>(offset) : LLONG_MAX;
    if (valid && offset > 0.0f && start == 0) start = 1;  // below 1: inside the header
  } else {
    start = loadField<int64_t>(rawHeader + layout.voxOffset, swap);
    snprintf(in.voxOffset, sizeof in.voxOffset, "%lld", start);
    valid = start >= 0;
  }
  if (!valid)
    throw AppError(name, "vox_offset is %s, expected a finite value of at least 0", in.voxOffset);
  if (start > 0 && start < layout.headerSize)
    throw AppError(name,
                   "vox_offset is %s, inside the %d-byte header; expected 0 (unset) or at least %d",
                   in.voxOffset, layout.headerSize, layout.headerSize);
  h.voxelStart = start == 0 ? layout.headerSize + 4 : start;

  bytesPerVoxel = type->size;
  dimX = static_cast<int>(h.dim[1]);
  dimY = static_cast<int>(h.dim[2]);
  dimZ = static_cast<int>(h.dim[3]);
  numVoxels = static_cast<int>(count);
}

int niiIO::testHeaderForByteSwap(const unsigned char* bytes, int* version) const {
  int32_t n = loadField<int32_t>(bytes, false);
  int32_t m = loadField<int32_t>(bytes, true);
  *version = 1;
  if (n >= 338 && n <= 358) return 0;
  if (m >= 339 && m <= 357) return 1;
  *version = 2;
  if (n == kNifti2HeaderSize) return 0;
  if (m == kNifti2HeaderSize) return 1;
  AppError unrecognised(m_pending->name.c_str(),
                        "sizeof_hdr is %d, expected %d (NIfTI-1) or %d (NIfTI-2) in either byte "
                        "order",
                        n, kNiftiHeaderSize, kNifti2HeaderSize);
  unrecognised.markUnrecognised();
  throw unrecognised;
}

void niiIO::requireVolumes(int volumes) const {
  assert(m_pending != nullptr);
  const char* name = m_pending->name.c_str();
  long long held = volumesInFile(*header);
  if (held < volumes) {
    char dims[128];
    int used = snprintf(dims, sizeof dims, "dim[0] is %lld", header->dim[0]);
    long long last = header->dim[0] < 4 ? 4 : header->dim[0] > 7 ? 7 : header->dim[0];
    for (int i = 4; i <= last; ++i)
      used += snprintf(dims + used, sizeof dims - used, ", dim[%d] is %lld", i, header->dim[i]);
    throw AppError(name, "holds %lld volume%s (%s), expected at least %d %s", held,
                   held == 1 ? "" : "s", dims, volumes,
                   last == 4 ? "along the fourth dimension" : "beyond the third dimension");
  }
}

void niiIO::readVoxels(int volumes) {
  assert(m_pending != nullptr && volumes >= 1);
  requireVolumes(volumes);
  Pending& in = *m_pending;
  const char* name = in.name.c_str();
  const unsigned long long count = static_cast<unsigned long long>(numVoxels) * volumes;
  const unsigned long long width = static_cast<unsigned long long>(bytesPerVoxel);
  const unsigned long long start = static_cast<unsigned long long>(header->voxelStart);
  // A content that certainly ends before the voxels (a regular file, or a
  // gzip stream that cannot expand that far) is refused before anything is
  // allocated.
  if (start > in.bound || count > (in.bound - start) / width)
    refuseShortFile(in.position + in.content->skipToEnd(), volumes);

  unsigned char scratch[1 << 16];
  while (in.position < start) {
    unsigned long long gap = start - in.position;
    size_t piece = gap < sizeof scratch ? static_cast<size_t>(gap) : sizeof scratch;
    size_t got = in.content->read(scratch, piece);
    in.position += got;
    if (got < piece) refuseShortFile(in.position, volumes);
  }

  float* values = nullptr;
  if (count <= SIZE_MAX / 8) values = new (std::nothrow) float[count];
  if (values == nullptr) {
    char more[32] = "";
    if (volumes > 1) snprintf(more, sizeof more, " x %d volumes", volumes);
    throw AppError("out of memory", "%s: %d x %d x %d voxels%s need %.0f bytes as floats", name,
                   dimX, dimY, dimZ, more, static_cast<double>(count) * sizeof(float));
  }
  std::unique_ptr<float[]> owned(values);
  const bool swap = header->byteSwap != 0;
  const Scaling scaling = scalingOf(*header);
  const size_t perPiece = sizeof scratch / width;
  for (unsigned long long done = 0; done < count;) {
    size_t n = count - done < perPiece ? static_cast<size_t>(count - done) : perPiece;
    size_t got = n * width;
    const unsigned char* piece = in.content->borrow(got);  // no copy for bytes in memory
    if (piece == nullptr) {
      got = in.content->read(scratch, n * width);
      piece = scratch;
    }
    in.position += got;
    if (got < n * width) refuseShortFile(in.position, volumes);
    withVoxelType(header->datatype, [&](auto raw) {
      decodeAs<decltype(raw)>(piece, n, swap, scaling, values + done);
    });
    done += n;
  }
  // A gzip stream is checked to its end (every member's CRC and length); a
  // plain file is left unread beyond its voxels.
  if (in.gzip) in.gzip->skipToEnd();
  m_pending.reset();
  data = owned.release();
  numVolumes = volumes;
}

void niiIO::refuseShortFile(unsigned long long length, int volumes) const {
  const Pending& in = *m_pending;
  const char* name = in.name.c_str();
  unsigned long long start = static_cast<unsigned long long>(header->voxelStart);
  if (start > length)
    throw AppError(name, "vox_offset is %s, beyond the end of the file (%llu bytes)", in.voxOffset,
                   length);
  if (volumes == 1)
    throw AppError(name,
                   "file is %llu bytes, shorter than the %d voxels of %d bytes its header "
                   "promises from offset %llu",
                   length, numVoxels, bytesPerVoxel, start);
  throw AppError(name,
                 "file is %llu bytes, shorter than the %d volumes of %d voxels of %d bytes its "
                 "header promises from offset %llu",
                 length, volumes, numVoxels, bytesPerVoxel, start);
}

void niiIO::writeData(const float* values, long long count, const char* path) const {
  assert(m_pending == nullptr);  // a template's voxels have been read
  long long expected = static_cast<long long>(numVoxels) * numVolumes;
  if (count != expected)
    throw AppError(path, "cannot write %lld voxels through a %s template of %lld voxels", count,
                   findDatatype(header->datatype)->name, expected);
  reportingMemory(path, [&] {
    AtomicFile file(path);
    size_t length = strlen(path);
    if (length >= 3 && strcmp(path + length - 3, ".gz") == 0) {
      GzipWriter gzip(file, path);
      encode(values, count, gzip);
      gzip.finish();
    } else {
      encode(values, count, file);
    }
    file.commit();
  });
}

void niiIO::encode(const float* values, long long count, ByteSink& sink) const {
  const HeaderData& h = *header;
  const Layout& layout = layoutOf(h);
  const bool swap = h.byteSwap != 0;
  ChunkWriter out(sink);
  // The template's header travels unchanged, except where it would
  // misdescribe what follows: dims that other readers would take for
  // another number of volumes (a 4-D file read for its first volume, a
  // dim[0] outside 1 ... 7, a volume dimension of 0), and scaling that
  // would turn the labels into other values.
  unsigned char head[kNifti2HeaderSize];
  memcpy(head, rawHeader, layout.headerSize);
  if (!declaresExactly(h, numVolumes)) {
    storeDim(head, layout, 0, numVolumes > 1 ? 4 : 3, swap);
    for (int i = 4; i < 8; ++i) storeDim(head, layout, i, i == 4 ? numVolumes : 1, swap);
  }
  if (writesScaling(h)) {
    storeScale(head + layout.sclSlope, layout, 1.0, swap);
    storeScale(head + layout.sclSlope + layout.scaleWidth, layout, 0.0, swap);
  }
  out.put(head, layout.headerSize);
  // Zero bytes up to exactly where a reader takes the voxels from.
  out.putZeros(static_cast<unsigned long long>(h.voxelStart - layout.headerSize));
  withVoxelType(h.datatype, [&](auto raw) {
    using Raw = decltype(raw);
    unsigned char encoded[sizeof(Raw)];
    for (long long i = 0; i < count; ++i) {
      encodeAs<Raw>(values[i], swap, encoded);
      out.put(encoded, sizeof(Raw));
    }
  });
  out.flush();
}
