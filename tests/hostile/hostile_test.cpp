// Hostile inputs for the dticut command: the real executable, run as a
// subprocess on malformed, oversized and extreme volumes. A run either
// fails with status 1 and one error line that names the offending file,
// leaving an earlier test.nii byte for byte and no temporary behind, or
// succeeds with the minimum of the limited energy; it never ends by a
// signal, an assertion or a sanitizer report.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/costLimit.h"
#include "app/fileread.h"
#include "app/niiIO.h"
#include "tests/app/nifti_files.h"
#include "tests/app/subprocess.h"

using namespace testfiles;

namespace {

const int kDim[3] = {3, 2, 2};
const int kVoxels = 12;

// Any sign of a crash: a signal, or a sanitizer report or an assertion text
// on standard error (the sanitizer builds also end with status 86 then).
void expectNoCrash(const RunResult& run) {
  EXPECT_EQ(run.signal, 0);
  for (const char* sign : {"AddressSanitizer", "LeakSanitizer", "runtime error", "Assertion"})
    EXPECT_EQ(run.err.find(sign), std::string::npos) << run.err;
}

// Well-formed values for volume k: positive eigenvalues, components and
// scalar values of either sign.
double plainValue(int k, int p) {
  return k % 4 == 0 ? 0.5 + (p + k) % 3 : ((p * 7 + k) % 5 - 2) * 0.4;
}

NiftiSpec plainSpec(int k) {
  NiftiSpec spec;
  for (int i = 0; i < 3; ++i) spec.dim[i + 1] = static_cast<int16_t>(kDim[i]);
  std::vector<double> values(kVoxels);
  for (int p = 0; p < kVoxels; ++p) values[p] = plainValue(k, p);
  spec.voxels = encodeVoxels(values, 16, false);
  return spec;
}

// Writes the thirteen files (a missing entry becomes a folder of that name)
// and returns the command line.
std::vector<std::string> writeInputs(const TempDir& dir,
                                     const std::vector<std::optional<Bytes>>& files) {
  std::vector<std::string> args = {DTICUT_EXE};
  for (int k = 0; k < kNumVolumes; ++k) {
    args.push_back(dir.path(std::string(kVolumeNames[k]) + ".nii"));
    if (files[k])
      writeFile(args.back(), *files[k]);
    else
      std::filesystem::create_directory(args.back());
  }
  return args;
}

using Spoil = std::function<std::optional<Bytes>(NiftiSpec)>;

Spoil field(std::function<void(NiftiSpec&)> change) {
  return [change](NiftiSpec spec) -> std::optional<Bytes> {
    change(spec);
    return buildNifti(spec);
  };
}

// A vox_offset written over a file laid out for the offset 352.
Spoil voxOffset(float offset) {
  return [offset](NiftiSpec spec) -> std::optional<Bytes> {
    Bytes bytes = buildNifti(spec);
    putUnsigned(bytes, 108, floatBits(offset), 4, spec.bigEndian);
    return bytes;
  };
}

Spoil cut(size_t length) {
  return [length](NiftiSpec spec) -> std::optional<Bytes> {
    Bytes bytes = buildNifti(spec);
    bytes.resize(length);
    return bytes;
  };
}

// The energy dticut minimises, from the library's costs after the limiting
// rule: data costs of voxel p at 2p and 2p + 1, pairs in the driver's order.
struct LimitedEnergy {
  std::vector<int> data;
  struct Pair {
    int p, q, weight;
  };
  std::vector<Pair> pairs;

  explicit LimitedEnergy(const std::vector<std::string>& args) {
    Eigenvector sets[3];
    for (int k = 0; k < 3; ++k)
      sets[k] = getEigenvector(args[1 + 4 * k].c_str(), args[2 + 4 * k].c_str(),
                               args[3 + 4 * k].c_str(), args[4 + 4 * k].c_str());
    Image scalar = getImage(args[13].c_str());
    Eigenvector principal = extractPrincipalEigenvector(sets[0], sets[1], sets[2]);
    SegmentationCosts costs = buildSegmentationCosts(principal, scalar);
    limitCosts(costs.dataCosts, costs.numSites, 2, costs.weights, costs.numPairs);
    data.assign(costs.dataCosts, costs.dataCosts + 2 * costs.numSites);
    int k = 0;
    for (int x = 0; x < kDim[0]; ++x)
      for (int y = 0; y < kDim[1]; ++y)
        for (int z = 0; z < kDim[2]; ++z) {
          int p = x + kDim[0] * (y + kDim[1] * z);
          if (x > 0) pairs.push_back({p, p - 1, costs.weights[k++]});
          if (y > 0) pairs.push_back({p, p - kDim[0], costs.weights[k++]});
          if (z > 0) pairs.push_back({p, p - kDim[0] * kDim[1], costs.weights[k++]});
        }
    releaseSegmentationCosts(costs);
    releaseEigenvector(principal);
    releaseImage(scalar);
    for (Eigenvector& set : sets) releaseEigenvector(set);
  }

