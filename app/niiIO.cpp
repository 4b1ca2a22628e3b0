#include "app/niiIO.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/stat.h>

#include "app/atomicFile.h"
#include "app/floatToInt.h"
#include "app/gzip.h"

namespace {

// Header field offsets of NIfTI-1.
const int kOffsetSizeofHdr = 0;
const int kOffsetDim = 40;
const int kOffsetDatatype = 70;
const int kOffsetBitpix = 72;
const int kOffsetPixdim = 76;
const int kOffsetVoxOffset = 108;
const int kOffsetSclSlope = 112;
const int kOffsetXyztUnits = 123;
const int kOffsetMagic = 344;

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

// A byte array that frees itself, so that a throw while decoding loses
// nothing.
struct ByteBuffer {
  unsigned char* bytes = nullptr;
  size_t length = 0;
  ~ByteBuffer() { delete[] bytes; }
};

// Loads the whole file. Reads until end of file rather than trusting a
// size query, so pipes work too; the size of a regular file only sets the
// first capacity. Devices are refused: one like /dev/zero never ends and
// would fill memory before any check could run.
void loadFile(const char* path, ByteBuffer& out) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) throw AppError(path, "cannot open: %s", strerror(errno));
  size_t capacity = 1 << 16;
  struct stat status;
  if (fstat(fileno(file), &status) == 0) {
    if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
      fclose(file);
      throw AppError(path, "is a device, expected a regular file or a pipe");
    }
    if (S_ISREG(status.st_mode) && status.st_size > 0)
      capacity = static_cast<size_t>(status.st_size) + 1;
  }
  try {
    out.bytes = new unsigned char[capacity];
    for (;;) {
      out.length += fread(out.bytes + out.length, 1, capacity - out.length, file);
      if (out.length < capacity) break;
      unsigned char* grown = new unsigned char[capacity * 2];
      memcpy(grown, out.bytes, out.length);
      delete[] out.bytes;
      out.bytes = grown;
      capacity *= 2;
    }
  } catch (const std::bad_alloc&) {
    fclose(file);
    throw AppError(path, "not enough memory to load %zu bytes", capacity);
  }
  int failed = ferror(file);
  int error = errno;
  fclose(file);
  if (failed) throw AppError(path, "read failed: %s", strerror(error));
}

const char* datatypeName(int datatype) {
  switch (datatype) {
    case 2:
      return "uint8";
    case 4:
      return "int16";
    default:
      return "float32";
  }
}

