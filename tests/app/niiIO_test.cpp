#include "app/niiIO.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/atomicFile.h"
#include "app/floatToInt.h"
#include "tests/app/nifti_files.h"

using namespace testfiles;

namespace {

std::vector<float> voxelsOf(const niiIO& volume, int volumes = 1) {
  return std::vector<float>(volume.data, volume.data + volumes * volume.numVoxels);
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading and writing

// Each encoding is read from a plain and a gzip-compressed template, and
// written through it to a plain and a compressed output: the header is the
// template's, the voxels converted by floatToInt (its own test below) and
// cut to the datatype's width, and the compressed output holds exactly the
// plain one's bytes.
TEST(NiiIOTest, RoundTripsEveryDatatypeInBothByteOrdersPlainAndCompressed) {
  TempDir dir;
  const std::vector<double> read[] = {{0, -1.5, 3.25e-3, 1e30, -0.0, 123456.789},
                                      {0, -1, 32767, -32768, 5, 300},
                                      {0, 1, 127, 128, 254, 255}};
  const std::vector<float> written = {0.0f,   1.7f,    -1.7f, 255.9f, -300.0f, 70000.0f,
                                      3.0e9f, -3.0e9f, NAN,   0.25f,  42.0f,   -0.0f};
  for (int datatype : {16, 4, 2}) {
    for (bool bigEndian : {false, true}) {
      SCOPED_TRACE("datatype " + std::to_string(datatype) + (bigEndian ? " big" : " little"));
      const std::vector<double>& values = read[datatype == 16 ? 0 : datatype == 4 ? 1 : 2];
      Bytes file = volumeFile(3, 2, 1, values, datatype, bigEndian);
      for (const Bytes& stored : {file, gzipped(file)}) {
        niiIO volume(stored.data(), stored.size(), "mem.nii");
        EXPECT_EQ(volume.header->byteSwap, bigEndian != hostIsBigEndian() ? 1 : 0);
        EXPECT_EQ(volume.dimX * 100 + volume.dimY * 10 + volume.dimZ, 321);
        EXPECT_EQ(voxelsOf(volume), std::vector<float>(values.begin(), values.end()));
      }

      std::string templatePath = dir.path("template.nii.gz");
      std::string outPath = dir.path("out.nii"), gzPath = dir.path("out.nii.gz");
      Bytes templateFile = volumeFile(2, 3, 2, std::vector<double>(12, 1.0), datatype, bigEndian);
      writeFile(templatePath, gzipped(templateFile));
      niiIO templ(templatePath.c_str());
      templ.writeData(written.data(), 12, outPath.c_str());
      templ.writeData(written.data(), 12, gzPath.c_str());
      Bytes out = readFile(outPath);
      EXPECT_EQ(gunzipped(readFile(gzPath)), out);
      Bytes expected(templateFile.begin(), templateFile.begin() + 352);
      std::fill(expected.begin() + 348, expected.end(), 0);
      std::vector<double> stored;
      for (float v : written) stored.push_back(datatype == 16 ? double{v} : 1.0 * floatToInt(v));
      Bytes voxels = encodeVoxels(stored, datatype, bigEndian);
      expected.insert(expected.end(), voxels.begin(), voxels.end());
      if (datatype == 16) std::copy_n(out.begin() + 352 + 32, 4, expected.begin() + 352 + 32);
      EXPECT_EQ(out, expected);  // NaN's float payload is left to the writer
    }
  }
}

// A 4-D file yields as many of its first volumes as asked for; the voxels
// start at vox_offset truncated toward zero, past any extension bytes.
TEST(NiiIOTest, ReadsTheFirstVolumesFromTheVoxelOffset) {
  NiftiFields fields;
  fields.dim[0] = 4;
  fields.dim[1] = 2;
  fields.dim[4] = 3;
  fields.voxOffset = 400.5f;
  fields.voxels = encodeVoxels({1, 2, 3, 4, 5, 6}, 16, false);
  Bytes file = buildNifti(fields);
  EXPECT_EQ(voxelsOf(niiIO(file.data(), file.size(), "4d.nii")), (std::vector<float>{1, 2}));
  niiIO three(file.data(), file.size(), "4d.nii", 3);
  EXPECT_EQ(voxelsOf(three, 3), (std::vector<float>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(three.numVolumes, 3);
}

// Single files written with vox_offset left unset (0) hold their voxels at
// 352; a rewrite through such a template puts them there again, so the
// output reads back through its unchanged header, here and elsewhere.
TEST(NiiIOTest, AnUnsetVoxelOffsetMeansTheVoxelsStartAt352) {
  TempDir dir;
  const std::vector<double> values = {-7, 300, 0, 32767, -32768, 12};
  const std::vector<float> labels = {1, 0, 1, 1, 0, 0};
  for (bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
    NiftiFields fields;
    fields.dim[1] = 3;
    fields.dim[2] = 2;
    fields.datatype = 4;
    fields.voxOffset = 0.0f;
    fields.bigEndian = bigEndian;
    fields.voxels = encodeVoxels(values, 4, bigEndian);
    Bytes file = buildNifti(fields);
    ASSERT_EQ(file.size(), 352u + 12);
    niiIO templ(file.data(), file.size(), "unset.nii");
    EXPECT_EQ(voxelsOf(templ), std::vector<float>(values.begin(), values.end()));

    std::string out = dir.path("labels.nii");
    templ.writeData(labels.data(), 6, out.c_str());
    Bytes written = readFile(out);
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 348, written.begin()));
    EXPECT_EQ(voxelsOf(niiIO(out.c_str())), labels);
    EXPECT_EQ(written.size(), 352u + 12);
  }
}

// A small file that would inflate to 128 MiB: only the bytes up to the end
// of the voxels are kept, the rest is checked and dropped, so memory does
// not follow the expansion.
TEST(NiiIOTest, CompressedBytesBeyondTheVoxelsAreCheckedNotKept) {
  Bytes stream = gzipped(volumeFile(2, 1, 1, {7, 8}), 128u << 20);
  ASSERT_LT(stream.size(), 1u << 20);
  rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  niiIO volume(stream.data(), stream.size(), "bomb.nii.gz");
  getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(voxelsOf(volume), (std::vector<float>{7, 8}));
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 << 10);  // KiB
  stream[stream.size() - 6] ^= 1;                           // the CRC, far beyond the voxels
  EXPECT_THROW(niiIO(stream.data(), stream.size(), "bomb.nii.gz"), AppError);
}

// The host-order window is 338 ... 358, the reversed one only 339 ... 357.
TEST(NiiIOTest, HeaderSizeWindowsDifferByByteOrder) {
  const struct {
    int32_t size;
    bool reversed, accepted;
  } cases[] = {{338, false, true},  {358, false, true}, {337, false, false},
               {359, false, false}, {339, true, true},  {357, true, true},
               {338, true, false},  {358, true, false}, {348, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.reversed ? " reversed" : " host order"));
    NiftiFields fields;
    fields.sizeofHdr = c.size;
    fields.bigEndian = c.reversed != hostIsBigEndian();
    fields.voxels = encodeVoxels({9}, 16, fields.bigEndian);
    Bytes file = buildNifti(fields);
    if (c.accepted) {
      niiIO volume(file.data(), file.size(), "w.nii");
      EXPECT_EQ(volume.header->byteSwap, c.reversed ? 1 : 0);
      EXPECT_EQ(volume.data[0], 9.0f);
      continue;
    }
    try {
      niiIO volume(file.data(), file.size(), "w.nii");
      ADD_FAILURE() << "accepted";
    } catch (const AppError& error) {
      EXPECT_TRUE(error.isUnrecognised());
      // The message shows the field as read in the host's order.
      int32_t seen = c.reversed ? static_cast<int32_t>(__builtin_bswap32(c.size)) : c.size;
      EXPECT_EQ(std::string(error.what()), "w.nii: sizeof_hdr is " + std::to_string(seen) +
                                               ", expected 348 in either byte order");
    }
  }
}

