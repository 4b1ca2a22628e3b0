// NIfTI-1 single-file volumes (.nii, or gzip-compressed .nii.gz): the
// tool's only file format layer.
//
// A niiIO holds one 3-D volume (or the first volumes of a 4-D file) as
// 32-bit floats, whatever the file's voxel type (uint8, int16, float32) and
// byte order, together with the file's 348 header bytes exactly as stored.
// writeData writes float arrays of the same size through that header, so the
// output keeps the template's datatype, byte order and every header field.
// Content that starts with the gzip magic is inflated first; the decoder sees
// exactly the bytes of the uncompressed file. Reading decodes from memory:
// a file is loaded whole, then decoded, so the cost is one pass over the
// bytes and the peak memory is the file plus the float array (for a gzip
// file: the compressed file, the inflated bytes up to the end of the voxels
// read, and the floats; the rest of the stream is checked, not kept).
//
// Every failure (unreadable, truncated or malformed file, corrupt gzip
// stream, failed write) throws AppError naming the file.
#ifndef DTICUT_APP_NIIIO_H
#define DTICUT_APP_NIIIO_H

#include <cstddef>

#include "app/error.h"

class ByteSink;

// Size of the NIfTI-1 header, and the voxel offset of a fresh single file
// (header plus the four-byte extension flag).
const int kNiftiHeaderSize = 348;
const int kNiftiFreshVoxOffset = 352;

// The four interpreted header fields, in host form.
struct HeaderData {
  HeaderData();
  ~HeaderData();
  HeaderData(const HeaderData&) = delete;
  HeaderData& operator=(const HeaderData&) = delete;

  int sizeof_hdr;    // after byte-order correction: 338 ... 358
  short* dim;        // owned, dim[0] ... dim[7]
  int datatype;      // 2, 4 or 16 once a header has been accepted
  float vox_offset;  // as stored: 0 (unset) or at least 348 once accepted
  int byteSwap;      // 1 when the file's byte order is the reverse of the host's
};

// Volumes a file holds along its fourth dimension: dim[4] when dim[0] is at
// least 4 and dim[4] at least 1, otherwise 1.
int volumesInFile(const HeaderData& header);

// Where a file's voxels start: vox_offset, except that 0 means the field was
// left unset and the voxels follow the header and its four extension bytes
// (352), as single files in circulation are written and other readers take
// them. Offsets between 0 and 348 are refused when the header is read.
float voxelStart(const HeaderData& header);

class niiIO {
 public:
  // Reads the first `volumes` volumes of the file at `path`. More than one
  // volume needs a file that holds that many (volumesInFile); a file with
  // more yields only the first ones.
  explicit niiIO(const char* path, int volumes = 1);
  // Decodes a whole file image held in memory, plain or gzip-compressed;
  // `name` names it in errors.
  niiIO(const unsigned char* bytes, size_t length, const char* name, int volumes = 1);
  // A fresh NIfTI-1 header (vox_offset 352, magic "n+1", unit pixdim, no
  // scaling) for `volumes` volumes of dimX x dimY x dimZ voxels (3-D for
  // one volume, 4-D otherwise) of `datatype` (2, 4 or 16), in the host's
  // byte order or, with byteSwap 1, the reverse; all voxels 0.
  niiIO(int dimX, int dimY, int dimZ, int datatype, int byteSwap, int volumes = 1);
  ~niiIO();
  niiIO(const niiIO&) = delete;
  niiIO& operator=(const niiIO&) = delete;

  // Writes a NIfTI-1 file at `path` with this object's header and the
  // `count` values, encoded like this object's voxels; gzip-compressed when
  // `path` ends in ".gz", the compressed bytes being those of the plain
  // file. `count` must equal numVoxels * numVolumes. The file appears at
  // `path` only once completely written: whatever was there before survives
  // any failure.
  void writeData(const float* values, long long count, const char* path) const;

  unsigned char* rawHeader;  // the first 348 bytes of the file, as stored
  HeaderData* header;
  int numVoxels;      // dimX * dimY * dimZ, at least 1
  int bytesPerVoxel;  // 1, 2 or 4
  // numVoxels * numVolumes values, volume k from data + k * numVoxels;
  // owned (a caller may take it and null it).
  float* data;
  int dimX, dimY, dimZ;
  int numVolumes;  // volumes held in data, at least 1

 private:
  niiIO();
  void decode(const unsigned char* bytes, size_t length, const char* name, int volumes);
  void readHeader(const unsigned char* bytes, size_t length, const char* name);
  int testHeaderForByteSwap(const unsigned char* bytes, const char* name) const;
  void readData(const unsigned char* bytes, size_t length, const HeaderData* hdr, const char* name);
  // The plain file's bytes for `values`: header, padding, voxels.
  void encode(const float* values, long long count, ByteSink& sink) const;
};

#endif  // DTICUT_APP_NIIIO_H
