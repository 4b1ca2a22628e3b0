// Hostile inputs for the dticut command: the real executable, run as a
// subprocess on malformed, oversized and extreme volumes. A run either
// fails with status 1 and one error line that names the offending file,
// leaving an earlier test.nii byte for byte and no temporary behind, or
// succeeds with the minimum of the limited energy; it never ends by a
// signal, an assertion or a sanitizer report.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/app/dticut_inputs.h"

using namespace testfiles;

namespace {

// Any sign of a crash: a signal, or a sanitizer report or an assertion text
// on standard error (the sanitizer builds also end with status 86 then).
void expectNoCrash(const RunResult& run) {
  EXPECT_EQ(run.signal, 0);
  for (const char* sign : {"AddressSanitizer", "LeakSanitizer", "runtime error", "Assertion"})
    EXPECT_EQ(run.err.find(sign), std::string::npos) << run.err;
}

// Well-formed volumes: positive eigenvalues, components and scalar values
// of either sign.
Inputs plainInputs(int x = 3, int y = 2, int z = 2) {
  Inputs in(x, y, z);
  for (int k = 0; k < kNumVolumes; ++k)
    for (int p = 0; p < in.size(); ++p)
      in.volume[k][p] = k % 4 == 0 ? 0.5 + (p + k) % 3 : ((p * 7 + k) % 5 - 2) * 0.4;
  return in;
}

// What a case puts in place of a valid input file at `path`.
using Put = std::function<void(const std::string& path, Bytes valid)>;

Put bytes(Bytes replacement) {
  return [replacement](const std::string& path, Bytes) { writeFile(path, replacement); };
}
Put changed(size_t at, uint64_t value, int width) {
  return [=](const std::string& path, Bytes valid) {
    putUnsigned(valid, at, value, width, false);
    writeFile(path, valid);
  };
}
Put dims(int x, int y, int z, int volumes = 1) {
  return [=](const std::string& path, Bytes) {
    writeFile(path, volumesFile(x, y, z, volumes, std::vector<double>(x * y * z * volumes, 1.0)));
  };
}

// Runs the command line through the shell after `command` (a limit, a
// trap; exec where a signal must end the process we wait for) and before
// `after` (a redirection, a report of the status).
RunResult inShell(std::string command, const std::vector<std::string>& args,
                  const std::string& after, const TempDir& dir) {
  for (const std::string& arg : args) command += " '" + arg + "'";
  return runProgram({"/bin/sh", "-c", command + after}, dir.root());
}

// What an earlier run left in test.nii, to be found intact after a failure.
const Bytes kEarlier = {'k', 'e', 'e', 'p'};

}  // namespace