  long long of(const std::vector<int>& labels) const {
    long long e = 0;
    for (int p = 0; p < kVoxels; ++p) e += data[2 * p + labels[p]];
    for (const Pair& pair : pairs) e += labels[pair.p] != labels[pair.q] ? pair.weight : 0;
    return e;
  }

  long long minimum() const {
    long long best = LLONG_MAX;
    std::vector<int> labels(kVoxels);
    for (int mask = 0; mask < (1 << kVoxels); ++mask) {
      for (int p = 0; p < kVoxels; ++p) labels[p] = (mask >> p) & 1;
      best = std::min(best, of(labels));
    }
    return best;
  }
};

// A full file system for the subprocesses started in its scope: files may
// not grow beyond `bytes`, and the signal that would end the writer is
// ignored (inherited through exec), so that its write fails with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &m_saved);
    rlimit limit = m_saved;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
    m_handler = signal(SIGXFSZ, SIG_IGN);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &m_saved);
    signal(SIGXFSZ, m_handler);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit m_saved;
  void (*m_handler)(int);
};

}  // namespace

TEST(HostileInputTest, MalformedFilesAreRefusedAndAnEarlierOutputSurvives) {
  const struct {
    const char* what;
    int file;  // the volume spoiled (0 ... 12), or -1 for all of them
    Spoil spoil;
    const char* problem;  // a part of the error message
  } cases[] = {
      {"empty file", 0, cut(0), "shorter than the 348-byte header"},
      {"truncated header", 5, cut(200), "shorter than the 348-byte header"},
      {"header without voxels", 1, cut(352), "shorter than the 12 voxels"},
      {"truncated voxels", 12, cut(352 + 4 * kVoxels - 1), "shorter than the 12 voxels"},
      {"dimensions whose product overflows 32 bits", 0,
       field([](NiftiSpec& s) { s.dim[1] = s.dim[2] = s.dim[3] = 32767; }), "more than 2147483647"},
      {"huge dimensions within 32 bits", 3,
       field([](NiftiSpec& s) { s.dim[1] = s.dim[2] = 32767, s.dim[3] = 2; }), "shorter than the"},
      {"negative dimension", 2, field([](NiftiSpec& s) { s.dim[2] = -4; }), "dim[2] is -4"},
      {"zero dimension", 7, field([](NiftiSpec& s) { s.dim[3] = 0; }), "dim[3] is 0"},
      {"vox_offset 1e30", 4, voxOffset(1e30f), "beyond the end"},
      {"vox_offset past the end", 8, voxOffset(4096), "beyond the end"},
      {"vox_offset leaving too few voxels", 9, voxOffset(360), "shorter than the 12 voxels"},
      {"negative vox_offset", 9, voxOffset(-352), "vox_offset is -352"},
      {"NaN vox_offset", 10, voxOffset(NAN), "vox_offset is nan"},
      {"infinite vox_offset", 11, voxOffset(INFINITY), "vox_offset is inf"},
      {"float64 datatype", 0, field([](NiftiSpec& s) { s.datatype = 64; }), "datatype is 64"},
      {"int32 datatype", 6, field([](NiftiSpec& s) { s.datatype = 8; }), "datatype is 8"},
      {"datatype 0", 12, field([](NiftiSpec& s) { s.datatype = 0; }), "datatype is 0"},
      {"negative datatype", 1, field([](NiftiSpec& s) { s.datatype = -16; }), "datatype is -16"},
      {"NIfTI-2 header size", 0, field([](NiftiSpec& s) { s.sizeofHdr = 540; }), "sizeof_hdr"},
      {"gzip bytes cut short", 3,
       [](NiftiSpec) -> std::optional<Bytes> { return Bytes{0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3}; },
       ""},
      {"a folder", 12, [](NiftiSpec) -> std::optional<Bytes> { return std::nullopt; }, ""},
      {"scalar volume of another size", 12, field([](NiftiSpec& s) { s.dim[1] = 2, s.dim[2] = 3; }),
       "differ from the 3 x 2 x 2"},
      {"eigenvector component of another size", 7,
       field([](NiftiSpec& s) { s.dim[1] = 12, s.dim[2] = s.dim[3] = 1; }), "differ from"},
      {"single voxel", -1, field([](NiftiSpec& s) {
         s.dim[1] = s.dim[2] = s.dim[3] = 1;
         s.voxels.resize(4);
       }),
       "at least 2"},
  };
  const Bytes earlier = {'k', 'e', 'e', 'p'};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::vector<std::optional<Bytes>> files;
    for (int k = 0; k < kNumVolumes; ++k)
      files.push_back(c.file < 0 || c.file == k ? c.spoil(plainSpec(k)) : buildNifti(plainSpec(k)));
    std::vector<std::string> args = writeInputs(dir, files);
    writeFile(dir.path("test.nii"), earlier);

    RunResult run = runProgram(args, dir.root());
    expectNoCrash(run);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.empty() || run.out == "Unable to read file.\n") << run.out;
    const std::string named = "dticut: error: " + args[1 + std::max(c.file, 0)] + ": ";
    EXPECT_EQ(run.err.rfind(named, 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.problem), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(readFile(dir.path("test.nii")), earlier);
    EXPECT_EQ(dir.entries().size(), 14u);  // the inputs and test.nii, no temporary
  }
}