// Collects encoded bytes and hands them to the sink in large pieces.
class ChunkWriter {
 public:
  explicit ChunkWriter(ByteSink& sink) : m_sink(sink), m_used(0) {}
  void put(const unsigned char* bytes, int size) {
    if (m_used + size > kChunk) flush();
    memcpy(m_chunk + m_used, bytes, size);
    m_used += size;
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

// The bytes of a file as the decoder sees them. A plain file is its own
// content. A gzip file is inflated only as far as the decoder asks, so that
// memory follows what the header promises rather than how far the stream
// expands; finish() then checks the rest of the stream without keeping it.
class FileContent {
 public:
  FileContent(const unsigned char* bytes, size_t length, const char* name)
      : m_bytes(bytes), m_length(length), m_name(name), m_gzip(nullptr), m_inflated(nullptr) {
    if (!hasGzipMagic(bytes, length)) return;
    // Deflate expands a byte into at most 1032 bytes, so no gzip stream
    // holds more than this; it caps what the header can make us allocate.
    m_limit = length > SIZE_MAX / 1032 ? SIZE_MAX : length * 1032;
    m_gzip = new GzipReader(bytes, length, name);
    m_bytes = nullptr;
    m_length = 0;
  }
  ~FileContent() {
    delete m_gzip;
    delete[] m_inflated;
  }
  FileContent(const FileContent&) = delete;
  FileContent& operator=(const FileContent&) = delete;

  // Makes the first `wanted` bytes available, or all of a shorter content;
  // returns how many are available, so a result below `wanted` is the whole
  // content's length.
  size_t require(size_t wanted) {
    if (m_gzip == nullptr || m_length >= wanted || m_complete) return m_length;
    size_t target = wanted < m_limit ? wanted : m_limit;
    unsigned char* grown = new (std::nothrow) unsigned char[target];
    if (grown == nullptr)
      throw AppError(m_name, "not enough memory to decompress %zu bytes", target);
    if (m_length > 0) memcpy(grown, m_inflated, m_length);
    delete[] m_inflated;
    m_inflated = grown;
    m_bytes = grown;
    m_length += m_gzip->read(grown + m_length, target - m_length);
    m_complete = m_length < target || target == m_limit;
    return m_length;
  }
  const unsigned char* bytes() const { return m_bytes; }
  // Checks a gzip stream to its end (CRC-32 and length of every member).
  void finish() {
    if (m_gzip != nullptr) m_gzip->skipToEnd();
  }

 private:
  const unsigned char* m_bytes;  // the content so far
  size_t m_length;               // bytes of content available
  const char* m_name;
  GzipReader* m_gzip;         // owned; null for a plain file
  unsigned char* m_inflated;  // owned inflated bytes
  size_t m_limit = 0;         // most bytes the stream can inflate to
  bool m_complete = false;    // m_length is the content's whole length
};

}  // namespace

int volumesInFile(const HeaderData& header) {
  return header.dim[0] >= 4 && header.dim[4] >= 1 ? header.dim[4] : 1;
}

namespace {

// Volumes a header declares along its dimensions beyond the third; 1 for a
// 3-D file whatever its unused dim entries hold.
long long declaredVolumes(const HeaderData& header) {
  long long volumes = 1;
  for (int i = 4; i <= header.dim[0] && i < 8; ++i)
    if (header.dim[i] > 1) volumes *= header.dim[i];
  return volumes;
}

}  // namespace

HeaderData::HeaderData()
    : sizeof_hdr(0), dim(new short[8]()), datatype(0), vox_offset(0.0f), byteSwap(0) {}

HeaderData::~HeaderData() {
  delete[] dim;
}

// Every public constructor delegates here first, so that once one of them
// throws, the destructor runs and frees whatever had been allocated.
niiIO::niiIO()
    : rawHeader(nullptr),
      header(nullptr),
      numVoxels(0),
      bytesPerVoxel(0),
      data(nullptr),
      dimX(0),
      dimY(0),
      dimZ(0),
      numVolumes(1) {}

niiIO::niiIO(const char* path, int volumes) : niiIO() {
  ByteBuffer file;
  loadFile(path, file);
  decode(file.bytes, file.length, path, volumes);
}

niiIO::niiIO(const unsigned char* bytes, size_t length, const char* name, int volumes) : niiIO() {
  decode(bytes, length, name, volumes);
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
  storeField<int32_t>(fresh + kOffsetSizeofHdr, kNiftiHeaderSize, swap);
  const short dims[8] = {static_cast<short>(volumes > 1 ? 4 : 3),
                         static_cast<short>(sizeX),
                         static_cast<short>(sizeY),
                         static_cast<short>(sizeZ),
                         static_cast<short>(volumes),
                         1,
                         1,
                         1};
  for (int i = 0; i < 8; ++i) storeField<int16_t>(fresh + kOffsetDim + 2 * i, dims[i], swap);
  storeField<int16_t>(fresh + kOffsetDatatype, static_cast<int16_t>(datatype), swap);
  int bitpix = datatype == 2 ? 8 : datatype == 4 ? 16 : 32;
  storeField<int16_t>(fresh + kOffsetBitpix, static_cast<int16_t>(bitpix), swap);
  for (int i = 0; i < 8; ++i) storeField<float>(fresh + kOffsetPixdim + 4 * i, 1.0f, swap);
  storeField<float>(fresh + kOffsetVoxOffset, static_cast<float>(kNiftiFreshVoxOffset), swap);
  storeField<float>(fresh + kOffsetSclSlope, 1.0f, swap);
  fresh[kOffsetXyztUnits] = 2 | 8;  // millimetres, seconds
  memcpy(fresh + kOffsetMagic, "n+1", 4);
  readHeader(fresh, sizeof fresh, name);
  numVolumes = volumes;
  data = new float[static_cast<size_t>(numVoxels) * numVolumes]();
}

float voxelStart(const HeaderData& header) {
  return header.vox_offset == 0.0f ? static_cast<float>(kNiftiFreshVoxOffset) : header.vox_offset;
}

niiIO::~niiIO() {
  delete[] rawHeader;
  delete header;
  delete[] data;
}

void niiIO::decode(const unsigned char* bytes, size_t length, const char* name, int volumes) {
  assert(volumes >= 1);
  FileContent content(bytes, length, name);
  size_t available = content.require(kNiftiHeaderSize);  // before bytes(): it may move them
  readHeader(content.bytes(), available, name);
  int held = volumesInFile(*header);
  if (held < volumes)
    throw AppError(name,
                     "holds %d volume%s (dim[0] is %d, dim[4] is %d), expected at least %d along "
                     "the fourth dimension",
                     held, held == 1 ? "" : "s", header->dim[0], header->dim[4], volumes);
  numVolumes = volumes;
  // Only the bytes up to the end of the voxels read are needed; vox_offset
  // is known finite and non-negative here.
  size_t wanted = SIZE_MAX;
  if (voxelStart(*header) < 0x1p62f)
    wanted = static_cast<size_t>(voxelStart(*header)) +
             static_cast<size_t>(numVoxels) * bytesPerVoxel * numVolumes;
  available = content.require(wanted);
  readData(content.bytes(), available, header, name);
  content.finish();
}

void niiIO::readHeader(const unsigned char* bytes, size_t length, const char* name) {
  if (length < static_cast<size_t>(kNiftiHeaderSize))
    throw AppError(name, "file is %zu bytes, shorter than the %d-byte header", length,
                     kNiftiHeaderSize);
  header = new HeaderData;
  header->byteSwap = testHeaderForByteSwap(bytes, name);
  bool swap = header->byteSwap != 0;
  header->sizeof_hdr = loadField<int32_t>(bytes + kOffsetSizeofHdr, swap);
  for (int i = 0; i < 8; ++i) header->dim[i] = loadField<int16_t>(bytes + kOffsetDim + 2 * i, swap);
  header->datatype = loadField<int16_t>(bytes + kOffsetDatatype, swap);
  header->vox_offset = loadField<float>(bytes + kOffsetVoxOffset, swap);

  // The header is untrusted: sizes are checked in 64 bits before anything
  // is allocated from them.
  long long count = 1;
  for (int i = 1; i <= 3; ++i) {
    if (header->dim[i] < 1)
      throw AppError(name, "dim[%d] is %d, expected at least 1", i, header->dim[i]);
    count *= header->dim[i];
  }
  if (count > INT_MAX)
    throw AppError(name, "dimensions %d x %d x %d make %lld voxels, more than %d", header->dim[1],
                     header->dim[2], header->dim[3], count, INT_MAX);
  int datatype = header->datatype;
  if (datatype != 2 && datatype != 4 && datatype != 16)
    throw AppError(name, "datatype is %d, expected 2 (uint8), 4 (int16) or 16 (float32)",
                     datatype);
  float offset = header->vox_offset;
  if (!std::isfinite(offset) || offset < 0.0f)
    throw AppError(name, "vox_offset is %g, expected a finite value of at least 0",
                     static_cast<double>(offset));
  if (offset > 0.0f && offset < static_cast<float>(kNiftiHeaderSize))
    throw AppError(name,
                     "vox_offset is %g, inside the %d-byte header; expected 0 (unset) or at "
                     "least %d",
                     static_cast<double>(offset), kNiftiHeaderSize, kNiftiHeaderSize);

  rawHeader = new unsigned char[kNiftiHeaderSize];
  memcpy(rawHeader, bytes, kNiftiHeaderSize);
  bytesPerVoxel = static_cast<int>(floor(sqrt(static_cast<double>(datatype))));
  dimX = header->dim[1];
  dimY = header->dim[2];
  dimZ = header->dim[3];
  numVoxels = static_cast<int>(count);
}

int niiIO::testHeaderForByteSwap(const unsigned char* bytes, const char* name) const {
  int32_t n = loadField<int32_t>(bytes + kOffsetSizeofHdr, false);
  if (n >= 338 && n <= 358) return 0;
  int32_t m = loadField<int32_t>(bytes + kOffsetSizeofHdr, true);
  if (m >= 339 && m <= 357) return 1;
  AppError unrecognised(name, "sizeof_hdr is %d, expected %d in either byte order", n,
                        kNiftiHeaderSize);
  unrecognised.markUnrecognised();
  throw unrecognised;
}

void niiIO::readData(const unsigned char* bytes, size_t length, const HeaderData* hdr,
                     const char* name) {
  // Known finite and non-negative; compared before converting, so that a
  // huge offset never reaches an integer conversion.
  float start = voxelStart(*hdr);
  if (static_cast<double>(start) > static_cast<double>(length))
    throw AppError(name, "vox_offset is %g, beyond the end of the file (%zu bytes)",
                     static_cast<double>(hdr->vox_offset), length);
  size_t offset = static_cast<size_t>(start);
  size_t count = static_cast<size_t>(numVoxels) * numVolumes;
  size_t needed = count * static_cast<size_t>(bytesPerVoxel);
  if (length - offset < needed) {
    if (numVolumes == 1)
      throw AppError(name,
                       "file is %zu bytes, shorter than the %d voxels of %d bytes its header "
                       "promises from offset %zu",
                       length, numVoxels, bytesPerVoxel, offset);
    throw AppError(name,
                     "file is %zu bytes, shorter than the %d volumes of %d voxels of %d bytes "
                     "its header promises from offset %zu",
                     length, numVolumes, numVoxels, bytesPerVoxel, offset);
  }

  data = new float[count];
  const unsigned char* in = bytes + offset;
  bool swap = hdr->byteSwap != 0;
  switch (bytesPerVoxel) {
    case 1:
      for (size_t i = 0; i < count; ++i) data[i] = in[i];
      break;
    case 2:
      for (size_t i = 0; i < count; ++i) data[i] = loadField<int16_t>(in + 2 * i, swap);
      break;
    default:
      for (size_t i = 0; i < count; ++i) data[i] = loadField<float>(in + 4 * i, swap);
      break;
  }
}

void niiIO::writeData(const float* values, long long count, const char* path) const {
  long long expected = static_cast<long long>(numVoxels) * numVolumes;
  if (count != expected)
    throw AppError(path, "cannot write %lld voxels through a %s template of %lld voxels", count,
                     datatypeName(header->datatype), expected);
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
}

void niiIO::encode(const float* values, long long count, ByteSink& sink) const {
  bool swap = header->byteSwap != 0;
  ChunkWriter out(sink);
  // The template's header travels unchanged, except where it declares more
  // volumes than are written (a 4-D file read for its first volume): a
  // header claiming volumes the file does not hold would make the output
  // unreadable to other tools, so its dimensions are narrowed to what follows.
  unsigned char head[kNiftiHeaderSize];
  memcpy(head, rawHeader, kNiftiHeaderSize);
  if (declaredVolumes(*header) != numVolumes) {
    const int16_t rank = static_cast<int16_t>(numVolumes > 1 ? 4 : 3);
    storeField<int16_t>(head + kOffsetDim, rank, swap);
    for (int i = 4; i < 8; ++i)
      storeField<int16_t>(head + kOffsetDim + 2 * i,
                          static_cast<int16_t>(i == 4 ? numVolumes : 1), swap);
  }
  out.put(head, kNiftiHeaderSize);
  // Pad with zero bytes up to where the template's voxels start, so that
  // the output reads back through its copied header; a template with the
  // offset unset (0) therefore gets the four bytes up to 352.
  const unsigned char zero = 0;
  const float start = voxelStart(*header);
  for (long long position = kNiftiHeaderSize; static_cast<float>(position) < start; ++position)
    out.put(&zero, 1);
  unsigned char encoded[4];
  for (long long i = 0; i < count; ++i) {
    switch (bytesPerVoxel) {
      case 1:
        encoded[0] = static_cast<unsigned char>(static_cast<unsigned>(floatToInt(values[i])));
        break;
      case 2:
        storeField<uint16_t>(encoded, static_cast<uint16_t>(floatToInt(values[i])), swap);
        break;
      default:
        storeField<float>(encoded, values[i], swap);
        break;
    }
    out.put(encoded, bytesPerVoxel);
  }
  out.flush();
}
