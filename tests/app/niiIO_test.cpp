#include "app/niiIO.h"

#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/app/nifti_files.h"

using namespace testfiles;

namespace {

std::vector<float> voxelsOf(const niiIO& volume) {
  return std::vector<float>(volume.data, volume.data + volume.numVoxels);
}

// `text` as a regular expression matching itself.
std::string quoted(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string("()[]{}+.^$*?|\\").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

struct Encoding {
  int datatype;
  bool bigEndian;
};

const Encoding kEncodings[] = {{16, false}, {16, true}, {4, false},
                               {4, true},   {2, false}, {2, true}};

}  // namespace

// ---------------------------------------------------------------------------
// Reading hand-written files

TEST(NiiReadTest, DecodesEveryDatatypeInBothByteOrders) {
  const std::vector<double> floats = {0.0, -1.5, 3.25e-3, 1e30, -0.0, 123456.789};
  const std::vector<double> shorts = {0, -1, 32767, -32768, 5, 300};
  const std::vector<double> bytes = {0, 1, 127, 128, 254, 255};
  for (Encoding e : kEncodings) {
    SCOPED_TRACE("datatype " + std::to_string(e.datatype) + (e.bigEndian ? " big" : " little"));
    const std::vector<double>& values = e.datatype == 16  ? floats
                                        : e.datatype == 4 ? shorts
                                                          : bytes;
    Bytes file = volumeFile(3, 2, 1, values, e.datatype, e.bigEndian);
    for (const Bytes& stored : {file, gzipped(file)}) {
      niiIO volume(stored.data(), stored.size(), "mem.nii");
      EXPECT_EQ(volume.header->byteSwap, e.bigEndian != hostIsBigEndian() ? 1 : 0);
      EXPECT_EQ(volume.header->sizeof_hdr, 348);
      EXPECT_EQ(volume.header->datatype, e.datatype);
      EXPECT_EQ(volume.header->vox_offset, 352.0f);
      EXPECT_EQ(volume.dimX * 100 + volume.dimY * 10 + volume.dimZ, 321);
      EXPECT_EQ(volume.numVoxels, 6);
      EXPECT_EQ(volume.bytesPerVoxel, e.datatype == 16 ? 4 : e.datatype == 4 ? 2 : 1);
      EXPECT_EQ(0, memcmp(volume.rawHeader, file.data(), 348));
      for (int i = 0; i < 6; ++i) EXPECT_EQ(volume.data[i], static_cast<float>(values[i])) << i;
    }
  }
}

// A 4-D file yields as many of its first volumes as asked for; the voxels
// start at vox_offset truncated toward zero, past any extension bytes.
TEST(NiiReadTest, ReadsTheFirstVolumesFromTheVoxelOffset) {
  NiftiSpec spec;
  spec.dim[0] = 4;
  spec.dim[1] = 2;
  spec.dim[4] = 3;
  spec.voxOffset = 400.5f;
  spec.voxels = encodeVoxels({1, 2, 3, 4, 5, 6}, 16, false);
  Bytes file = buildNifti(spec);
  niiIO first(file.data(), file.size(), "4d.nii");
  EXPECT_EQ(voxelsOf(first), (std::vector<float>{1, 2}));
  EXPECT_EQ(first.numVolumes, 1);
  niiIO three(file.data(), file.size(), "4d.nii", 3);
  EXPECT_EQ(std::vector<float>(three.data, three.data + 6), (std::vector<float>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(three.numVolumes, 3);
}

// A small file that would inflate to 128 MiB: only the bytes up to the end
// of the voxels are kept, the rest is checked and dropped, so memory does
// not follow the expansion.
TEST(NiiReadTest, CompressedBytesBeyondTheVoxelsAreCheckedNotKept) {
  Bytes stream = gzipped(volumeFile(2, 1, 1, {7, 8}), 128u << 20);
  ASSERT_LT(stream.size(), 1u << 20);
  rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  niiIO volume(stream.data(), stream.size(), "bomb.nii.gz");
  getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(voxelsOf(volume), (std::vector<float>{7, 8}));
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 << 10);  // KiB
  stream[stream.size() - 6] ^= 1;                           // the CRC, far beyond the voxels
  EXPECT_THROW(niiIO(stream.data(), stream.size(), "bomb.nii.gz"), NiftiError);
}

// The host-order window is 338 ... 358, the reversed one only 339 ... 357.
TEST(NiiReadTest, HeaderSizeWindowsDifferByByteOrder) {
  struct Case {
    int32_t size;
    bool reversed;
    bool accepted;
  };
  const Case cases[] = {{338, false, true},  {358, false, true}, {337, false, false},
                        {359, false, false}, {339, true, true},  {357, true, true},
                        {338, true, false},  {358, true, false}, {348, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.reversed ? " reversed" : " host order"));
    NiftiSpec spec;
    spec.sizeofHdr = c.size;
    spec.bigEndian = c.reversed != hostIsBigEndian();
    spec.voxels = encodeVoxels({9}, 16, spec.bigEndian);
    Bytes file = buildNifti(spec);
    if (c.accepted) {
      niiIO volume(file.data(), file.size(), "w.nii");
      EXPECT_EQ(volume.header->byteSwap, c.reversed ? 1 : 0);
      EXPECT_EQ(volume.header->sizeof_hdr, c.size);
      EXPECT_EQ(volume.data[0], 9.0f);
    } else {
      try {
        niiIO volume(file.data(), file.size(), "w.nii");
        ADD_FAILURE() << "accepted";
      } catch (const NiftiError& error) {
        EXPECT_TRUE(error.isUnrecognisedHeader());
        // The message shows the field as read in the host's order.
        int32_t seen = c.reversed ? static_cast<int32_t>(__builtin_bswap32(c.size)) : c.size;
        EXPECT_EQ(std::string(error.what()), "w.nii: sizeof_hdr is " + std::to_string(seen) +
                                                 ", expected 348 in either byte order");
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Malformed input: refused with the file named, and reported with exit 1

namespace {

struct Malformed {
  const char* what;
  Bytes bytes;
  std::string message;  // after "<path>: "
  int volumes = 1;      // asked for
};

std::vector<Malformed> malformedCases() {
  auto withSpec = [](auto change) {
    NiftiSpec spec;
    spec.dim[1] = 2;
    spec.dim[2] = 2;
    spec.voxels = encodeVoxels({1, 2, 3, 4}, 16, false);
    change(spec);
    return buildNifti(spec);
  };
  Bytes valid = withSpec([](NiftiSpec&) {});
  auto fourD = [&](int volumes) {
    return withSpec([volumes](NiftiSpec& s) {
      s.dim[0] = 4;
      s.dim[4] = static_cast<int16_t>(volumes);
    });
  };
  Bytes truncated(valid.begin(), valid.end() - 1);
  Bytes headerOnly(valid.begin(), valid.begin() + 347);
  std::vector<Malformed> cases = {
      {"empty file", {}, "file is 0 bytes, shorter than the 348-byte header"},
      {"short header", headerOnly, "file is 347 bytes, shorter than the 348-byte header"},
      {"not a NIfTI header", withSpec([](NiftiSpec& s) { s.sizeofHdr = 540; }),
       "sizeof_hdr is 540, expected 348 in either byte order"},
      {"datatype 8", withSpec([](NiftiSpec& s) { s.datatype = 8; }),
       "datatype is 8, expected 2 (uint8), 4 (int16) or 16 (float32)"},
      {"datatype 64", withSpec([](NiftiSpec& s) { s.datatype = 64; }),
       "datatype is 64, expected 2 (uint8), 4 (int16) or 16 (float32)"},
      {"datatype 0", withSpec([](NiftiSpec& s) { s.datatype = 0; }),
       "datatype is 0, expected 2 (uint8), 4 (int16) or 16 (float32)"},
      {"datatype -16", withSpec([](NiftiSpec& s) { s.datatype = -16; }),
       "datatype is -16, expected 2 (uint8), 4 (int16) or 16 (float32)"},
      {"dim[1] zero", withSpec([](NiftiSpec& s) { s.dim[1] = 0; }),
       "dim[1] is 0, expected at least 1"},
      {"dim[2] negative", withSpec([](NiftiSpec& s) { s.dim[2] = -3; }),
       "dim[2] is -3, expected at least 1"},
      {"dim[3] zero", withSpec([](NiftiSpec& s) { s.dim[3] = 0; }),
       "dim[3] is 0, expected at least 1"},
      {"voxel count beyond 32 bits",
       withSpec([](NiftiSpec& s) { s.dim[1] = s.dim[2] = s.dim[3] = 32767; }),
       "dimensions 32767 x 32767 x 32767 make 35181150961663 voxels, more than 2147483647"},
      {"negative vox_offset", withSpec([](NiftiSpec& s) { s.voxOffset = -4; }),
       "vox_offset is -4, expected a finite value of at least 0"},
      {"NaN vox_offset", withSpec([](NiftiSpec& s) { s.voxOffset = NAN; }),
       "vox_offset is nan, expected a finite value of at least 0"},
      {"infinite vox_offset", withSpec([](NiftiSpec& s) { s.voxOffset = INFINITY; }),
       "vox_offset is inf, expected a finite value of at least 0"},
      {"vox_offset beyond the file", withSpec([](NiftiSpec& s) { s.voxOffset = 1e20f; }),
       "vox_offset is 1e+20, beyond the end of the file (368 bytes)"},
      {"voxel data one byte short", truncated,
       "file is 367 bytes, shorter than the 4 voxels of 4 bytes its header promises from "
       "offset 352"},
      {"3-D file for three volumes", valid,
       "holds 1 volume (dim[0] is 3, dim[4] is 1), expected at least 3 along the fourth "
       "dimension",
       3},
      {"dim[4] ignored below dim[0] 4", withSpec([](NiftiSpec& s) { s.dim[4] = 3; }),
       "holds 1 volume (dim[0] is 3, dim[4] is 3), expected at least 3 along the fourth "
       "dimension",
       3},
      {"two volumes for three", fourD(2),
       "holds 2 volumes (dim[0] is 4, dim[4] is 2), expected at least 3 along the fourth "
       "dimension",
       3},
      {"third volume missing", fourD(3),
       "file is 368 bytes, shorter than the 3 volumes of 4 voxels of 4 bytes its header "
       "promises from offset 352",
       3},
  };
  return cases;
}

}  // namespace

TEST(NiiMalformedTest, FilesThatCannotBeReadNameTheReason) {
  TempDir dir;
  std::string missing = dir.path("missing.nii");
  try {
    niiIO volume(missing.c_str());
    ADD_FAILURE();
  } catch (const NiftiError& error) {
    EXPECT_EQ(std::string(error.what()), missing + ": cannot open: No such file or directory");
  }
  const std::pair<std::string, std::string> unreadable[] = {
      {dir.root(), "read failed: Is a directory"},
      {"/dev/zero", "is a device, expected a regular file or a pipe"}};
  for (const auto& [path, reason] : unreadable) {
    try {
      niiIO volume(path.c_str());
      ADD_FAILURE() << path;
    } catch (const NiftiError& error) {
      EXPECT_EQ(std::string(error.what()), path + ": " + reason);
    }
  }
}

// Each case is refused, by the decoder in memory and by the reader of a
// file, plain and gzip-compressed alike, and reported with its message and
// exit status 1.
TEST(NiiMalformedDeathTest, EveryCaseIsReportedWithItsMessageAndStatusOne) {
  TempDir dir;
  std::vector<Malformed> cases = malformedCases();
  for (size_t i = 0, plain = cases.size(); i < plain; ++i) {
    cases.push_back(cases[i]);
    cases.back().bytes = gzipped(cases[i].bytes);
    cases.back().what = "compressed";
  }
  // A damaged stream, wherever the damage lies.
  Bytes stream = gzipped(volumeFile(2, 2, 1, {1, 2, 3, 4}));
  Bytes badCrc = stream;
  badCrc[badCrc.size() - 6] ^= 1;
  cases.push_back({"truncated gzip", Bytes(stream.begin(), stream.end() - 3),
                   "gzip data is truncated: the stream ends after 368 bytes decompressed, before "
                   "the end of its last member"});
  cases.push_back(
      {"gzip CRC", badCrc, "corrupt gzip data after 368 bytes decompressed: incorrect data check"});
  for (size_t i = 0; i < cases.size(); ++i) {
    const Malformed& c = cases[i];
    SCOPED_TRACE(std::to_string(i) + " " + c.what);
    // An exact-size heap copy lets the address sanitizer catch any read
    // beyond the bytes given.
    Bytes exact(c.bytes);
    EXPECT_THROW(niiIO(exact.data(), exact.size(), "m.nii", c.volumes), NiftiError);
    std::string path = dir.path("bad.nii");
    writeFile(path, c.bytes);
    // Standard output is sent to standard error in the child, so that the
    // expectation sees both streams in order.
    std::string expected = quoted("dticut: error: " + path + ": " + c.message + "\n") + "$";
    if (c.message.rfind("sizeof_hdr", 0) == 0) expected = "Unable to read file\\.\n" + expected;
    EXPECT_EXIT(
        {
          dup2(STDERR_FILENO, STDOUT_FILENO);
          try {
            niiIO volume(path.c_str(), c.volumes);
          } catch (const NiftiError& error) {
            reportNiftiError(error);
          }
        },
        testing::ExitedWithCode(1), expected);
  }
}

// ---------------------------------------------------------------------------
// Writing through a template

// Through a gzip-compressed template, to a plain and a compressed output;
// the compressed one holds exactly the plain one's bytes.
TEST(NiiWriteTest, RoundTripsEveryDatatypeInBothByteOrdersPlainAndCompressed) {
  TempDir dir;
  const std::vector<float> values = {0.0f,   1.7f,    -1.7f, 255.9f, -300.0f, 70000.0f,
                                     3.0e9f, -3.0e9f, NAN,   0.25f,  42.0f,   -0.0f};
  for (Encoding e : kEncodings) {
    SCOPED_TRACE("datatype " + std::to_string(e.datatype) + (e.bigEndian ? " big" : " little"));
    std::string templatePath = dir.path("template.nii.gz");
    std::string outPath = dir.path("out.nii"), gzPath = dir.path("out.nii.gz");
    Bytes templateFile = volumeFile(2, 3, 2, std::vector<double>(12, 1.0), e.datatype, e.bigEndian);
    writeFile(templatePath, gzipped(templateFile));
    niiIO templ(templatePath.c_str());
    templ.writeData(values.data(), 12, outPath.c_str());
    templ.writeData(values.data(), 12, gzPath.c_str());

    Bytes out = readFile(outPath);
    EXPECT_EQ(gunzipped(readFile(gzPath)), out);
    ASSERT_EQ(out.size(), 352u + 12u * templ.bytesPerVoxel);
    EXPECT_TRUE(std::equal(templateFile.begin(), templateFile.begin() + 348, out.begin()));
    EXPECT_EQ(Bytes(out.begin() + 348, out.begin() + 352), Bytes(4, 0));

    // Expected voxel bytes and values read back, independently of the writer.
    std::vector<double> stored, readBack;
    for (float v : values) {
      int64_t whole = std::isnan(v)        ? INT_MIN
                      : v >= 2147483648.0f ? INT_MAX
                      : v < -2147483648.0f ? INT_MIN
                                           : static_cast<int64_t>(v);
      stored.push_back(e.datatype == 16 ? v : static_cast<double>(whole));
      readBack.push_back(e.datatype == 16  ? v
                         : e.datatype == 4 ? static_cast<int16_t>(whole & 0xFFFF)
                                           : static_cast<double>(whole & 0xFF));
    }
    // NaN's payload is not checked byte for byte.
    if (e.datatype != 16) {
      EXPECT_EQ(Bytes(out.begin() + 352, out.end()), encodeVoxels(stored, e.datatype, e.bigEndian));
    }
    niiIO back(gzPath.c_str());
    for (int i = 0; i < 12; ++i) {
      if (std::isnan(readBack[i]))
        EXPECT_TRUE(std::isnan(back.data[i]));
      else
        EXPECT_EQ(back.data[i], static_cast<float>(readBack[i])) << i;
    }
  }
}

TEST(NiiWriteTest, PadsToTheTemplateVoxelOffset) {
  TempDir dir;
  std::string out = dir.path("o.nii");
  const float values[] = {5.0f};
  NiftiSpec low;
  low.voxOffset = 0.0f;  // voxels then follow the header directly
  low.datatype = 2;
  low.voxels = {3};
  Bytes lowFile = buildNifti(low);
  niiIO(lowFile.data(), lowFile.size(), "low").writeData(values, 1, out.c_str());
  Bytes written = readFile(out);
  ASSERT_EQ(written.size(), 349u);
  EXPECT_TRUE(std::equal(written.begin(), written.begin() + 348, lowFile.begin()));
  EXPECT_EQ(written[348], 5);

  NiftiSpec high;
  high.voxOffset = 360.5f;
  high.datatype = 2;
  high.voxels = {3};
  Bytes highFile = buildNifti(high);
  niiIO(highFile.data(), highFile.size(), "high").writeData(values, 1, out.c_str());
  written = readFile(out);
  ASSERT_EQ(written.size(), 362u);  // voxel at the ceiling of 360.5
  EXPECT_EQ(Bytes(written.begin() + 348, written.begin() + 361), Bytes(13, 0));
  EXPECT_EQ(written[361], 5);
}

// A 4-D template read for its first volume writes one volume, and its
// header must then say so; a 3-D template's header is copied unchanged.
TEST(NiiWriteTest, HeaderOfA4DTemplateDeclaresOnlyTheVolumeWritten) {
  TempDir dir;
  std::string out = dir.path("o.nii");
  const float values[] = {7.0f, 8.0f};
  for (bool bigEndian : {false, true}) {
    NiftiSpec spec;
    spec.dim[0] = 5;
    spec.dim[1] = 2;
    spec.dim[4] = 3;
    spec.dim[5] = 2;
    spec.bigEndian = bigEndian;
    spec.voxels = encodeVoxels(std::vector<double>(12, 1.0), 16, bigEndian);
    Bytes file = buildNifti(spec);
    niiIO(file.data(), file.size(), "4d.nii").writeData(values, 2, out.c_str());
    Bytes written = readFile(out);
    ASSERT_EQ(written.size(), 352u + 8u);
    Bytes expected(file.begin(), file.begin() + 348);
    putUnsigned(expected, 40, 3, 2, bigEndian);
    putUnsigned(expected, 48, 1, 2, bigEndian);
    putUnsigned(expected, 50, 1, 2, bigEndian);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 348), expected);
    niiIO back(written.data(), written.size(), "o.nii");
    EXPECT_EQ(voxelsOf(back), (std::vector<float>{7.0f, 8.0f}));
  }
}

TEST(NiiWriteTest, FreshHeaderWritesAReadableFile) {
  TempDir dir;
  for (Encoding e : kEncodings) {
    SCOPED_TRACE("datatype " + std::to_string(e.datatype));
    int swap = e.bigEndian != hostIsBigEndian() ? 1 : 0;
    int volumes = e.bigEndian ? 2 : 1;  // 4-D or 3-D
    niiIO fresh(3, 2, 4, e.datatype, swap, volumes);
    EXPECT_EQ(fresh.numVoxels, 24);
    EXPECT_EQ(fresh.data[24 * volumes - 1], 0.0f);
    std::vector<float> values(24 * volumes);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i * 3 % 250);
    std::string path = dir.path("fresh.nii");
    fresh.writeData(values.data(), 24 * volumes, path.c_str());
    Bytes bytes = readFile(path);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[344])), "n+1");
    niiIO back(path.c_str(), volumes);
    EXPECT_EQ(back.header->byteSwap, swap);
    EXPECT_EQ(back.header->vox_offset, 352.0f);
    EXPECT_EQ(back.header->dim[0], volumes == 1 ? 3 : 4);
    EXPECT_EQ(volumesInFile(*back.header), volumes);
    EXPECT_EQ(back.dimX * 100 + back.dimY * 10 + back.dimZ, 324);
    EXPECT_EQ(std::vector<float>(back.data, back.data + values.size()), values);
  }
  EXPECT_THROW(niiIO(0, 1, 1, 16, 0), NiftiError);
  EXPECT_THROW(niiIO(40000, 1, 1, 16, 0), NiftiError);
  EXPECT_THROW(niiIO(1, 1, 1, 8, 0), NiftiError);
}

