// Tests of the NIfTI reader and writer against files made byte by byte:
// every datatype and both versions and byte orders read bit for bit, the
// refusals of malformed headers, FIFOs and memory limits, output written
// through a template exactly as it declares; the atomic replacement of the
// output file, and float-to-int conversion.
#include "app/io/niiIO.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/io/atomicFile.h"
#include "app/segmentation/floatToInt.h"
#include "tests/app/nifti_files.h"

using namespace testfiles;

namespace {

std::vector<float> voxelsOf(const niiIO& volume, int volumes = 1) {
  return std::vector<float>(volume.data, volume.data + volumes * volume.numVoxels);
}

std::vector<uint32_t> bitsOf(const std::vector<float>& values) {
  std::vector<uint32_t> bits;
  for (float v : values) bits.push_back(floatBits(v));
  return bits;
}

// A one-dimensional volume of the raw voxels, NIfTI-1 or NIfTI-2.
NiftiFields fieldsOf(int version, int datatype, const std::vector<uint64_t>& raw, bool bigEndian,
                     double slope = 1, double inter = 0) {
  NiftiFields fields;
  fields.version = version;
  fields.dim[1] = static_cast<int64_t>(raw.size());
  fields.datatype = static_cast<int16_t>(datatype);
  fields.voxOffset = version == 1 ? 352 : 544;
  fields.sclSlope = slope;
  fields.sclInter = inter;
  fields.bigEndian = bigEndian;
  fields.voxels = encodeRaw(raw, elementSize(datatype), bigEndian);
  return fields;
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading

// Every datatype, unscaled and scaled, from NIfTI-1 and NIfTI-2 files in
// both byte orders, plain and compressed. The expected floats were worked
// out by hand (with numpy), bit for bit.
TEST(NiiIOTest, ReadsEveryDatatypeAsTheNearestFloatScaledOnce) {
  const double kNaN = NAN, kInf = INFINITY;
  // Halfway between two floats once rounded to double, above it exactly:
  // one rounding gives 2^60 + 2^37, two give 2^60.
  const uint64_t kTie = (1ULL << 60) + (1ULL << 36) + 1;
  const struct {
    int datatype;
    std::vector<uint64_t> raw;
    std::vector<float> expected;
    double slope = 1, inter = 0;
  } cases[] = {
      {2, {0, 255, 128}, {0, 255, 128}},
      {256, {0x80, 0x7f, 0xff}, {-128, 127, -1}, 0, 5},  // slope 0: no scaling
      {4, {0x8000, 0x7fff, 0xffff}, {-32768, 32767, -1}, kNaN},
      {512, {65535, 0, 40000}, {65535, 0, 40000}, kInf},
      {8, {0x7fffffff, 0x80000000, 16777217}, {0x1p31f, -0x1p31f, 16777216}},
      {768, {0xffffffff, 16777217, 3}, {0x1p32f, 16777216, 3}},
      {1024, {1ULL << 63, kTie, ~4ULL}, {-0x1p63f, 0x1.000002p60f, -5}},
      {1280, {~0ULL, kTie, 7}, {0x1p64f, 0x1.000002p60f, 7}},
      // Slope 1 and intercept 0 read the raw values: -0.0 stays -0.0.
      {16, {floatBits(-0.0f), floatBits(1.5f), floatBits(INFINITY)}, {-0.0f, 1.5f, INFINITY}},
      {64,
       {doubleBits(1e300), doubleBits(-1e300), doubleBits(0.1), doubleBits(1e-50)},
       {INFINITY, -INFINITY, 0.1f, 0}},
      // Scaled: raw -> double, raw * slope + inter in double, one rounding.
      {4, {32767, 16384, 0x8000}, {1, 0x1.0002p-1f, -0x1.0002p0f}, 0x1.0002p-15},
      {2, {0, 255}, {0, 510}, 2, kNaN},           // a non-finite intercept counts as 0
      {1280, {kTie}, {0x1p60f}, 1, 1},            // the raw value is rounded to double
      {64, {doubleBits(1.2e39)}, {3e38f}, 0.25},  // beyond float until scaled
      {8, {7, 0xffffffff}, {0.5f, -3.5f}, 0.5, -3},
  };
  for (const auto& c : cases)
    for (int version : {1, 2})
      for (bool bigEndian : {false, true}) {
        SCOPED_TRACE(testing::Message() << "datatype " << c.datatype << " slope " << c.slope
                                        << " NIfTI-" << version << " big-endian " << bigEndian);
        Bytes file = buildNifti(fieldsOf(version, c.datatype, c.raw, bigEndian, c.slope, c.inter));
        for (const Bytes& stored : {file, gzipped(file)}) {
          niiIO volume(stored.data(), stored.size(), "mem.nii");
          EXPECT_EQ(volume.header->version, version);
          EXPECT_EQ(volume.header->byteSwap, bigEndian != hostIsBigEndian() ? 1 : 0);
          EXPECT_EQ(bitsOf(voxelsOf(volume)), bitsOf(c.expected));
        }
      }
}

// A small file that would inflate to 128 MiB: only the bytes up to the end
// of the voxels are decoded, the rest is checked and dropped, so memory does
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

// NIfTI-1's host-order window is 338 ... 358, the reversed one only
// 339 ... 357; NIfTI-2's size is 540 exactly (read in either order above).
// The refusal's message and its "unrecognised" mark are checked through the
// command, in the hostile suite.
TEST(NiiIOTest, HeaderSizeDecidesVersionAndByteOrder) {
  const struct {
    int version;
    int32_t size;
    bool reversed, accepted;
  } cases[] = {{1, 338, false, true},  {1, 358, false, true}, {1, 337, false, false},
               {1, 359, false, false}, {1, 339, true, true},  {1, 357, true, true},
               {1, 338, true, false},  {1, 358, true, false}, {2, 541, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.reversed ? " reversed" : " host order"));
    NiftiFields fields = fieldsOf(c.version, 16, {floatBits(9)}, c.reversed != hostIsBigEndian());
    fields.sizeofHdr = c.size;
    Bytes file = buildNifti(fields);
    std::string error = errorOf([&] {
      EXPECT_EQ(niiIO(file.data(), file.size(), "w.nii").header->byteSwap, c.reversed ? 1 : 0);
    });
    EXPECT_EQ(error.substr(0, 21), c.accepted ? "no error" : "w.nii: sizeof_hdr is ");
  }
}

// Each case is refused with its reason, plain and gzip-compressed alike; an
// exact-size heap copy lets the address sanitizer catch any read beyond the
// bytes given. The other kinds (a file far short of its header, other
// datatypes and dimensions, a voxel count beyond 32 bits, NaN and distant
// offsets, a NIfTI-1 file short of its voxels, one short of a fourth
// dimension, damaged gzip data, folders and devices) are checked with their
// lines through the command, in the hostile suite, and the header size in
// the test above.
TEST(NiiIOTest, MalformedFilesAreRefusedWithTheReason) {
  const Bytes valid = volumeFile(2, 2, 1, {1, 2, 3, 4});
  auto with = [](Bytes bytes, size_t at, uint64_t value, int width) {
    putUnsigned(bytes, at, value, width, false);
    return bytes;
  };
  const Bytes valid2 = buildNifti(fieldsOf(2, 16, {1, 2, 3, 4}, false));
  const std::string kFourth = ", expected at least 3 along the fourth dimension";
  const struct {
    int volumes;  // asked for
    Bytes bytes;
    std::string message;  // after "m.nii: "
  } cases[] = {
      // One byte short of either header size.
      {1, Bytes(valid.begin(), valid.begin() + 347),
       "file is 347 bytes, shorter than the 348-byte header"},
      {1, Bytes(valid2.begin(), valid2.begin() + 539),
       "file is 539 bytes, shorter than the 540-byte header"},
      {1, with(valid2, 10, 0, 1),
       "sizeof_hdr is 540 (NIfTI-2) but the magic is not that of a single file, expected \"n+2\" "
       "and the bytes 0 13 10 26 10"},
      {1, with(valid, 42, 0, 2), "dim[1] is 0, expected at least 1"},
      {1, with(with(valid2, 24, 1ULL << 62, 8), 32, 4, 8),
       "dimensions 4611686018427387904 x 4 x 1 make over 2^63 voxels, more than 2147483647"},
      {1, with(valid, 108, floatBits(-4.0f), 4),
       "vox_offset is -4, expected a finite value of at least 0"},
      {1, with(valid2, 168, ~3ULL, 8), "vox_offset is -4, expected a finite value of at least 0"},
      {1, with(valid, 108, floatBits(0.5f), 4),
       "vox_offset is 0.5, inside the 348-byte header; expected 0 (unset) or at least 348"},
      {1, with(valid2, 168, 348, 8),
       "vox_offset is 348, inside the 540-byte header; expected 0 (unset) or at least 540"},
      {1, with(valid2, 168, 1000, 8), "vox_offset is 1000, beyond the end of the file (560 bytes)"},
      // Volumes are counted over dims 4 ... dim[0] (at most 7); dims beyond
      // dim[0], and 0, count as 1.
      {3, with(valid, 48, 5, 2), "holds 1 volume (dim[0] is 3, dim[4] is 5)" + kFourth},
      {3, with(with(valid, 40, 4, 2), 48, 0, 2),
       "holds 1 volume (dim[0] is 4, dim[4] is 0)" + kFourth},
      {3, with(with(valid, 40, 5, 2), 50, 2, 2),
       "holds 2 volumes (dim[0] is 5, dim[4] is 1, dim[5] is 2), expected at least 3 beyond the "
       "third dimension"},
      {3, with(with(valid, 40, 4, 2), 48, 3, 2),
       "file is 368 bytes, shorter than the 3 volumes of 4 voxels of 4 bytes its header promises "
       "from offset 352"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    for (Bytes exact : {c.bytes, gzipped(c.bytes)})
      EXPECT_EQ(errorOf([&] { niiIO(exact.data(), exact.size(), "m.nii", c.volumes); }),
                "m.nii: " + c.message);
  }
}

// A pipe or FIFO is read to its end when it is opened: every header is read
// before any voxels, so a writer that fills two FIFOs one after the other,
// each larger than a pipe's buffer, must not wait on the first while we wait
// on the second. The voxels then come from that one reading, compressed or
// not.
TEST(NiiIOTest, FifosAreReadWhenOpenedSoASequentialWriterNeverWaits) {
  TempDir dir;
  const std::string first = dir.path("first"), second = dir.path("second");
  ASSERT_EQ(mkfifo(first.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(second.c_str(), 0600), 0);
  std::vector<double> values(100000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i % 977) - 300;
  const Bytes plain = volumeFile(100, 100, 10, values, 4), stream = gzipped(plain);
  std::thread writer([&] {
    writeFile(first, plain);  // each open waits for the reader's
    writeFile(second, stream);
  });
  alarm(60);  // a deadlock fails the test instead of hanging it
  std::unique_ptr<niiIO> a = niiIO::openHeader(first.c_str());
  std::unique_ptr<niiIO> b = niiIO::openHeader(second.c_str());
  alarm(0);
  writer.join();
  a->readVoxels(1);
  b->readVoxels(1);
  EXPECT_EQ(voxelsOf(*a), std::vector<float>(values.begin(), values.end()));
  EXPECT_EQ(voxelsOf(*b), voxelsOf(*a));
}

// A volume larger than the memory allowed ends in AppError with its size
// and the bytes it needs, not in std::bad_alloc (in a child process under
// an address-space limit; the address sanitizer reserves too much for one).
TEST(NiiIOTest, OutOfMemoryIsReportedWithTheSizeNeeded) {
#if defined(__SANITIZE_ADDRESS__) || defined(__has_feature)
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
  GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
#endif
#endif
  // 1000 x 1000 x 160 zero bytes: a 160 KB stream, 640 MB of floats.
  const Bytes stream = gzipped(volumeFile(1000, 1000, 160, {}, 2), 160000000);
  EXPECT_EXIT(
      {
        rlimit limit;
        limit.rlim_cur = limit.rlim_max = 1u << 29;
        setrlimit(RLIMIT_AS, &limit);
        std::fputs(errorOf([&] { niiIO(stream.data(), stream.size(), "big.nii.gz"); }).c_str(),
                   stderr);
        _exit(0);
      },
      testing::ExitedWithCode(0),
      "^out of memory: big\\.nii\\.gz: 1000 x 1000 x 160 voxels need 640000000 bytes as floats$");
}

// ---------------------------------------------------------------------------
// Writing through a template

// The output is the template's header byte for byte except where it would
// misdescribe the file: a scaled template's output says slope 1 and
// intercept 0, so that the labels read back as 0 and 1, and dims that other
// readers take for another number of volumes become one 3-D volume. The
// labels follow in the template's datatype and byte order (integers
// truncated, negatives in two's complement, 64-bit ones sign-extended;
// float64 widened), exactly where a reader takes them from: vox_offset
// truncated (352.5 -> 352; 16777220, where a comparison in float stopped one
// byte short; 16777221, which a float cannot hold and stores as 16777220),
// or after the extension bytes when unset. The expected files are the
// template's bytes with those fields set by hand.
TEST(NiiIOTest, WritesThroughTheTemplateExactlyWhatItDeclares) {
  TempDir dir;  // names of 255 bytes, the most a folder takes: the temporary's name is short
  const std::string out = dir.path(std::string(251, 'o') + ".nii"),
                    gz = dir.path(std::string(248, 'o') + ".nii.gz");
  struct Case {
    int version, datatype;
    double slope, offset;
    int64_t dim0, dim3, dim4;
    size_t start;
    bool dimsKept;
    int written = 0;  // the datatype asked for; 0: the template's
  };
  std::vector<Case> cases = {
      {1, 16, 1, 352.5, 3, 1, 7, 352, true},         {1, 16, 1, 16777220, 3, 1, 1, 16777220, true},
      {1, 16, 1, 16777221, 3, 1, 1, 16777220, true}, {2, 16, 1, 1000, 4, 1, 1, 1000, true},
      {1, 16, 1, 352, 4, 1, 3, 352, false},  // a 4-D file read for its first volume
      {1, 16, 1, 352, 4, 1, 0, 352, false},  // no volume declared
      {1, 16, 1, 352, 0, 1, 1, 352, false},  // dim[0] below 1
      {2, 16, 1, 544, 8, 1, 1, 544, false},  // beyond 7, in NIfTI-2
      {1, 16, 1, 348, 2, 2, 1, 348, false},  // a 2-D header over two slices
      {1, 16, 1, 352, 4, 1, 3, 352, false, 2},     // uint8 labels through a 4-D float32 file
      {2, 64, 1, 544, 3, 1, 1, 544, true, 1280},   // uint64 through NIfTI-2's float64
  };
  for (int datatype : {2, 4, 8, 16, 64, 256, 512, 768, 1024, 1280})
    for (int version : {1, 2})
      for (double slope : {1.0, 0x1.0002p-15})
        cases.push_back({version, datatype, slope, 0, 3, 2, 1, version == 1 ? 352u : 544u, true,
                         slope == 1 ? 0 : datatype == 4 ? 16 : 4});
  const std::vector<float> labels = {0, 1, 1.7f, -1.7f};
  for (const Case& c : cases)
    for (bool bigEndian : {false, true}) {
      SCOPED_TRACE(testing::Message() << "datatype " << c.datatype << " NIfTI-" << c.version
                                      << " slope " << c.slope << " offset " << c.offset
                                      << " dim[0] " << c.dim0 << " big-endian " << bigEndian
                                      << " written as " << c.written);
      const bool one = c.version == 1;
      const size_t count = 2 * c.dim3;
      NiftiFields fields = fieldsOf(c.version, c.datatype, std::vector<uint64_t>(count, 1),
                                    bigEndian, c.slope, c.slope == 1 ? 0 : 3);
      fields.dim[0] = c.dim0;
      fields.dim[1] = 2;
      fields.dim[3] = c.dim3;
      fields.dim[4] = c.dim4;
      fields.voxOffset = c.offset;
      Bytes file = buildNifti(fields);
      niiIO(file.data(), file.size(), "t.nii").writeData(labels.data(), count, out.c_str(), c.written);

      const int dimAt = one ? 40 : 16, dimWidth = one ? 2 : 8, sclAt = one ? 112 : 176,
                sclWidth = one ? 4 : 8;
      Bytes expected(file.begin(), file.begin() + (one ? 348 : 540));
      if (!c.dimsKept)
        for (int i : {0, 4, 5, 6, 7})
          putUnsigned(expected, dimAt + dimWidth * i, i == 0 ? 3 : 1, dimWidth, bigEndian);
      for (int i = 0; i < 2 && c.slope != 1; ++i)
        putUnsigned(expected, sclAt + sclWidth * i, one ? floatBits(1.0f - i) : doubleBits(1 - i),
                    sclWidth, bigEndian);
      const int written = c.written != 0 ? c.written : c.datatype;
      putUnsigned(expected, one ? 70 : 12, written, 2, bigEndian);  // datatype, then bitpix
      putUnsigned(expected, one ? 72 : 14, 8 * elementSize(written), 2, bigEndian);
      expected.resize(c.start, 0);
      Bytes voxels = encodeVoxels({labels.begin(), labels.begin() + count}, written, bigEndian);
      expected.insert(expected.end(), voxels.begin(), voxels.end());
      EXPECT_EQ(readFile(out), expected);
      EXPECT_EQ(voxelsOf(niiIO(out.c_str()))[1], 1.0f);
    }
  niiIO(out.c_str()).writeData(labels.data(), 4, gz.c_str());
  EXPECT_EQ(gunzipped(readFile(gz)), readFile(out));
}

// A wrong count and a folder in the way of the rename leave an existing
// output and no temporary. (Names of the longest length are written by the
// template test, and the error of a temporary that cannot be created is
// checked through the command, in the hostile suite, its reason with the
// preview's.)
TEST(AtomicFileTest, FailedWritesLeaveWhatWasThere) {
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
  std::string folder = dir.path("folder.nii");
  std::filesystem::create_directories(folder + "/inside");
  EXPECT_THROW(templ.writeData(values.data(), 64, folder.c_str()), AppError);
  EXPECT_TRUE(std::filesystem::is_directory(folder + "/inside"));
  std::filesystem::remove_all(folder);
  EXPECT_EQ(readFile(path), before);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"result.nii"});
}

// SIGINT or SIGTERM while a temporary exists removes it, and the process
// still ends by the signal. Signals that were ignored stay ignored, and
// the default comes back once no temporary is left.
TEST(AtomicFileTest, ASignalWhileWritingRemovesTheTemporary) {
  TempDir dir;
  const std::string path = dir.path("out.nii");
  for (int number : {SIGINT, SIGTERM}) {
    EXPECT_EXIT(
        {
          signal(number, SIG_DFL);
          AtomicFile file(path.c_str());
          file.write(reinterpret_cast<const unsigned char*>("partial"), 7);
          if (dir.entries().size() == 1) raise(number);  // the temporary is there
          _exit(0);
        },
        testing::KilledBySignal(number), "");
    EXPECT_TRUE(dir.entries().empty());
  }
  auto action = [] {
    struct sigaction current;
    sigaction(SIGINT, nullptr, &current);
    return current.sa_handler;
  };
  void (*saved)(int) = signal(SIGINT, SIG_DFL);
  for (void (*before)(int) : {SIG_DFL, SIG_IGN}) {
    signal(SIGINT, before);
    {
      AtomicFile file(path.c_str());
      EXPECT_EQ(action() != before, before == SIG_DFL);
    }
    EXPECT_EQ(action(), before);
  }
  signal(SIGINT, saved);
  EXPECT_TRUE(dir.entries().empty());

  // A signal at any moment of a loop that creates and removes temporaries,
  // also between a temporary's creation and the handler's knowing of it,
  // leaves none behind; the delays spread the signal over the loop.
  for (int round = 0; round < 60; ++round) {
    pid_t child = fork();
    if (child == 0) {
      signal(SIGTERM, SIG_DFL);
      for (;;) AtomicFile file(path.c_str());
    }
    usleep(300 + 37 * round);
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_TRUE(dir.entries().empty()) << "round " << round;
  }
}

// A file that replaces another keeps its mode, and its owner and group
// where the process may give them (as root here: 4321, which no user may
// need to be); a new file gets 0666 less the umask.
TEST(AtomicFileTest, AReplacedFileKeepsItsModeOwnerAndGroup) {
  TempDir dir;
  const std::string path = dir.path("out.nii");
  const Bytes content = {1, 2, 3};
  const struct {
    int earlier;  // the earlier file's mode, or -1 for none
    mode_t umask;
    mode_t expected;
  } cases[] = {
      {0600, 022, 0600}, {0640, 077, 0640}, {0444, 0, 0444}, {-1, 027, 0640}, {-1, 0, 0666}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.earlier);
    std::filesystem::remove(path);
    struct stat before = {};
    before.st_uid = geteuid();
    before.st_gid = getegid();
    if (c.earlier >= 0) {
      writeFile(path, {9});
      ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(c.earlier)), 0);
      if (chown(path.c_str(), 4321, 4321) != 0) (void)!chown(path.c_str(), -1, 4321);
      ASSERT_EQ(stat(path.c_str(), &before), 0);
    }
    const mode_t saved = umask(c.umask);
    {
      AtomicFile file(path.c_str());
      file.write(content.data(), content.size());
      file.commit();
    }
    umask(saved);
    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, c.expected);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(readFile(path), content);
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.nii"});
}

// Truncation toward zero, saturating: 2147483520 is the largest float below
// 2^31, -2147483904 the next one below -2^31.
TEST(FloatToIntTest, TruncatesTowardZeroAndSaturates) {
  for (float v : {0.0f, -0.0f, -0.9f}) EXPECT_EQ(floatToInt(v), 0) << v;
  EXPECT_EQ(floatToInt(1.7f), 1);
  EXPECT_EQ(floatToInt(-1.7f), -1);
  EXPECT_EQ(floatToInt(2147483520.0f), 2147483520);
  for (float v : {2147483648.0f, 1e30f, INFINITY}) EXPECT_EQ(floatToInt(v), INT_MAX) << v;
  for (float v : {-2147483648.0f, -2147483904.0f, -INFINITY, NAN, -NAN})
    EXPECT_EQ(floatToInt(v), INT_MIN) << v;
}