// One case of each kind of refusal, each reported with its exact line. The
// missing files are the last of a set, whose earlier volumes must then be
// released (the leak sanitizer checks). Every header is checked before any
// voxels are read: a compressed first file promising 1100 x 1000 x 1000
// voxels is refused from its header alone, and a bad header in the last
// file is found before the first file's short voxels.
TEST(HostileInputTest, MalformedFilesAreRefusedAndAnEarlierOutputSurvives) {
  Bytes reversedHeader = plainInputs().file(1);
  putUnsigned(reversedHeader, 0, 338, 4, !hostIsBigEndian());
  Bytes badCrc = gzipped(plainInputs().file(3)), scalar = plainInputs().file(12);
  badCrc[badCrc.size() - 6] ^= 1;
  const std::string reversed = std::to_string(static_cast<int32_t>(__builtin_bswap32(338)));
  Bytes huge = volumeFile(2, 2, 1, {1, 2, 3, 4});
  for (auto [at, value] : {std::make_pair(42, 1100), {44, 1000}, {46, 1000}})
    putUnsigned(huge, at, value, 2, false);
  const std::string inside = " inside (non-zero and not NaN) of 12, the segmentation needs at least 2";
  // Other formats, named by what they start with: an MRtrix image (long
  // enough to be read as a header), DICOM, FreeSurfer's MGH (compressed:
  // .mgz), text; and a NIfTI-1 pair's header.
  auto text = [](std::string s) { return Bytes(s.begin(), s.end()); };
  Bytes mif = text("mrtrix image\ndim: 3,2,2\nvox: 1,1,1\nlayout: +0,+1,+2\n"), dicom(200, 0),
        mgh(60, 0), pair = plainInputs().file(5);
  mif.resize(400, ' ');
  std::memcpy(&dicom[128], "DICM", 4);
  for (int i = 0; i < 6; ++i) putUnsigned(mgh, 4 * i, i == 0 ? 1 : i == 5 ? 3 : 2, 4, true);
  pair.resize(348);
  std::memcpy(&pair[344], "ni1", 4);
  const std::string convert = ", not a NIfTI volume: convert ";
  const struct {
    std::string file;  // replaced, or removed when `put` is empty
    Put put;
    std::string error;
    bool prefix = false;
  } cases[] = {
      {"V1x.nii", bytes(reversedHeader),
       "V1x.nii: sizeof_hdr is " + reversed +
           ", expected 348 (NIfTI-1) or 540 (NIfTI-2) in either byte order"},
      {"V1x.nii", bytes(mif),
       "V1x.nii: is an MRtrix image (.mif)" + convert + "it with mrconvert, e.g. mrconvert IN.mif "
       "OUT.nii.gz"},
      {"V2z.nii", bytes(dicom), "V2z.nii: is a DICOM file" + convert + "the series with dcm2niix or "
       "mrconvert"},
      {"L3.nii", bytes(gzipped(mgh)),
       "L3.nii: is a FreeSurfer MGH volume (.mgh, or .mgz compressed)" + convert + "it with "
       "mri_convert or mrconvert, e.g. mri_convert IN.mgz OUT.nii.gz"},
      {"V3x.nii", bytes(text("1 2 3\n4 5 6\n")), "V3x.nii: is a text file, not a NIfTI volume"},
      {"V2x.nii", bytes(pair),
       "V2x.nii: is the header of a NIfTI-1 pair, its voxels in a separate .img file; dticut reads "
       "single files: join them, e.g. mrconvert IN.hdr OUT.nii.gz"},
      // Another space: the sform moves the scalar volume by 5 mm.
      {"SCALAR.nii",
       [](const std::string& path, Bytes file) {
         putUnsigned(file, 254, 1, 2, false);  // sform_code
         putUnsigned(file, 292, floatBits(5), 4, false);  // srow_x[3]
         writeFile(path, file);
       },
       "SCALAR.nii: its voxel-to-world transform (sform) differs from that of L1.nii (pixdim) by "
       "up to 5 mm in position and 0 in rotation and scaling, beyond what one grid allows (0 mm "
       "and 0 for voxels of 0 mm): it is from another subject or space; resample it onto that "
       "grid, or give --ignore-geometry to segment anyway"},
      {"V1y.nii", changed(70, 32, 2),
       "V1y.nii: datatype is 32 (complex64), expected 2 (uint8), 4 (int16), 8 (int32), 16 "
       "(float32), 64 (float64), 256 (int8), 512 (uint16), 768 (uint32), 1024 (int64) or 1280 "
       "(uint64)"},
      {"V2x.nii", changed(44, static_cast<uint16_t>(-4), 2),
       "V2x.nii: dim[2] is -4, expected at least 1"},
      {"L2.nii", changed(42, 0x7FFF7FFF7FFF, 6),
       "L2.nii: dimensions 32767 x 32767 x 32767 make 35181150961663 voxels, more than 2147483647"},
      {"L1.nii", bytes(gzipped(huge, 1 << 20)),
       "L1.nii: 1100 x 1000 x 1000 voxels make 2200000000 data costs and 3296800000 neighbour "
       "pairs, more than the optimizer's limit of 2147483647"},
      {"SCALAR.nii",
       [](const std::string& path, Bytes) {
         writeFile(path, Bytes(100, 0));
         const std::string first = std::filesystem::path(path).replace_filename("L1.nii");
         std::filesystem::resize_file(first, std::filesystem::file_size(first) - 1);
       },
       "SCALAR.nii: file is 100 bytes, shorter than the 348-byte header"},
      {"L3.nii", changed(108, floatBits(NAN), 4),
       "L3.nii: vox_offset is nan, expected a finite value of at least 0"},
      {"V3x.nii", changed(108, floatBits(1e30f), 4),
       "V3x.nii: vox_offset is 1e+30, beyond the end of the file (400 bytes)"},
      {"SCALAR.nii", bytes(Bytes(scalar.begin(), scalar.end() - 1)),
       "SCALAR.nii: file is 399 bytes, shorter than the 12 voxels of 4 bytes its header promises "
       "from offset 352"},
      {"V1z.nii", bytes(badCrc),
       "V1z.nii: corrupt gzip data after 400 bytes decompressed: incorrect data check"},
      {"V3y.nii", bytes({0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3}),
       "V3y.nii: gzip data is truncated: the stream ends after 0 bytes decompressed, before the "
       "end of its last member"},
      {"V2y.nii", [](const std::string& path, Bytes) { std::filesystem::create_directory(path); },
       "V2y.nii: read failed: Is a directory"},
      {"L2.nii",
       [](const std::string& path, Bytes) { std::filesystem::create_symlink("/dev/zero", path); },
       "L2.nii: is a device, expected a regular file or a pipe"},
      {"V3z.nii", nullptr, "V3z.nii: cannot open: No such file or directory"},
      {"SCALAR.nii", dims(2, 3, 2),
       "SCALAR.nii: dimensions 2 x 3 x 2 differ from the 3 x 2 x 2 of L1.nii"},
      {"V2y.nii", dims(12, 1, 1),
       "V2y.nii: dimensions 12 x 1 x 1 differ from the 3 x 2 x 2 of L2.nii"},
      {"dti_V2.nii", dims(3, 2, 2, 2),
       "dti_V2.nii: holds 2 volumes (dim[0] is 4, dim[4] is 2), expected at least 3 along the "
       "fourth dimension",
       true},
      {"dti_V3.nii", dims(1, 2, 2, 3),
       "dti_V3.nii: dimensions 1 x 2 x 2 differ from the 3 x 2 x 2 of dti_L3.nii", true},
      {"dti_FA.nii", nullptr, "dti_FA: neither dti_FA.nii.gz nor dti_FA.nii exists", true},
      // A mask must have the volumes' size and at least two voxels inside.
      {"MASK.nii", dims(2, 3, 2), "MASK.nii: dimensions 2 x 3 x 2 differ from the 3 x 2 x 2 of L1.nii"},
      {"MASK.nii", bytes(volumeFile(3, 2, 2, {0, 0, 0, 0, 0, NAN, 0, 0, 0, 0, 0, 5})),
       "MASK.nii: has 1 voxel" + inside},
      {"MASK.nii", bytes(volumeFile(3, 2, 2, std::vector<double>(12, 0))),
       "MASK.nii: has 0 voxels" + inside},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    TempDir dir;
    Inputs in = plainInputs();
    if (c.file == "MASK.nii") in.mask.assign(in.size(), 1);
    std::vector<std::string> args = in.write(dir);
    in.writePrefix(dir, 0);
    if (c.prefix) args = {DTICUT_EXE, "--tensor-prefix", "dti"};
    Bytes valid = readFile(dir.path(c.file));
    std::filesystem::remove(dir.path(c.file));
    if (c.put) c.put(dir.path(c.file), valid);
    writeFile(dir.path("test.nii"), kEarlier);
    size_t entries = dir.entries().size();

    RunResult run = runProgram(args, dir.root());
    expectNoCrash(run);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, c.file == "V1x.nii" ? "Unable to read file.\n" : "");
    EXPECT_EQ(run.err, "dticut: error: " + c.error + "\n");
    EXPECT_EQ(readFile(dir.path("test.nii")), kEarlier);
    EXPECT_EQ(dir.entries().size(), entries);  // no temporary left
  }

  TempDir dir;
  RunResult single = runProgram(Inputs(1, 1, 1).write(dir), dir.root());
  EXPECT_EQ(single.status, 1);
  EXPECT_EQ(single.err,
            "dticut: error: L1.nii: has 1 voxel (1 x 1 x 1), the segmentation needs at least 2\n");
}

