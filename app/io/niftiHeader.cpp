#include "app/io/niftiHeader.h"

#include <cassert>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>

#include "app/segmentation/error.h"

namespace {

bool hostIsBigEndian() { return __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__; }

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
// bitpix, the datatype's size in bits, is the int16 right after datatype in
// both versions.
const int kBitpixAfterDatatype = 2;

// Where the fields of the voxel-to-world transform sit: pixdim[0..3],
// qform_code and sform_code (int16 or int32), quatern_b, c, d, qoffset_x,
// y, z, then srow_x, srow_y, srow_z of four values each; every real value
// float32 in NIfTI-1 and float64 in NIfTI-2, one after another.
struct GeometryLayout {
  int pixdim;
  int qformCode;
  int codeWidth;
  int quatern;
};
const GeometryLayout kGeometry1 = {76, 252, 2, 256};
const GeometryLayout kGeometry2 = {104, 344, 4, 352};


const Layout& layoutOf(const HeaderData& header) {
  return header.version == 2 ? kLayout2 : kLayout1;
}

// A NIfTI-2 single file's magic: the check bytes after "n+2" catch files
// mangled by text-mode transfers.
const unsigned char kMagic2[8] = {'n', '+', '2', 0, '\r', '\n', 0x1a, '\n'};
const int kOffsetMagic2 = 4;

// NIfTI-1 fields written only into fresh headers.
const int kOffsetPixdim = 76;
const int kOffsetXyztUnits = 123;
const int kOffsetMagic = 344;

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

VoxelToWorld transformOf(const unsigned char* raw, const HeaderData& h) {
  const bool swap = h.byteSwap != 0;
  const Layout& layout = layoutOf(h);
  const GeometryLayout& at = h.version == 2 ? kGeometry2 : kGeometry1;
  const int w = layout.scaleWidth;
  auto real = [&](int offset) { return loadScale(raw + offset, layout, swap); };
  auto code = [&](int offset) {
    return at.codeWidth == 2 ? loadField<int16_t>(raw + offset, swap)
                             : loadField<int32_t>(raw + offset, swap);
  };
  const int qformCode = code(at.qformCode), sformCode = code(at.qformCode + at.codeWidth);
  double pixdim[4];
  for (int i = 0; i < 4; ++i) pixdim[i] = real(at.pixdim + w * i);
  VoxelToWorld transform;
  if (sformCode > 0) {
    transform.source = "sform";
    for (int row = 0; row < 3; ++row)
      for (int column = 0; column < 4; ++column)
        transform.m[row][column] = real(at.quatern + w * (6 + 4 * row + column));
  } else if (qformCode > 0) {
    const double offset[3] = {real(at.quatern + 3 * w), real(at.quatern + 4 * w),
                              real(at.quatern + 5 * w)};
    transform = qformTransform(real(at.quatern), real(at.quatern + w), real(at.quatern + 2 * w),
                               offset, pixdim);
  } else {
    for (int i = 0; i < 3; ++i) transform.m[i][i] = pixdim[i + 1];
  }
  return transform;
}

}  // namespace

long long volumesInFile(const HeaderData& header) {
  long long volumes = 1;
  for (int i = 4; i <= header.dim[0] && i < 8; ++i) {
    if (header.dim[i] > 1 && __builtin_mul_overflow(volumes, header.dim[i], &volumes))
      return LLONG_MAX;
  }
  return volumes;
}

const char* datatypeName(int code) {
  const Datatype* type = findDatatype(code);
  return type != nullptr ? type->name : nullptr;
}

int datatypeCode(const char* name) {
  for (const Datatype& type : kDatatypes)
    if (strcmp(type.name, name) == 0) return type.code;
  return 0;
}

int datatypeSize(int code) {
  const Datatype* type = findDatatype(code);
  return type != nullptr ? type->size : 0;
}

