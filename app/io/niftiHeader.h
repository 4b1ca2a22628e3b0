// NIfTI-1 and NIfTI-2 single-file headers: where each field the tool uses
// sits, how its bytes are coded, which headers are accepted, and the header
// written in front of an output.
//
// Byte order is decided once per file, from sizeof_hdr; every multi-byte
// field then goes through loadField / storeField, which copy and reverse
// bytes as needed (never a cast of unaligned bytes). The header is
// untrusted: decodeHeader checks every size in 64 bits before anything is
// allocated from it, and every refusal throws AppError naming the file, the
// field, what it holds and what was expected. The write side mirrors the
// read side field for field, so an output reads back through its own header.
#ifndef DTICUT_APP_IO_NIFTIHEADER_H
#define DTICUT_APP_IO_NIFTIHEADER_H

#include <cstring>

#include "app/segmentation/geometry.h"

// Header sizes of NIfTI-1 and NIfTI-2, and the voxel offset of a fresh
// NIfTI-1 single file (header plus the four-byte extension flag).
const int kNiftiHeaderSize = 348;
const int kNifti2HeaderSize = 540;
const int kNiftiFreshVoxOffset = 352;

// The interpreted header fields, in host form.
struct HeaderData {
  int version = 0;     // 1 (NIfTI-1) or 2 (NIfTI-2)
  int sizeof_hdr = 0;  // after byte-order correction: 338 ... 358, or 540
  // dim[0] ... dim[7] as stored (NIfTI-1's 16-bit values widened); dim[1],
  // dim[2], dim[3] are the volume's size, dims 4 ... dim[0] count volumes.
  long long dim[8] = {};
  int datatype = 0;          // one of the accepted codes once accepted
  long long voxelStart = 0;  // offset of the first voxel (see decodeHeader)
  double scl_slope = 0.0;    // as stored (NIfTI-1's float widened)
  double scl_inter = 0.0;    // as stored
  int byteSwap = 0;          // 1 when the file's byte order is the reverse of the host's
  // Voxel to world: the sform where sform_code > 0, else the qform where
  // qform_code > 0, else the voxel sizes pixdim[1..3] alone.
  VoxelToWorld transform;
};

// Volumes a file holds: the product of dim[4] ... dim[dim[0]] (at most
// dim[7]), entries below 1 counting as 1, in file order: dim[4] fastest.
// So a 3-D file holds 1, dipy's X x Y x Z x 3 x 3 eigenvectors 9. Saturates
// at LLONG_MAX.
long long volumesInFile(const HeaderData& header);

// The accepted datatypes, every real numeric type of NIfTI: the name
// ("float32") and size in bytes of `code`, or null and 0 for any other.
const char* datatypeName(int code);
int datatypeSize(int code);
// The code of the accepted datatype named `name` ("uint8" ... "float64"),
// or 0 for any other name.
int datatypeCode(const char* name);

// Reverses `size` bytes in place when `swap` is set. Every multi-byte value
// of a file passes through here on its way in or out, so byte order is
// handled in exactly one place.
inline void orderBytes(unsigned char* bytes, int size, bool swap) {
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

// The version and byte order that the header size in `first` (the first
// kNiftiHeaderSize bytes) gives: 338 ... 358 (339 ... 357 reversed) is
// NIfTI-1, 540 NIfTI-2. Any other size is not a volume: AppError marked
// unrecognised, naming `name` and what the file is (foreignFormat) when
// that is known.
void detectVersion(const unsigned char* first, const char* name, HeaderData& header);

// What a file that is not a NIfTI volume is, from its first `length`
// bytes (after decompression), and how to convert it: an MRtrix image, a
// DICOM file, a FreeSurfer MGH volume, or text; null when it looks like
// none of them.
const char* foreignFormat(const unsigned char* bytes, size_t length);

// What a NIfTI-1 header without voxels in its file is: the header of a
// header-and-image pair (magic "ni1"), or an Analyze 7.5 header (no magic,
// and the file holds the header alone); null otherwise.
const char* separateHeader(const unsigned char* raw, unsigned long long fileLength);

// Decodes and checks the fields of a whole header (`raw`, kNiftiHeaderSize
// or, for NIfTI-2, kNifti2HeaderSize bytes) whose version and byte order
// detectVersion set: NIfTI-2's single-file magic "n+2\0\r\n\032\n" (without
// it the header may belong to a header-and-image pair, or be damaged),
// dims 1 ... 3 at least 1 with at most INT_MAX voxels, an accepted datatype,
// and vox_offset: finite and not negative, 0 (unset) or beyond the header.
// The voxels start at vox_offset truncated toward zero, computed exactly;
// 0 means right after the header and its four extension bytes (352 for
// NIfTI-1, 544 for NIfTI-2). `voxOffset` receives the field as stored, for
// messages.
void decodeHeader(const unsigned char* raw, const char* name, HeaderData& header,
                  char (&voxOffset)[32]);

// A fresh NIfTI-1 header (vox_offset 352, magic "n+1", unit pixdim, no
// scaling) for `volumes` volumes of dimX x dimY x dimZ voxels (3-D for one
// volume, 4-D otherwise) of `datatype`, in the host's byte order or, with
// `swap`, the reverse; sizes must fit the header's 16 bits.
void freshHeader(int dimX, int dimY, int dimZ, int volumes, int datatype, bool swap,
                 unsigned char (&raw)[kNiftiHeaderSize]);

// The header in front of `volumes` volumes written through a template
// (`raw`, decoded as `header`): the template's bytes except where they
// would misdescribe what follows. Dims that other readers would take for
// another number of volumes (a 4-D file read for its first volume, a
// dim[0] outside 1 ... 7, a volume dimension of 0) become dim[0] = 3 (4 for
// several volumes), dim[4] = volumes, dim[5..7] = 1; scaling that a reader
// would apply becomes slope 1, intercept 0; a `datatype` other than 0 (an
// accepted code) replaces the datatype and bitpix fields, every other field
// (geometry, units, descriptions, intent) staying the template's. Returns
// the header's size.
int outputHeader(const unsigned char* raw, const HeaderData& header, int volumes, int datatype,
                 unsigned char (&out)[kNifti2HeaderSize]);

#endif  // DTICUT_APP_IO_NIFTIHEADER_H
