// NIfTI-1 single-file volumes (.nii): the tool's only file format layer.
//
// A niiIO holds one 3-D volume as 32-bit floats, whatever the file's voxel
// type (uint8, int16, float32) and byte order, together with the file's
// 348 header bytes exactly as stored. writeData writes another float array
// of the same size through that header, so the output keeps the template's
// datatype, byte order and every header field. Reading decodes from memory:
// a file is loaded whole, then decoded, so the cost is one pass over the
// bytes and the peak memory is the file plus the float array.
//
// Every failure (unreadable, truncated or malformed file, failed write)
// throws NiftiError; reportNiftiError is the one place that reports it.
#ifndef DTICUT_APP_NIIIO_H
#define DTICUT_APP_NIIIO_H

#include <cstddef>
#include <exception>

// Size of the NIfTI-1 header, and the voxel offset of a fresh single file
// (header plus the four-byte extension flag).
const int kNiftiHeaderSize = 348;
const int kNiftiFreshVoxOffset = 352;

// A file or volume that cannot be read, combined or written. The message
// names the file, the field or step, what was expected and what was found.
class NiftiError : public std::exception {
 public:
  // Fixed-size text: an exception must not need an allocation to carry it.
  static const int kMaxMessage = 4400;

  // `path` names the file; the rest is a printf-style description.
  NiftiError(const char* path, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Marks the error as the unrecognised header size, which is also
  // announced on standard output by reportNiftiError.
  static NiftiError unrecognisedHeader(const char* path, int sizeofHdr);

  const char* what() const noexcept override { return m_message; }
  bool isUnrecognisedHeader() const { return m_unrecognisedHeader; }

 private:
  char m_message[kMaxMessage];
  bool m_unrecognisedHeader;
};

// Reports `error` and ends the process with exit status 1: for an
// unrecognised header size "Unable to read file." on standard output first,
// then "dticut: error: <message>" on standard error.
[[noreturn]] void reportNiftiError(const NiftiError& error);

// Float to 32-bit integer as the tool converts costs and integer voxels:
// truncation toward zero, saturating at the 32-bit limits; NaN gives
// -2147483648. Never performs an out-of-range float-to-int cast.
int floatToInt(float value);

// The four interpreted header fields, in host form.
struct HeaderData {
  HeaderData();
  ~HeaderData();
  HeaderData(const HeaderData&) = delete;
  HeaderData& operator=(const HeaderData&) = delete;

  int sizeof_hdr;    // after byte-order correction: 338 ... 358
  short* dim;        // owned, dim[0] ... dim[7]
  int datatype;      // 2, 4 or 16 once a header has been accepted
  float vox_offset;  // finite and non-negative once accepted
  int byteSwap;      // 1 when the file's byte order is the reverse of the host's
};

class niiIO {
 public:
  // Reads the volume stored at `path`.
  explicit niiIO(const char* path);
  // Decodes a whole file image held in memory; `name` names it in errors.
  niiIO(const unsigned char* bytes, size_t length, const char* name);
  // A fresh NIfTI-1 header (vox_offset 352, magic "n+1", unit pixdim, no
  // scaling) for a dimX x dimY x dimZ volume of `datatype` (2, 4 or 16),
  // in the host's byte order or, with byteSwap 1, the reverse; all voxels 0.
  niiIO(int dimX, int dimY, int dimZ, int datatype, int byteSwap);
  ~niiIO();
  niiIO(const niiIO&) = delete;
  niiIO& operator=(const niiIO&) = delete;

  // Writes a NIfTI-1 file at `path` with this object's header and the
  // `count` values, encoded like this object's voxels. `count` must equal
  // numVoxels. The file appears at `path` only once completely written:
  // whatever was there before survives any failure.
  void writeData(const float* values, int count, const char* path) const;

  unsigned char* rawHeader;  // the first 348 bytes of the file, as stored
  HeaderData* header;
  int numVoxels;      // dimX * dimY * dimZ, at least 1
  int bytesPerVoxel;  // 1, 2 or 4
  float* data;        // numVoxels values, owned (a caller may take it and null it)
  int dimX, dimY, dimZ;

 private:
  niiIO();
  void readHeader(const unsigned char* bytes, size_t length, const char* name);
  int testHeaderForByteSwap(const unsigned char* bytes, const char* name) const;
  void readData(const unsigned char* bytes, size_t length, const HeaderData* hdr, const char* name);
};

#endif  // DTICUT_APP_NIIIO_H