// Zero scalar values (the background of a masked scan) make every pair
// weight 1/0 and need the cap; NaN, infinite, huge and negative values need
// the limiting rule too (over the twelve voxels, every volume takes each
// of the mixed values once). Each runs to the minimum of the limited energy.
TEST(HostileInputTest, ExtremeValuesGiveTheMinimumOfTheLimitedEnergy) {
  const double mixed[] = {NAN, INFINITY, -INFINITY, 1e30, -1e30, 0, 1, 3, -0.5, 1e-30, 2, 1};
  const Inputs plain = plainInputs();
  const std::function<double(int k, int p)> cases[] = {
      [](int, int) { return 0.0; },
      [&](int k, int p) { return k == 12 ? -1e30 : plain.volume[k][p]; },
      [&](int k, int p) { return mixed[(p + k) % 12]; },
  };
  for (const auto& value : cases) {
    Inputs in(3, 2, 2);
    for (int k = 0; k < kNumVolumes; ++k)
      for (int p = 0; p < in.size(); ++p) in.volume[k][p] = value(k, p);
    TempDir dir;
    RunResult run = runProgram(in.write(dir), dir.root());
    expectNoCrash(run);
    expectMinimum(run, in, dir);
  }
}

// Output that cannot be written, in ways that hold for root too (root may
// create files in a folder whatever its mode): a file that cannot grow
// during the write, standard output on a full device or a closed pipe. (A
// folder that takes no new file is refused before anything is read: below.)
// The shell reports the status, which a signal would make 128 or more.
TEST(HostileInputTest, AnOutputThatCannotBeWrittenIsReportedAndLosesNothing) {
  TempDir dir;
  const Inputs zeros(8, 8, 8);  // a 2400-byte output
  std::vector<std::string> args = zeros.write(dir);
  writeFile(dir.path("test.nii"), kEarlier);
  const std::string status = "; echo \"status $?\" >&2";
  const struct {
    std::string before, after, error;
  } cases[] = {
      // Files may not grow beyond one block, and the signal that would end
      // the writer is ignored, by the shell or else by dticut itself (as a
      // batch scheduler's limit leaves it), so its write fails with EFBIG
      // part-way.
      {"trap '' XFSZ; ulimit -f 1;", status, "test.nii: write failed: File too large"},
      {"ulimit -f 1;", status, "test.nii: write failed: File too large"},
      // Energies that cannot be written are a failure too, found before the
      // output is replaced.
      {"", " > /dev/full" + status, "standard output: write failed: No space left on device"},
      // A reader that has gone (here one that never reads, and has ended
      // before the energies come): the write fails with EPIPE.
      {"{ sleep 0.3;", status + "; } | :", "standard output: write failed: Broken pipe"},
  };
  for (const auto& c : cases) {
    RunResult run = inShell(c.before, args, c.after, dir);
    expectNoCrash(run);
    EXPECT_EQ(run.err, Expected(zeros).warnings() + "dticut: error: " + c.error + "\nstatus 1\n");
    EXPECT_EQ(readFile(dir.path("test.nii")), kEarlier);
  }
  EXPECT_EQ(dir.entries().size(), 14u);  // no temporary left
}