void detectVersion(const unsigned char* first, const char* name, HeaderData& header) {
  const int32_t n = loadField<int32_t>(first, false);
  const int32_t m = loadField<int32_t>(first, true);
  header.version = 1;
  header.byteSwap = 0;
  if (n >= 338 && n <= 358) return;
  header.byteSwap = 1;
  if (m >= 339 && m <= 357) return;
  header.version = 2;
  header.byteSwap = 0;
  if (n == kNifti2HeaderSize) return;
  header.byteSwap = 1;
  if (m == kNifti2HeaderSize) return;
  const char* foreign = foreignFormat(first, kNiftiHeaderSize);
  AppError unrecognised =
      foreign != nullptr
          ? AppError(name, "%s", foreign)
          : AppError(name,
                     "sizeof_hdr is %d, expected %d (NIfTI-1) or %d (NIfTI-2) in either byte "
                     "order",
                     n, kNiftiHeaderSize, kNifti2HeaderSize);
  unrecognised.markUnrecognised();
  throw unrecognised;
}

const char* foreignFormat(const unsigned char* bytes, size_t length) {
  auto startsWith = [&](size_t at, const char* text) {
    const size_t n = strlen(text);
    return length >= at + n && memcmp(bytes + at, text, n) == 0;
  };
  if (startsWith(0, "mrtrix image"))
    return "is an MRtrix image (.mif), not a NIfTI volume: convert it with mrconvert, e.g. "
           "mrconvert IN.mif OUT.nii.gz";
  if (startsWith(128, "DICM"))
    return "is a DICOM file, not a NIfTI volume: convert the series with dcm2niix or mrconvert";
  // MGH: version 1, then width, height, depth, frames and a type code, all
  // big-endian int32.
  if (length >= 24 && loadField<int32_t>(bytes, !hostIsBigEndian()) == 1) {
    bool sizes = true;
    for (int i = 1; i <= 4; ++i) sizes = sizes && loadField<int32_t>(bytes + 4 * i, !hostIsBigEndian()) > 0;
    const int32_t type = loadField<int32_t>(bytes + 20, !hostIsBigEndian());
    if (sizes && (type == 0 || type == 1 || type == 3 || type == 4))
      return "is a FreeSurfer MGH volume (.mgh, or .mgz compressed), not a NIfTI volume: convert "
             "it with mri_convert or mrconvert, e.g. mri_convert IN.mgz OUT.nii.gz";
  }
  bool text = length > 0;
  for (size_t i = 0; i < length && text; ++i)
    text = (bytes[i] >= 0x20 && bytes[i] < 0x7f) || bytes[i] == '\n' || bytes[i] == '\r' ||
           bytes[i] == '\t';
  if (text) return "is a text file, not a NIfTI volume";
  return nullptr;
}

const char* separateHeader(const unsigned char* raw, unsigned long long fileLength) {
  if (memcmp(raw + kOffsetMagic, "ni1", 4) == 0)
    return "is the header of a NIfTI-1 pair, its voxels in a separate .img file; dticut reads "
           "single files: join them, e.g. mrconvert IN.hdr OUT.nii.gz";
  if (memcmp(raw + kOffsetMagic, "n+1", 4) != 0 && fileLength == kNiftiHeaderSize)
    return "is an Analyze 7.5 header (.hdr), its voxels in a separate .img file; dticut reads "
           "NIfTI single files: convert it, e.g. mrconvert IN.hdr OUT.nii.gz";
  return nullptr;
}

