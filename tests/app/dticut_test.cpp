// End-to-end tests of the dticut command: the real executable, run as a
// subprocess on small hand-made volumes in a temporary folder.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/command/inputForms.h"
#include "app/io/preview.h"
#include "tests/app/dticut_inputs.h"

using namespace testfiles;

namespace {

Inputs randomInputs(int x, int y, int z, std::mt19937& random) {
  std::uniform_real_distribution<double> eigen(0.1, 2.0), component(-1.0, 1.0), scalar(0.2, 3.5);
  Inputs in(x, y, z);
  for (int p = 0; p < in.size(); ++p)
    for (int k = 0; k < kNumVolumes; ++k)
      in.volume[k][p] = k == 12 ? scalar(random) : k % 4 == 0 ? eigen(random) : component(random);
  return in;
}

}  // namespace

// Each result against an exhaustive search, with the template (L1) in every
// encoding; the prefix form, some of its files compressed, and the dipy form
// (its eigenvectors 5-D or 4-D) give the same output from the same numbers.
// Some runs give weights, each of which must reach its own term, and some a
// mask, whose voxels the reader takes as inside (non-zero, NaN excluded) or
// outside: only those inside are sites. Round 0's mask holds every voxel,
// so the prefix run, given none, must give exactly the same result.
TEST(DticutTest, AllInputFormsMatchAnExhaustiveSearch) {
  const unsigned seed = 4242;
  std::printf("seed %u\n", seed);
  std::mt19937 random(seed);
  const int sizes[][3] = {{2, 1, 1}, {1, 3, 1}, {3, 2, 1}, {2, 2, 2}, {1, 3, 4}, {2, 3, 2}};
  const int encodings[][2] = {{16, 0}, {4, 1}, {2, 0}, {16, 1}, {4, 0}, {2, 1}};
  const EnergyWeights weights[] = {
      {}, {100, 1, 1, 1}, {1, 0.5f, 3, -2}, {0.25f, 7, 0, 0.5f}, {2, 1e-40f, 1e-40f, 1}};
  const double inside[] = {1, 255, 7}, outside[] = {0, NAN};
  auto text = [](float value) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.9g", value);
    return std::string(digits);
  };
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int* size = sizes[round / 2];
    Inputs in = randomInputs(size[0], size[1], size[2], random);
    in.templateDatatype = encodings[round % 6][0];
    in.templateBigEndian = encodings[round % 6][1] != 0;
    if (in.templateDatatype != 16)
      for (double& value : in.volume[0]) value = std::round(2 * value);
    if (round == 0 || round >= 8) in.mask.assign(in.size(), 1);
    for (double& m : in.mask)
      if (round > 0) m = random() % 3 ? inside[random() % 3] : outside[random() % 2];
    const EnergyWeights& w = weights[round % 5];
    std::vector<std::string> options;
    if (round % 5 > 0)
      options = {"--data-lambda", text(w.data), "--smooth-fa-lambda", text(w.smoothFA),
                 "--smooth-principal-lambda", text(w.smoothPrincipal),
                 "--smooth-omnibus-lambda=" + text(w.smoothOmnibus)};
    TempDir dir;
    auto withOptions = [&](std::vector<std::string> args) {
      args.insert(args.begin() + 1, options.begin(), options.end());
      return runProgram(args, dir.root());
    };
    RunResult run = withOptions(in.write(dir));
    expectMinimum(run, in, dir, w);

    in.writePrefix(dir, static_cast<unsigned>(random()));
    std::vector<std::string> prefix = {DTICUT_EXE, "--tensor-prefix", "dti", "-o", "prefix.nii"},
                             dipy = in.writeDipy(dir, round % 2 == 0);
    dipy.insert(dipy.end(), {"-o", "dipy.nii"});
    if (round > 0) prefix = in.withMask(dir, prefix);
    for (const std::vector<std::string>& args : {prefix, dipy}) {
      RunResult other = withOptions(args);
      EXPECT_EQ(other.status, 0) << other.err;
      EXPECT_EQ(other.out, run.out);
      EXPECT_EQ(other.err, run.err);
    }
    EXPECT_EQ(readFile(dir.path("prefix.nii")), readFile(dir.path("test.nii")));
    // The dipy form's template is evals.nii, a little-endian float32 file of
    // three volumes, narrowed on output to L1's header when L1 is such a file.
    if (in.templateDatatype == 16 && !in.templateBigEndian) {
      EXPECT_EQ(readFile(dir.path("dipy.nii")), readFile(dir.path("test.nii")));
    }
    niiIO dipyLabels(dir.path("dipy.nii").c_str()), labels(dir.path("test.nii").c_str());
    EXPECT_EQ(std::vector<float>(dipyLabels.data, dipyLabels.data + dipyLabels.numVoxels),
              std::vector<float>(labels.data, labels.data + labels.numVoxels));
  }
}