// An output that would replace an input (by its own name, a symbolic or a
// hard link), a device, a FIFO, a folder, a missing folder, or another
// output (by its own name, or a path through ./, .. or a link to a folder,
// where neither exists yet): each is refused before anything is read, every
// file left as it was. A path's control bytes are shown escaped.
TEST(HostileInputTest, OutputsThatWouldDestroyAnInputOrCannotBeWrittenAreRefusedFirst) {
  TempDir dir;
  const Inputs in = plainInputs();
  const std::vector<std::string> args = in.write(dir);
  std::filesystem::create_symlink(dir.path("V2x.nii"), dir.path("link.nii"));
  std::filesystem::create_hard_link(dir.path("SCALAR.nii"), dir.path("hard.nii"));
  ASSERT_EQ(mkfifo(dir.path("fifo.nii").c_str(), 0644), 0);
  std::filesystem::create_directory(dir.path("folder.nii"));
  std::filesystem::create_directory(dir.path("sub"));
  std::filesystem::create_directory_symlink(".", dir.path("here"));
  const std::string destroy = "; writing the output there would destroy it\n",
                    other = "; expected a regular file or a new name\n";
  const struct {
    std::vector<std::string> options;
    std::string error;
  } cases[] = {
      {{"-o", "L1.nii"}, "L1.nii: is the input L1.nii" + destroy},
      {{"-o", "link.nii"}, "link.nii: is the input V2x.nii" + destroy},
      {{"--preview", "hard.nii"}, "hard.nii: is the input SCALAR.nii" + destroy},
      {{"-o", "/dev/null"}, "/dev/null: exists and is not a regular file (a device)" + other},
      {{"-o", "fifo.nii"}, "fifo.nii: exists and is not a regular file (a FIFO)" + other},
      {{"-o", "folder.nii"}, "folder.nii: exists and is not a regular file (a folder)" + other},
      {{"-o", "missing/out.nii"}, "missing/out.nii: cannot create the temporary missing/dticut-"},
      {{"-o", "same.png", "--preview", "same.png"},
       "same.png: is also the output of the labels; give the picture another name\n"},
      {{"-o", "out.png", "--preview", "./out.png"},
       "./out.png: is also the output of the labels; give the picture another name\n"},
      {{"-o", "x.nii", "--preview", "here/x.nii"},
       "here/x.nii: is also the output of the labels; give the picture another name\n"},
      {{"-o", "sub/../r.json", "--report", "r.json"},
       "r.json: is also the output of the labels; give the report another name\n"},
      {{"--preview", "p.png", "--report", "sub/../here/p.png"},
       "sub/../here/p.png: is also the picture; give the report another name\n"},
      {{"-o", "here/SCALAR.nii"}, "here/SCALAR.nii: is the input SCALAR.nii" + destroy},
      {{"-o", "mis\x1b[2J\rsing/x.nii"},
       "mis\\x1b[2J\\x0dsing/x.nii: cannot create the temporary mis\\x1b[2J\\x0dsing/dticut-"},
  };
  const std::vector<std::string> before = dir.entries();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    std::vector<std::string> command = args;
    command.insert(command.begin() + 1, c.options.begin(), c.options.end());
    RunResult run = runProgram(command, dir.root());
    expectNoCrash(run);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("dticut: error: " + c.error, 0), 0u) << run.err;
    EXPECT_EQ(dir.entries(), before);
  }
  for (int k = 0; k < kNumVolumes; ++k) EXPECT_EQ(readFile(dir.path(args[k + 1])), in.file(k));
}