TEST(HostileInputTest, ExtremeValuesGiveTheMinimumOfTheLimitedEnergy) {
  const double mixed[] = {NAN, INFINITY, -INFINITY, 1e30, -1e30, 0, 1, 3, -0.5, 1e-30, 2, 1};
  const struct {
    const char* what;
    std::function<double(int k, int p)> value;
    int templateDatatype;  // of volume 0, the output's template
  } cases[] = {
      {"zeros", [](int, int) { return 0.0; }, 16},
      {"NaN", [](int, int) { return NAN; }, 16},
      {"infinities", [](int k, int) { return k % 4 == 0 ? INFINITY : -INFINITY; }, 16},
      {"1e30", [](int, int) { return 1e30; }, 16},
      {"-1e30 scalar values", [](int k, int p) { return k == 12 ? -1e30 : plainValue(k, p); }, 16},
      {"mixed extremes", [&](int k, int p) { return mixed[(p + k) % kVoxels]; }, 16},
      {"int16 limits",
       [](int k, int p) { return k == 0 ? (p % 2 ? 32767.0 : -32768.0) : plainValue(k, p); }, 4},
      {"uint8 limits", [](int k, int p) { return k == 0 ? 255.0 * (p % 2) : plainValue(k, p); }, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::vector<std::optional<Bytes>> files;
    for (int k = 0; k < kNumVolumes; ++k) {
      std::vector<double> values(kVoxels);
      for (int p = 0; p < kVoxels; ++p) values[p] = c.value(k, p);
      files.push_back(
          volumeFile(kDim[0], kDim[1], kDim[2], values, k == 0 ? c.templateDatatype : 16));
    }
    std::vector<std::string> args = writeInputs(dir, files);

    RunResult run = runProgram(args, dir.root());
    expectNoCrash(run);
    ASSERT_EQ(run.status, 0) << run.err;
    std::smatch printed;
    ASSERT_TRUE(std::regex_match(run.out, printed,
                                 std::regex("Before optimization energy is :\t(-?[0-9]+)\n"
                                            "After optimization energy is :\t(-?[0-9]+)\n")))
        << run.out;
    LimitedEnergy energy(args);
    EXPECT_EQ(std::stoll(printed[1]), energy.of(std::vector<int>(kVoxels, 0)));
    EXPECT_EQ(std::stoll(printed[2]), energy.minimum());

    niiIO output(dir.path("test.nii").c_str());
    ASSERT_EQ(output.numVoxels, kVoxels);
    EXPECT_TRUE(
        std::equal(output.rawHeader, output.rawHeader + kNiftiHeaderSize, files[0]->begin()));
    std::vector<int> labels(output.data, output.data + kVoxels);
    for (int p = 0; p < kVoxels; ++p) EXPECT_EQ(output.data[p], labels[p] == 1 ? 1.0f : 0.0f);
    EXPECT_EQ(energy.of(labels), std::stoll(printed[2]));
  }
}

// Output that cannot be written, in ways that hold for root too (root may
// create files in a folder whatever its mode): a file system that fills up
// during the write, then a working folder of the proc file system, which
// takes no new files from anybody.
TEST(HostileInputTest, AnOutputThatCannotBeWrittenIsReportedAndLosesNothing) {
  TempDir dir;
  std::vector<std::optional<Bytes>> files;
  for (int k = 0; k < kNumVolumes; ++k) files.push_back(buildNifti(plainSpec(k)));
  std::vector<std::string> args = writeInputs(dir, files);
  const Bytes earlier = {'k', 'e', 'e', 'p'};
  writeFile(dir.path("test.nii"), earlier);
  RunResult run;
  {
    FileSizeLimit full(kNiftiFreshVoxOffset + 8);
    run = runProgram(args, dir.root());
  }
  expectNoCrash(run);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("dticut: error: test.nii: write failed: File too large\n", 0), 0u)
      << run.err;
  EXPECT_EQ(readFile(dir.path("test.nii")), earlier);
  EXPECT_EQ(dir.entries().size(), 14u);

  // Energies that cannot be written are a failure too, found before the
  // output is replaced.
  std::string command = "exec";
  for (const std::string& arg : args) command += " '" + arg + "'";
  run = runProgram({"/bin/sh", "-c", command + " > /dev/full"}, dir.root());
  expectNoCrash(run);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "dticut: error: standard output: write failed: No space left on device\n");
  EXPECT_EQ(readFile(dir.path("test.nii")), earlier);

  const std::string unwritable = "/proc";
  std::string probe = unwritable + "/dticut-probe";
  int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd >= 0) {
    close(fd);
    unlink(probe.c_str());
  }
  if (fd >= 0 || !std::filesystem::is_directory(unwritable))
    GTEST_SKIP() << "no folder here refuses new files";
  run = runProgram(args, unwritable, dir.root());
  expectNoCrash(run);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("dticut: error: test.nii: cannot create test.nii.tmp", 0), 0u) << run.err;
  EXPECT_EQ(dir.entries().size(), 14u);
}