// Writing into another folder, compressed, reporting the stages with -v,
// drawing the picture and giving weights of 1 explicitly change neither
// standard output nor the labels. The picture is the one the renderer draws
// from the scalar volume and the labels.
TEST(DticutTest, VerboseRunsWriteTheSameResultElsewhere) {
  std::mt19937 random(77);
  Inputs in = randomInputs(3, 3, 2, random);
  TempDir dir;
  std::vector<std::string> args = in.write(dir);
  RunResult quiet = runProgram(args, dir.root());
  expectMinimum(quiet, in, dir);

  std::filesystem::create_directory(dir.path("out"));
  args.insert(args.begin() + 1,
              {"-v", "--output", "out/labels.nii.gz", "--preview", "out/picture.png",
               "--preview-slices", "2", "--data-lambda", "1", "--smooth-fa-lambda", "1.0", "--smooth-principal-lambda",
               "1e0", "--smooth-omnibus-lambda", "1"});
  RunResult verbose = runProgram(args, dir.root());
  ASSERT_EQ(verbose.status, 0) << verbose.err;
  EXPECT_EQ(verbose.out, quiet.out);
  EXPECT_EQ(gunzipped(readFile(dir.path("out/labels.nii.gz"))), readFile(dir.path("test.nii")));
  niiIO scalar(dir.path(args.back()).c_str());
  niiIO labels(dir.path("test.nii").c_str());
  Image volume = {scalar.data, scalar.dimX, scalar.dimY, scalar.dimZ, "scalar"};
  PreviewRequest picture;
  picture.scalar = &volume;
  picture.labels = labels.data;
  picture.transform = labels.header->transform;
  picture.slices = 2;
  writePreview(dir.path("expected.png").c_str(), picture);
  EXPECT_EQ(readFile(dir.path("out/picture.png")), readFile(dir.path("expected.png")));
  std::smatch m;
  static const std::regex stages(
      "dticut: reading: 13 files of 3 x 3 x 2 voxels, [0-9.]+ s\n"
      "dticut: principal component: [0-9.]+ s\n"
      "(dticut: limited [^\n]*\n)?"
      "dticut: building the energy: 18 sites, 33 pairs, [0-9.]+ s\n"
      "dticut: optimisation: energy ([0-9]+) after iteration 1"
      "(, energy ([0-9]+) after iteration 2)?, [0-9.]+ s\n"
      "dticut: writing: out/labels.nii.gz, [0-9.]+ s\n"
      "dticut: preview: out/picture.png, [0-9.]+ s\n");
  ASSERT_TRUE(std::regex_match(verbose.err, m, stages)) << verbose.err;
  EXPECT_EQ(m[1].str(), quiet.err);
  EXPECT_EQ(std::stoll(m[3].matched ? m[4] : m[2]), Expected(in).minimum());

  // A scalar file of two volumes is read for its first, and a set in another
  // space is segmented with --ignore-geometry: the same labels, each said.
  std::vector<double> twice = in.volume[12];
  twice.insert(twice.end(), twice.size(), 7.0);
  Bytes moved = in.file(4);
  putUnsigned(moved, 252, 1, 2, false);                 // qform_code
  putUnsigned(moved, 268, floatBits(-3.5f), 4, false);  // qoffset_x
  args = in.write(dir);
  args.resize(kNumVolumes + 1);
  writeFile(dir.path("SCALAR.nii"), volumesFile(3, 3, 2, 2, twice));
  writeFile(dir.path("L2.nii"), moved);
  args.insert(args.begin() + 1,
              {"--ignore-geometry", "-o", "again.nii", "--labels-datatype", "uint8"});
  RunResult warned = runProgram(args, dir.root());
  EXPECT_EQ(warned.out, quiet.out);
  EXPECT_EQ(warned.err,
            "dticut: L2.nii: its voxel-to-world transform (qform) differs from that of L1.nii "
            "(pixdim) by up to 3.5 mm in position and 0 in rotation and scaling, beyond what one "
            "grid allows (0 mm and 0 for voxels of 0 mm): it is from another subject or space; "
            "segmenting anyway (--ignore-geometry)\n"
            "dticut: SCALAR.nii: holds 2 volumes; only the first is read\n" + quiet.err);
  // uint8 labels: the float32 output's header with datatype 2 and bitpix 8.
  Bytes expected = readFile(dir.path("test.nii"));
  const std::vector<float> values(labels.data, labels.data + labels.numVoxels);
  putUnsigned(expected, 70, 2, 2, false);
  putUnsigned(expected, 72, 8, 2, false);
  expected.resize(352);
  for (float value : values) expected.push_back(static_cast<unsigned char>(value));
  EXPECT_EQ(readFile(dir.path("again.nii")), expected);
}