// ---------------------------------------------------------------------------
// Failed writes leave what was there

namespace {

// An existing output that every failed write below must leave unchanged.
struct ExistingOutput {
  TempDir dir;
  std::string path = dir.path("result.nii");
  Bytes before = Bytes(5000, 0xAB);
  Bytes templ = volumeFile(4, 4, 4, std::vector<double>(64, 0.0));
  ExistingOutput() { writeFile(path, before); }
  bool untouched() const {
    return readFile(path) == before && dir.entries() == std::vector<std::string>{"result.nii"};
  }
};

}  // namespace

TEST(NiiWriteTest, RefusesACountOtherThanTheTemplates) {
  ExistingOutput existing;
  niiIO templ(existing.templ.data(), existing.templ.size(), "t");
  std::vector<float> values(65, 1.0f);
  for (int count : {63, 65, 0, -1}) {
    try {
      templ.writeData(values.data(), count, existing.path.c_str());
      ADD_FAILURE() << count;
    } catch (const NiftiError& error) {
      EXPECT_EQ(std::string(error.what()), existing.path + ": cannot write " +
                                               std::to_string(count) +
                                               " voxels through a float32 template of 64 voxels");
    }
  }
  EXPECT_TRUE(existing.untouched());
}

TEST(NiiWriteTest, ReportsAnOutputThatCannotBeCreated) {
  ExistingOutput existing;
  niiIO templ(existing.templ.data(), existing.templ.size(), "t");
  std::vector<float> values(64, 1.0f);
  std::string nowhere = existing.dir.path("no-such-folder/out.nii");
  try {
    templ.writeData(values.data(), 64, nowhere.c_str());
    ADD_FAILURE();
  } catch (const NiftiError& error) {
    std::string message = error.what();
    EXPECT_EQ(message.rfind(nowhere + ": cannot create " + nowhere + ".tmp", 0), 0u) << message;
    EXPECT_NE(message.find(": No such file or directory"), std::string::npos) << message;
  }
  // A folder in the way: the rename fails and the temporary goes.
  std::string folder = existing.dir.path("folder.nii");
  std::filesystem::create_directory(folder);
  std::filesystem::create_directory(folder + "/inside");
  EXPECT_THROW(templ.writeData(values.data(), 64, folder.c_str()), NiftiError);
  EXPECT_TRUE(std::filesystem::is_directory(folder + "/inside"));
  std::filesystem::remove_all(folder);
  EXPECT_TRUE(existing.untouched());
}