// Each case is refused with its reason, plain and gzip-compressed alike; an
// exact-size heap copy lets the address sanitizer catch any read beyond the
// bytes given. The other kinds (empty file, other datatypes and dimensions,
// voxel counts beyond 32 bits, NaN and distant offsets, damaged gzip data,
// folders and devices) are checked with their lines through the command,
// in the hostile suite, and the header size in the test above.
TEST(NiiIOTest, MalformedFilesAreRefusedWithTheReason) {
  const Bytes valid = volumeFile(2, 2, 1, {1, 2, 3, 4});
  auto with = [](Bytes bytes, size_t at, uint64_t value, int width) {
    putUnsigned(bytes, at, value, width, false);
    return bytes;
  };
  const Bytes fourD = with(valid, 40, 4, 2);  // dim[0] 4, dim[4] still 1
  const std::string kDatatypes = ", expected 2 (uint8), 4 (int16) or 16 (float32)";
  const std::string kFourth = ", expected at least 3 along the fourth dimension";
  const struct {
    Bytes bytes;
    std::string message;  // after "m.nii: "
    int volumes;          // asked for
  } cases[] = {
      {Bytes(valid.begin(), valid.begin() + 347),
       "file is 347 bytes, shorter than the 348-byte header", 1},
      {with(valid, 70, 8, 2), "datatype is 8" + kDatatypes, 1},
      {with(valid, 70, 0xFFF0, 2), "datatype is -16" + kDatatypes, 1},
      {with(valid, 42, 0, 2), "dim[1] is 0, expected at least 1", 1},
      {with(valid, 46, 0, 2), "dim[3] is 0, expected at least 1", 1},
      {with(valid, 108, floatBits(-4.0f), 4),
       "vox_offset is -4, expected a finite value of at least 0", 1},
      {with(valid, 108, floatBits(INFINITY), 4),
       "vox_offset is inf, expected a finite value of at least 0", 1},
      {with(valid, 108, floatBits(100.0f), 4),
       "vox_offset is 100, inside the 348-byte header; expected 0 (unset) or at least 348", 1},
      {with(valid, 108, floatBits(347.5f), 4),
       "vox_offset is 347.5, inside the 348-byte header; expected 0 (unset) or at least 348", 1},
      {Bytes(valid.begin(), valid.end() - 1),
       "file is 367 bytes, shorter than the 4 voxels of 4 bytes its header promises from offset "
       "352",
       1},
      {valid, "holds 1 volume (dim[0] is 3, dim[4] is 1)" + kFourth, 3},
      {with(valid, 48, 3, 2), "holds 1 volume (dim[0] is 3, dim[4] is 3)" + kFourth, 3},
      {with(fourD, 48, 2, 2), "holds 2 volumes (dim[0] is 4, dim[4] is 2)" + kFourth, 3},
      {with(fourD, 48, 3, 2),
       "file is 368 bytes, shorter than the 3 volumes of 4 voxels of 4 bytes its header promises "
       "from offset 352",
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    for (Bytes exact : {c.bytes, gzipped(c.bytes)})
      EXPECT_EQ(errorOf([&] { niiIO(exact.data(), exact.size(), "m.nii", c.volumes); }),
                "m.nii: " + c.message);
  }
}

// ---------------------------------------------------------------------------
// Writing through a template

// The template's header travels unchanged, except that a 4-D template read
// for its first volume writes one volume and its header must then say so;
// the voxels go to the template's offset (rounded up), or to 352 when the
// offset is unset (0).
TEST(NiiIOTest, WritesTheTemplateHeaderAndPadsToItsVoxelOffset) {
  TempDir dir;
  std::string out = dir.path("o.nii");
  const float values[] = {7.0f, 8.0f};
  for (bool bigEndian : {false, true}) {
    for (float offset : {0.0f, 352.0f, 360.5f}) {
      SCOPED_TRACE(std::to_string(offset) + (bigEndian ? " big" : " little"));
      NiftiFields fields;
      fields.dim[1] = 2;
      fields.dim[0] = offset == 352.0f ? 5 : 3;
      fields.dim[4] = 3;
      fields.dim[5] = 2;
      fields.voxOffset = offset;
      fields.bigEndian = bigEndian;
      fields.voxels = encodeVoxels(std::vector<double>(12, 1.0), 16, bigEndian);
      Bytes file = buildNifti(fields);
      niiIO(file.data(), file.size(), "t.nii").writeData(values, 2, out.c_str());
      Bytes expected(file.begin(), file.begin() + 348);
      if (offset == 352.0f)
        for (int at : {40, 48, 50}) putUnsigned(expected, at, at == 40 ? 3 : 1, 2, bigEndian);
      expected.resize(offset == 0.0f ? 352 : static_cast<size_t>(std::ceil(offset)), 0);
      Bytes voxels = encodeVoxels({7, 8}, 16, bigEndian);
      expected.insert(expected.end(), voxels.begin(), voxels.end());
      EXPECT_EQ(readFile(out), expected);
    }
  }
}

// Fresh headers are written by the phantom generator, whose files its own
// tests read back; what no file can hold is refused.
TEST(NiiIOTest, FreshHeaderRefusesWhatNoFileCanHold) {
  EXPECT_THROW(niiIO(0, 1, 1, 16, 0), AppError);
  EXPECT_THROW(niiIO(40000, 1, 1, 16, 0), AppError);
  EXPECT_THROW(niiIO(1, 1, 1, 8, 0), AppError);
}

// A wrong count, an output that cannot be created and a folder in the way
// of the rename all leave an existing output and no temporary; an output
// name of any valid length can be written (the temporary's name is short).
TEST(AtomicFileTest, FailedWritesLeaveWhatWasThereAndAnyNameFits) {
  TempDir dir;
  const std::string path = dir.path("result.nii");
  const Bytes before(5000, 0xAB), templateFile = volumeFile(4, 4, 4, std::vector<double>(64, 0));
  writeFile(path, before);
  niiIO templ(templateFile.data(), templateFile.size(), "t");
  std::vector<float> values(65, 1.0f);
  for (int count : {63, 65, 0, -1}) {
    EXPECT_EQ(errorOf([&] { templ.writeData(values.data(), count, path.c_str()); }),
              path + ": cannot write " + std::to_string(count) +
                  " voxels through a float32 template of 64 voxels");
  }
  std::string nowhere = dir.path("no-such-folder/out.nii");
  std::string message = errorOf([&] { templ.writeData(values.data(), 64, nowhere.c_str()); });
  EXPECT_EQ(message.rfind(nowhere + ": cannot create the temporary " + dir.path("no-such-folder/dticut-"), 0), 0u) << message;
  EXPECT_NE(message.find(".tmp: No such file or directory"), std::string::npos) << message;
  std::string folder = dir.path("folder.nii");
  std::filesystem::create_directories(folder + "/inside");
  EXPECT_THROW(templ.writeData(values.data(), 64, folder.c_str()), AppError);
  EXPECT_TRUE(std::filesystem::is_directory(folder + "/inside"));
  std::filesystem::remove_all(folder);
  EXPECT_EQ(readFile(path), before);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"result.nii"});

  const std::string longest = dir.path(std::string(251, 'n') + ".nii");  // 255 bytes
  templ.writeData(values.data(), 64, longest.c_str());
  EXPECT_EQ(readFile(longest).size(), 352u + 256);
  EXPECT_EQ(dir.entries().size(), 2u);
}