TEST(DticutTest, UsageNamesTheVolumesInOrderAndRefusesOtherCommandLines) {
  TempDir dir;
  RunResult help = runProgram({DTICUT_EXE, "--help"}, dir.root());
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("usage: dticut [options] L1 V1x V1y V1z L2 V2x V2y V2z L3 V3x V3y V3z "
                           "SCALAR\n       dticut [options] --tensor-prefix PREFIX\n"
                           "       dticut [options] --evals FILE --evecs FILE --scalar FILE\n",
                           0),
            0u)
      << help.out;
  EXPECT_EQ(runProgram({DTICUT_EXE, "-h"}, dir.root()).out, help.out);
  RunResult version = runProgram({DTICUT_EXE, "--version"}, dir.root());
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("dticut [0-9]+\\.[0-9]+\\.[0-9]+\n")));

  struct Wrong {
    std::vector<std::string> args;
    std::string error;
  };
  std::vector<Wrong> wrong = {
      {{}, "expected 13 volumes, got 0"},
      {std::vector<std::string>(14, "x"), "expected 13 volumes, got 14"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"-o"}, "-o needs a value"},
      {{"--output="}, "--output= needs a non-empty path"},
      {{"--preview", ""}, "--preview needs a non-empty path"},
      // Every path may come from an unset shell variable.
      {{"--mask", ""}, "--mask needs a non-empty path"},
      {{"--tensor-prefix="}, "--tensor-prefix= needs a non-empty path"},
      {{"--evals", "a", "--evecs", "", "--scalar", "c"}, "--evecs needs a non-empty path"},
      {{"--report", ""}, "--report needs a non-empty path"},
      {{"L1", "V1x", "", "V1z", "L2", "V2x", "V2y", "V2z", "L3", "V3x", "V3y", "V3z", "S"},
       "volume 3 (V1y) needs a non-empty path"},
      // Quoted bytes a terminal would act on are shown as \xHH: C0 controls,
      // DEL, C1 controls and whatever is not UTF-8 (a lone continuation, an
      // overlong form, a surrogate, beyond U+10FFFF, a cut sequence); valid
      // UTF-8 and backslashes pass as they are.
      {{"--a\x1b[2J\rb\x7f\x01"}, "unknown option --a\\x1b[2J\\x0db\\x7f\\x01"},
      {{"--\xc2\x9b\x80\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82"},
       "unknown option --\\xc2\\x9b\\x80\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xe2\\x82"},
      {{"--\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\\x1b"},
       "unknown option --\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\\x1b"},
      {{"--preview-slices", "0"}, "--preview-slices needs a whole number from 1 to 32, got '0'"},
      {{"--preview-slices=33"}, "--preview-slices needs a whole number from 1 to 32, got '33'"},
      {{"--preview-slices", "2x"}, "--preview-slices needs a whole number from 1 to 32, got '2x'"},
      {{"--labels-datatype", "uint9"},
       "--labels-datatype needs uint8, int8, int16, uint16, int32, uint32, int64, uint64, "
       "float32, float64 or template, got 'uint9'"},
      {{"--verbose=1"}, "--verbose takes no value"},
      {{"--tensor-prefix", "dti", "L1.nii"},
       "--tensor-prefix reads its own files, but volumes were given too: L1.nii"},
      {{"--evals", "a.nii"}, "--evals, --evecs and --scalar go together; --evecs is missing"},
      {{"--scalar", "s", "--evecs", "v"},
       "--evals, --evecs and --scalar go together; --evals is missing"},
      {{"--tensor-prefix", "dti", "--scalar", "s"},
       "--tensor-prefix and --scalar name two input forms; give one"},
      {{"--evals", "a", "--evecs", "b", "--scalar", "c", "L1.nii"},
       "--evals reads the dipy form, but volumes were given too: L1.nii"},
  };
  // A weight must be a finite float written in full: 1e39 would become
  // infinite in single precision, 1e-50 zero (1e-40, subnormal, is taken).
  for (const std::string option : {"--data-lambda", "--smooth-fa-lambda",
                                   "--smooth-principal-lambda", "--smooth-omnibus-lambda"})
    for (const std::string value : {"heavy", "nan", "-inf", "1e39", "1e-50", "2x", ""})
      wrong.push_back({{option, value},
                       option + " needs a finite single-precision number, got '" + value + "'"});
  wrong.push_back({{"--data-lambda", "1\t"},
                   "--data-lambda needs a finite single-precision number, got '1\\x09'"});
  for (const Wrong& c : wrong) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), DTICUT_EXE);
    RunResult run = runProgram(args, dir.root());
    EXPECT_EQ(run.status, 2) << c.error;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "dticut: error: " + c.error + "\n\n" + help.out);
  }
  EXPECT_TRUE(dir.entries().empty());
}

