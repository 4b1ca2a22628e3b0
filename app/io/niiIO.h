// NIfTI single-file volumes (NIfTI-1 or NIfTI-2; .nii, or gzip-compressed
// .nii.gz): the tool's only file format layer.
//
// A niiIO holds volumes of one file as 32-bit floats, whatever the file's
// voxel type and byte order, together with the file's header bytes exactly
// as stored; writeData writes float arrays of the same size through that
// header, so an output keeps the template's format, datatype, byte order
// and header fields. Reading comes in two steps, so that a caller can check
// every file's header before reading any voxels: openHeader opens the file
// once and decodes its header only, keeping the file open; readVoxels then
// reads on, strictly forward, so pipes and FIFOs work as well as regular
// files (devices and folders are refused). A plain file is never read
// beyond its header before readVoxels, nor beyond its voxels after; a gzip
// file is inflated only as far as needed and then checked to its end.
// Memory: the floats, plus fixed buffers (and zlib's state for gzip).
//
// Values. A voxel of any real numeric datatype (uint8, int8, int16, uint16,
// int32, uint32, int64, uint64, float32, float64) becomes the float nearest
// to it; float64 values beyond float's range become +-infinity. When
// scl_slope is finite and not 0 the file is scaled: a voxel's value is
// raw * scl_slope + scl_inter, computed in double precision and rounded
// once to float, with two refinements: a non-finite scl_inter counts as 0
// (one bad field must not turn every voxel into NaN), and slope 1 with
// intercept 0 reads the raw values unchanged (the formula would only turn
// -0.0 into +0.0). A slope of 0 or not finite means no scaling.
//
// Versions: the header size decides, in either byte order: 338 ... 358
// (339 ... 357 reversed) is NIfTI-1, 540 is NIfTI-2 and then needs the
// single-file magic "n+2\0\r\n\032\n" (without it the header may belong to
// a header-and-image pair, or be damaged: refused); any other size is not
// a volume (AppError marked unrecognised).
//
// Where the voxels start: vox_offset truncated toward zero, computed
// exactly; 0 means unset, the voxels then following the header and its four
// extension bytes (352 for NIfTI-1, 544 for NIfTI-2). Writing uses the same
// rule, so an output always reads back through its copied header.
//
// Every failure (unreadable, truncated or malformed file, corrupt gzip
// stream, failed write) throws AppError naming the file; an allocation that
// fails throws AppError "out of memory: FILE: ..." with the size and the
// bytes needed.
#ifndef DTICUT_APP_IO_NIIIO_H
#define DTICUT_APP_IO_NIIIO_H

#include <cstddef>
#include <memory>
#include <string>

#include "app/io/niftiHeader.h"
#include "app/segmentation/error.h"

class ByteSink;
class ByteSource;

class niiIO {
 public:
  // Opens the file at `path` and decodes its header; the voxels are read by
  // readVoxels. Regular files, pipes and FIFOs are read strictly forward
  // and opened once. Throws AppError for a file that cannot be opened or is
  // a device, and for a malformed header.
  static std::unique_ptr<niiIO> openHeader(const char* path);
  // The same over a whole file image in memory, plain or gzip-compressed;
  // `bytes` must stay valid until readVoxels. `name` names it in errors.
  static std::unique_ptr<niiIO> openHeader(const unsigned char* bytes, size_t length,
                                           const char* name);
  // Throws AppError naming the file and its dims unless it holds at least
  // `volumes` volumes (volumesInFile); valid between openHeader and
  // readVoxels.
  void requireVolumes(int volumes) const;
  // Reads the first `volumes` volumes (in file order) into `data` and
  // closes the file. Needs a file that holds that many (requireVolumes);
  // may be called once, after openHeader.
  void readVoxels(int volumes);

  // openHeader, then readVoxels(volumes).
  explicit niiIO(const char* path, int volumes = 1);
  niiIO(const unsigned char* bytes, size_t length, const char* name, int volumes = 1);
  // A fresh NIfTI-1 header (vox_offset 352, magic "n+1", unit pixdim, no
  // scaling) for `volumes` volumes of dimX x dimY x dimZ voxels (3-D for
  // one volume, 4-D otherwise) of any accepted `datatype`, in the host's
  // byte order or, with byteSwap 1, the reverse; all voxels 0.
  niiIO(int dimX, int dimY, int dimZ, int datatype, int byteSwap, int volumes = 1);
  ~niiIO();
  niiIO(const niiIO&) = delete;
  niiIO& operator=(const niiIO&) = delete;

  // Writes a file at `path` with this object's header and the `count`
  // values; gzip-compressed when `path` ends in ".gz", the compressed bytes
  // being those of the plain file. `count` must equal numVoxels *
  // numVolumes; the object's voxels must have been read (or be fresh).
  // The header is the template's byte for byte except where it would
  // misdescribe the values written: dims that do not declare exactly
  // numVolumes volumes of dimX x dimY x dimZ become dim[0] = 3 (4 for
  // several volumes), dim[4] = numVolumes, dim[5..7] = 1; a scaled template
  // gets scl_slope 1 and scl_inter 0. Values are stored in the template's
  // datatype: floats as they are (float64 widened exactly), integer types
  // through floatToInt and then the type's low bits (64-bit types: the
  // 32-bit result sign-extended). A `datatype` other than 0 (an accepted
  // code, see datatypeCode) stores them in that type instead, the header
  // saying so (datatype and bitpix) and otherwise as above. Voxels start at
  // the template's voxelStart, after zero bytes. The file appears at `path`
  // only once completely written: whatever was there before survives any
  // failure.
  void writeData(const float* values, long long count, const char* path, int datatype = 0) const;

  // The first 348 (NIfTI-1) or 540 (NIfTI-2) bytes of the file, as stored.
  unsigned char rawHeader[kNifti2HeaderSize];
  HeaderData* header;  // owned
  int numVoxels;       // dimX * dimY * dimZ, at least 1
  int bytesPerVoxel;   // the datatype's size: 1, 2, 4 or 8
  // numVoxels * numVolumes values, volume k from data + k * numVoxels;
  // owned (a caller may take it and null it); null before readVoxels.
  float* data;
  int dimX, dimY, dimZ;
  // Volumes read into data; 1 before readVoxels, so that a write through
  // the object holds one volume.
  int numVolumes;

 private:
  struct Pending;  // the open file between the header and the voxels

  niiIO();
  void openFile(const char* path);
  void openMemory(const unsigned char* bytes, size_t length, const char* name);
  // Reads and checks the header from `stored` (the file as stored, of
  // `storedLength` bytes, ULLONG_MAX for a pipe), inflating it when gzip.
  void readHeader(ByteSource& stored, unsigned long long storedLength);
  int testHeaderForByteSwap(const unsigned char* bytes, int* version) const;
  // Throws the error of a file whose content ends after `length` bytes,
  // before the voxels of `volumes` volumes.
  [[noreturn]] void refuseShortFile(unsigned long long length, int volumes) const;
  // The plain file's bytes for `values`: header, padding, voxels.
  void encode(const float* values, long long count, int datatype, ByteSink& sink) const;

  std::unique_ptr<Pending> m_pending;  // until readVoxels
};

#endif  // DTICUT_APP_IO_NIIIO_H