TEST(NiiWriteDeathTest, WriteFailureReportsAndKeepsTheEarlierFile) {
  ExistingOutput existing;
  niiIO templ(existing.templ.data(), existing.templ.size(), "t");
  std::vector<float> values(64, 1.0f);
  // The file size limit makes the write fail part-way, as a full disk would.
  EXPECT_EXIT(
      {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit;
        limit.rlim_cur = limit.rlim_max = 100;
        setrlimit(RLIMIT_FSIZE, &limit);
        try {
          templ.writeData(values.data(), 64, existing.path.c_str());
        } catch (const NiftiError& error) {
          reportNiftiError(error);
        }
      },
      testing::ExitedWithCode(1),
      "^dticut: error: .*result\\.nii: write failed: File too large\n$");
  EXPECT_TRUE(existing.untouched());
}

// ---------------------------------------------------------------------------
// Float to integer conversion

TEST(FloatToIntTest, TruncatesTowardZeroAndSaturates) {
  struct Case {
    float in;
    int out;
  };
  const Case cases[] = {{0.0f, 0},
                        {-0.0f, 0},
                        {1.7f, 1},
                        {-1.7f, -1},
                        {-0.9f, 0},
                        {2147483520.0f, 2147483520},  // largest float below 2^31
                        {2147483648.0f, INT_MAX},
                        {1e30f, INT_MAX},
                        {INFINITY, INT_MAX},
                        {-2147483648.0f, INT_MIN},
                        {-2147483904.0f, INT_MIN},  // next float below -2^31
                        {-INFINITY, INT_MIN},
                        {NAN, INT_MIN},
                        {-NAN, INT_MIN}};
  for (const Case& c : cases) EXPECT_EQ(floatToInt(c.in), c.out) << c.in;
}