// The README's tables of the input forms name the volumes in the order the
// command reads them: every backquoted name of the thirteen-file table, in
// row order, and the PREFIX_ names of the prefix table's first column.
TEST(DticutTest, ReadmeTablesListTheInputFormsInOrder) {
  std::ifstream readme(DTICUT_SOURCE_DIR "/README.md");
  std::vector<std::string> thirteen, prefix, expected, expectedPrefix;
  static const std::regex position("^\\| ([0-9]+)(–([0-9]+))? \\| `([^`]*)`"), word("[A-Za-z0-9]+"),
      prefixed("`PREFIX_([A-Za-z0-9]+)`");
  for (std::string line; std::getline(readme, line);) {
    std::smatch m;
    if (std::regex_search(line, m, position)) {
      const std::string names = m[4];
      for (std::sregex_iterator w(names.begin(), names.end(), word), end; w != end; ++w)
        thirteen.push_back(w->str());
      EXPECT_EQ(static_cast<int>(thirteen.size()), std::stoi(m[3].matched ? m[3] : m[1])) << line;
    }
    if (line.rfind("| `PREFIX_", 0) != 0) continue;
    const std::string first = line.substr(0, line.find('|', 1));  // the first column
    for (std::sregex_iterator w(first.begin(), first.end(), prefixed), end; w != end; ++w)
      prefix.push_back((*w)[1]);
  }
  for (const InputVolume& volume : kThirteenFileForm) expected.push_back(volume.name);
  for (const InputVolume& volume : kTensorPrefixForm) expectedPrefix.push_back(volume.name);
  EXPECT_EQ(thirteen, expected);
  std::sort(prefix.begin(), prefix.end());
  std::sort(expectedPrefix.begin(), expectedPrefix.end());
  EXPECT_EQ(prefix, expectedPrefix);
}

// The README's option table has a row for every weight of the energy, in
// the table's order, with its default and its Python keyword.
TEST(DticutTest, ReadmeOptionTableListsEveryWeight) {
  std::ifstream readme(DTICUT_SOURCE_DIR "/README.md");
  static const std::regex row("^\\| `(--[a-z-]+) X` \\|.*\\(default ([^;]*); [^`]*`([a-z_]+)`\\) \\|$");
  std::vector<std::string> found, expected;
  for (std::string line; std::getline(readme, line);) {
    std::smatch m;
    if (std::regex_match(line, m, row)) found.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str());
  }
  for (const EnergyWeight& weight : kEnergyWeights) {
    char text[160];
    std::snprintf(text, sizeof text, "%s %g %s", weight.option, weight.defaultValue, weight.keyword);
    expected.push_back(text);
  }
  EXPECT_EQ(found, expected);
}

// A result with no voxel in label 1 is said on standard error, with its
// cause: every scalar NaN, a data weight that is not positive, no scalar
// value above 0.5 (the largest with its sign: of -0 and +0, the one met
// first with x outermost), or pair weights that outweigh the voxels that
// favour label 1 (expectMinimum holds the expected lines).
TEST(DticutTest, AnEmptyResultSaysWhy) {
  const struct {
    double scalar, first, second;  // every voxel's scalar value, voxel 0's and voxel 1's
    EnergyWeights weights;
  } cases[] = {{NAN, NAN, NAN, {100, 1, 1, 1}},     {0.8, 0.8, 0.8, {0, 1, 1, 1}},
               {0.8, 0.8, 0.8, {-2, 1, 1, 1}},      {0.4, 0.3, 0.4, {100, 1, 1, 1}},
               {0.0, 0.9, 0.0, {100, 100, 1, 1}},   {-0.0, NAN, 0.0, {100, 1, 1, 1}}};
  for (const auto& c : cases) {
    Inputs in(3, 2, 1);
    for (int k = 0; k < kNumVolumes; ++k)
      for (int p = 0; p < in.size(); ++p)
        in.volume[k][p] = k == 12 ? (p == 0 ? c.first : p == 1 ? c.second : c.scalar)
                                  : k % 4 == 0 ? 1 : 0.5;
    TempDir dir;
    std::vector<std::string> args = in.write(dir);
    const char* names[] = {"--data-lambda", "--smooth-fa-lambda"};
    const float values[] = {c.weights.data, c.weights.smoothFA};
    for (int i = 0; i < 2; ++i) args.insert(args.begin() + 1, {names[i], std::to_string(values[i])});
    expectMinimum(runProgram(args, dir.root()), in, dir, c.weights);
  }
}