// SIGINT or SIGTERM while a temporary exists removes it, and the process
// still ends by the signal. Signals that were ignored stay ignored, and
// the default comes back once no temporary is left.
TEST(AtomicFileTest, ASignalWhileWritingRemovesTheTemporary) {
  TempDir dir;
  const std::string path = dir.path("out.nii");
  for (int number : {SIGINT, SIGTERM}) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
      signal(number, SIG_DFL);
      AtomicFile file(path.c_str());
      file.write(reinterpret_cast<const unsigned char*>("partial"), 7);
      ssize_t ignored = write(ready[1], "w", 1);
      (void)ignored;
      for (;;) pause();
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(dir.entries().size(), 1u);  // the temporary
    kill(child, number);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == number) << status;
    EXPECT_TRUE(dir.entries().empty());
  }
  auto action = [] {
    struct sigaction current;
    sigaction(SIGINT, nullptr, &current);
    return current.sa_handler;
  };
  void (*saved)(int) = signal(SIGINT, SIG_DFL);
  {
    AtomicFile file(path.c_str());
    EXPECT_NE(action(), SIG_DFL);
  }
  EXPECT_EQ(action(), SIG_DFL);
  signal(SIGINT, SIG_IGN);
  {
    AtomicFile file(path.c_str());
    EXPECT_EQ(action(), SIG_IGN);
  }
  signal(SIGINT, saved);
  EXPECT_TRUE(dir.entries().empty());
}

TEST(FloatToIntTest, TruncatesTowardZeroAndSaturates) {
  const struct {
    float in;
    int out;
  } cases[] = {{0.0f, 0},
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
  for (const auto& c : cases) EXPECT_EQ(floatToInt(c.in), c.out) << c.in;
}