// Outputs whose paths are as long as the system takes (PATH_MAX - 1 bytes,
// through folders nested deeper than an absolute path can name, each made
// relative to the last) are checked (the probe of each folder) and written
// like any other, and leave no temporary.
TEST(HostileInputTest, OutputsAtTheLongestPathAreWritten) {
  TempDir dir;
  std::vector<std::string> args = plainInputs().write(dir);
  std::vector<std::string> names = {"labels.nii", "p.png", "r.json"};
  std::vector<std::string> plain = args;
  plain.insert(plain.begin() + 1, {"-o", names[0], "--preview", names[1], "--report", names[2]});
  RunResult expected = runProgram(plain, dir.root());
  ASSERT_EQ(expected.status, 0) << expected.err;

  std::vector<std::string> folders;  // the last one fills the path to PATH_MAX - 1
  const size_t room = PATH_MAX - 1 - names[0].size();  // for the folders and their slashes
  for (size_t used = 0; used < room; used += folders.back().size() + 1)
    folders.push_back(std::string(std::min<size_t>(250, room - used - 1), 'd'));
  std::vector<int> fds = {open(dir.root().c_str(), O_RDONLY | O_DIRECTORY)};
  std::string folder;
  for (const std::string& name : folders) {
    ASSERT_EQ(mkdirat(fds.back(), name.c_str(), 0755), 0);
    fds.push_back(openat(fds.back(), name.c_str(), O_RDONLY | O_DIRECTORY));
    folder += name + "/";
  }
  ASSERT_EQ(folder.size() + names[0].size(), static_cast<size_t>(PATH_MAX - 1));
  args.insert(args.begin() + 1, {"-o", folder + names[0], "--preview", folder + names[1],
                                 "--report", folder + names[2]});
  RunResult run = runProgram(args, dir.root());
  expectNoCrash(run);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, expected.out);
  EXPECT_EQ(run.err, expected.err);
  auto contentOf = [&](const std::string& name) {
    Bytes content;
    int fd = openat(fds.back(), name.c_str(), O_RDONLY);
    unsigned char chunk[4096];
    for (ssize_t n; fd >= 0 && (n = read(fd, chunk, sizeof chunk)) > 0;)
      content.insert(content.end(), chunk, chunk + n);
    if (fd >= 0) close(fd);
    return content;
  };
  EXPECT_EQ(contentOf(names[0]), readFile(dir.path(names[0])));
  EXPECT_EQ(contentOf(names[1]), readFile(dir.path(names[1])));
  const Bytes report = contentOf(names[2]);  // which names the outputs by their paths
  EXPECT_NE(std::string(report.begin(), report.end()).find('"' + folder + names[0] + '"'),
            std::string::npos);
  for (const std::string& name : names) unlinkat(fds.back(), name.c_str(), 0);
  // Every file is gone, so each folder can go: none held a temporary.
  for (size_t i = folders.size(); i > 0; --i) {
    close(fds[i]);
    EXPECT_EQ(unlinkat(fds[i - 1], folders[i - 1].c_str(), AT_REMOVEDIR), 0) << i;
  }
  close(fds[0]);
}