void decodeHeader(const unsigned char* raw, const char* name, HeaderData& h,
                  char (&voxOffset)[32]) {
  const bool swap = h.byteSwap != 0;
  const Layout& layout = layoutOf(h);
  // A header of NIfTI-2's size without its magic is refused rather than
  // guessed at: it may be a header-and-image pair ("ni2") or damaged.
  if (h.version == 2 && memcmp(raw + kOffsetMagic2, kMagic2, sizeof kMagic2) != 0)
    throw AppError(name,
                   "sizeof_hdr is 540 (NIfTI-2) but the magic is not that of a single file, "
                   "expected \"n+2\" and the bytes 0 13 10 26 10");
  h.sizeof_hdr = loadField<int32_t>(raw, swap);
  for (int i = 0; i < 8; ++i) h.dim[i] = loadDim(raw, layout, i, swap);
  h.datatype = loadField<int16_t>(raw + layout.datatype, swap);
  h.scl_slope = loadScale(raw + layout.sclSlope, layout, swap);
  h.scl_inter = loadScale(raw + layout.sclSlope + layout.scaleWidth, layout, swap);

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
  if (findDatatype(h.datatype) == nullptr) {
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

  long long start;
  bool valid;
  if (h.version == 1) {
    float offset = loadField<float>(raw + layout.voxOffset, swap);
    snprintf(voxOffset, sizeof voxOffset, "%g", static_cast<double>(offset));
    valid = std::isfinite(offset) && offset >= 0.0f;
    start = !valid ? 0 : offset < 0x1p63f ? static_cast<long long>(offset) : LLONG_MAX;
    if (valid && offset > 0.0f && start == 0) start = 1;  // below 1: inside the header
  } else {
    start = loadField<int64_t>(raw + layout.voxOffset, swap);
    snprintf(voxOffset, sizeof voxOffset, "%lld", start);
    valid = start >= 0;
  }
  if (!valid)
    throw AppError(name, "vox_offset is %s, expected a finite value of at least 0", voxOffset);
  if (start > 0 && start < layout.headerSize)
    throw AppError(name,
                   "vox_offset is %s, inside the %d-byte header; expected 0 (unset) or at least %d",
                   voxOffset, layout.headerSize, layout.headerSize);
  h.voxelStart = start == 0 ? layout.headerSize + 4 : start;
  h.transform = transformOf(raw, h);
}

void freshHeader(int dimX, int dimY, int dimZ, int volumes, int datatype, bool swap,
                 unsigned char (&fresh)[kNiftiHeaderSize]) {
  memset(fresh, 0, sizeof fresh);
  storeField<int32_t>(fresh, kNiftiHeaderSize, swap);
  const long long dims[8] = {volumes > 1 ? 4 : 3, dimX, dimY, dimZ, volumes, 1, 1, 1};
  for (int i = 0; i < 8; ++i) storeDim(fresh, kLayout1, i, dims[i], swap);
  storeField<int16_t>(fresh + kLayout1.datatype, static_cast<int16_t>(datatype), swap);
  storeField<int16_t>(fresh + kLayout1.datatype + kBitpixAfterDatatype, static_cast<int16_t>(8 * datatypeSize(datatype)),
                      swap);
  for (int i = 0; i < 8; ++i) storeField<float>(fresh + kOffsetPixdim + 4 * i, 1.0f, swap);
  storeField<float>(fresh + kLayout1.voxOffset, static_cast<float>(kNiftiFreshVoxOffset), swap);
  storeScale(fresh + kLayout1.sclSlope, kLayout1, 1.0, swap);
  fresh[kOffsetXyztUnits] = 2 | 8;  // millimetres, seconds
  memcpy(fresh + kOffsetMagic, "n+1", 4);
}

int outputHeader(const unsigned char* raw, const HeaderData& h, int volumes, int datatype,
                 unsigned char (&head)[kNifti2HeaderSize]) {
  const Layout& layout = layoutOf(h);
  const bool swap = h.byteSwap != 0;
  memcpy(head, raw, layout.headerSize);
  if (!declaresExactly(h, volumes)) {
    storeDim(head, layout, 0, volumes > 1 ? 4 : 3, swap);
    for (int i = 4; i < 8; ++i) storeDim(head, layout, i, i == 4 ? volumes : 1, swap);
  }
  if (writesScaling(h)) {
    storeScale(head + layout.sclSlope, layout, 1.0, swap);
    storeScale(head + layout.sclSlope + layout.scaleWidth, layout, 0.0, swap);
  }
  if (datatype != 0) {
    assert(findDatatype(datatype) != nullptr);
    storeField<int16_t>(head + layout.datatype, static_cast<int16_t>(datatype), swap);
    storeField<int16_t>(head + layout.datatype + kBitpixAfterDatatype,
                        static_cast<int16_t>(8 * datatypeSize(datatype)), swap);
  }
  return layout.headerSize;
}
