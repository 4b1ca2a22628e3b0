#include "app/io/niiIO.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "app/io/atomicFile.h"
#include "app/io/byteStream.h"
#include "app/io/gzip.h"
#include "app/io/niftiVoxels.h"

// Float conversions rely on IEEE 754: round to nearest, and a double beyond
// float's range becomes an infinity.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "IEEE 754 floats are required");

namespace {

// Runs `step`, turning a failed allocation in it into this layer's error.
// The large allocations (voxels) are checked where they are made and
// report their sizes; this catches the small ones (buffers, bookkeeping).
template <typename Step>
void reportingMemory(const char* name, Step step) {
  try {
    step();
  } catch (const std::bad_alloc&) {
    throw AppError(AppError::kOutOfMemory, "%s: no room for the buffers to read or write it", name);
  }
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
  unsigned char fresh[kNiftiHeaderSize];
  freshHeader(sizeX, sizeY, sizeZ, volumes, datatype, byteSwap != 0, fresh);
  reportingMemory(name, [&] { openMemory(fresh, sizeof fresh, name); });
  m_pending.reset();
  size_t count = static_cast<size_t>(numVoxels) * volumes;
  data = new (std::nothrow) float[count]();
  if (data == nullptr)
    throw AppError(AppError::kOutOfMemory, "%s: %d x %d x %d voxels x %d volumes need %zu bytes as floats",
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
  if (got < static_cast<size_t>(kNiftiHeaderSize)) {
    if (const char* foreign = foreignFormat(rawHeader, got)) throw AppError(name, "%s", foreign);
    throw AppError(name, "file is %zu bytes, shorter than the %d-byte header", got,
                   kNiftiHeaderSize);
  }
  HeaderData& h = *header;
  h.byteSwap = testHeaderForByteSwap(rawHeader, &h.version);
  if (h.version == 2) {
    in.position +=
        in.content->read(rawHeader + kNiftiHeaderSize, kNifti2HeaderSize - kNiftiHeaderSize);
    if (in.position < static_cast<unsigned long long>(kNifti2HeaderSize))
      throw AppError(name, "file is %llu bytes, shorter than the %d-byte header", in.position,
                     kNifti2HeaderSize);
  }
  decodeHeader(rawHeader, name, h, in.voxOffset);
  bytesPerVoxel = datatypeSize(h.datatype);
  dimX = static_cast<int>(h.dim[1]);
  dimY = static_cast<int>(h.dim[2]);
  dimZ = static_cast<int>(h.dim[3]);
  numVoxels = dimX * dimY * dimZ;
}

int niiIO::testHeaderForByteSwap(const unsigned char* bytes, int* version) const {
  HeaderData found;
  detectVersion(bytes, m_pending->name.c_str(), found);
  *version = found.version;
  return found.byteSwap;
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
    throw AppError(AppError::kOutOfMemory, "%s: %d x %d x %d voxels%s need %.0f bytes as floats", name,
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
  if (header->version == 1)
    if (const char* separate = separateHeader(rawHeader, length))
      throw AppError(name, "%s", separate);
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

void niiIO::writeData(const float* values, long long count, const char* path,
                      int datatype) const {
  assert(m_pending == nullptr);  // a template's voxels have been read
  long long expected = static_cast<long long>(numVoxels) * numVolumes;
  if (count != expected)
    throw AppError(path, "cannot write %lld voxels through a %s template of %lld voxels", count,
                   datatypeName(header->datatype), expected);
  reportingMemory(path, [&] {
    AtomicFile file(path);
    size_t length = strlen(path);
    if (length >= 3 && strcmp(path + length - 3, ".gz") == 0) {
      GzipWriter gzip(file, path);
      encode(values, count, datatype, gzip);
      gzip.finish();
    } else {
      encode(values, count, datatype, file);
    }
    file.commit();
  });
}

void niiIO::encode(const float* values, long long count, int datatype, ByteSink& sink) const {
  const HeaderData& h = *header;
  const bool swap = h.byteSwap != 0;
  ChunkWriter out(sink);
  unsigned char head[kNifti2HeaderSize];
  const int headerSize = outputHeader(rawHeader, h, numVolumes, datatype, head);
  out.put(head, headerSize);
  // Zero bytes up to exactly where a reader takes the voxels from.
  out.putZeros(static_cast<unsigned long long>(h.voxelStart - headerSize));
  withVoxelType(datatype != 0 ? datatype : h.datatype, [&](auto raw) {
    using Raw = decltype(raw);
    // A block of voxels at a time, the byte order a constant of the loop.
    const long long block = 4096;
    unsigned char encoded[block * sizeof(Raw)];
    auto encodeAll = [&](auto reversed) {
      for (long long i = 0; i < count; i += block) {
        const long long n = std::min(block, count - i);
        for (long long j = 0; j < n; ++j)
          encodeAs<Raw>(values[i + j], reversed, encoded + j * sizeof(Raw));
        out.put(encoded, static_cast<int>(n * sizeof(Raw)));
      }
    };
    swap ? encodeAll(std::true_type()) : encodeAll(std::false_type());
  });
  out.flush();
}