// A pipe (as bash's <(...) gives one) as the first file, whose header is
// also the output's template: it is read once, as it streams, and the run
// gives exactly the regular file's result.
TEST(HostileInputTest, APipeAsTheFirstFileIsReadOnce) {
  TempDir dir;
  std::vector<std::string> args = plainInputs().write(dir);
  RunResult plain = runProgram(args, dir.root());
  ASSERT_EQ(plain.status, 0) << plain.err;
  // bash runs `$0 <(cat $1) $2 ...`: the same command, L1.nii through a pipe.
  args.insert(args.begin(),
              {"/bin/bash", "-c", "exec timeout 20 \"$0\" <(cat \"$1\") \"${@:2}\" -o pipe.nii"});
  RunResult run = runProgram(args, dir.root());
  expectNoCrash(run);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, plain.out);
  EXPECT_EQ(run.err, plain.err);
  EXPECT_EQ(readFile(dir.path("pipe.nii")), readFile(dir.path("test.nii")));
}

// Under growing memory limits a run either succeeds or ends with status 1
// and, last on standard error, the out-of-memory line naming the size it
// needs (after the optimizer's own message on standard output, where it
// prints one), its earlier output intact; never by a signal. The sanitizers
// reserve more address space than any such limit allows.
TEST(HostileInputTest, RunningOutOfMemoryIsReportedWhereverItHappens) {
#if defined(__SANITIZE_ADDRESS__) || defined(__has_feature)
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
  GTEST_SKIP() << "address space limits and AddressSanitizer do not mix";
#endif
#endif
  TempDir dir;
  std::vector<std::string> args = plainInputs(40, 40, 40).write(dir);
  args.insert(args.begin() + 1, {"--data-lambda", "100"});
  writeFile(dir.path("test.nii"), kEarlier);
  // From 1 MB above the least address space in which the program starts at
  // all: nearer to it the C++ runtime cannot set up the buffer it throws
  // exceptions from when memory is out, and ends the process itself.
  int floor = 4;
  while (floor < 64 && inShell("ulimit -v " + std::to_string(floor << 10) + "; exec",
                               {DTICUT_EXE, "--version"}, "", dir).status != 0)
    ++floor;
  int failed = 0, succeeded = 0;
  for (int megabytes = floor + 1; megabytes <= 512; megabytes += megabytes / 4) {
    const std::string limit = "ulimit -v " + std::to_string(megabytes << 10) + "; exec";
    RunResult run = inShell(limit, args, "", dir);
    SCOPED_TRACE(limit + "\n" + run.err);
    expectNoCrash(run);
    if (run.status == 0) {
      ++succeeded;
      std::filesystem::remove(dir.path("test.nii"));
      continue;
    }
    ++failed;
    EXPECT_EQ(run.status, 1);
    std::string last = run.err.substr(run.err.rfind('\n', run.err.size() - 2) + 1);
    EXPECT_EQ(last.rfind("dticut: error: out of memory: ", 0), 0u);
    EXPECT_EQ(readFile(dir.path("test.nii")), kEarlier);
  }
  EXPECT_GT(failed, 0);
  EXPECT_GT(succeeded, 0);
}
