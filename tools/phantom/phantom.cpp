// dticut-phantom: writes the input volumes of dticut for a synthetic
// diffusion-tensor phantom, as thirteen 3-D files, as the seven files of a
// tensor prefix (4-D eigenvector files) or as dipy's three files, plain or
// gzip-compressed, optionally with the head mask. The scene (scenes.h) says
// which tissue lies where: by default three tube-shaped fibre bundles in a
// noisy background, or one of the scenes with a known answer, which also
// write their truth map and a seed map of short strokes. The tensors are
// the scene's exact ones, or with --snr those a log-linear fit recovers
// from simulated noisy diffusion-weighted signals (diffusion.h), which
// --write-dwi also writes. Eigenvalues are of the order of 1e-3 (mm^2/s),
// sorted per voxel from largest to smallest as a tensor fit writes them,
// and the scalar volume is their fractional anisotropy. The output depends
// only on the options: the noise comes from a fixed generator, not the
// library's.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/command/inputForms.h"
#include "app/io/atomicFile.h"
#include "app/io/niiIO.h"
#include "app/io/printable.h"
#include "tools/phantom/diffusion.h"
#include "tools/phantom/scenes.h"
#include "tools/phantom/tensor.h"

namespace {

struct Options {
  int size[3] = {64, 64, 32};
  uint64_t seed = 1;
  bool bigEndian = false;
  enum Layout { kFiles, kPrefix, kDipy } layout = kFiles;
  bool mask = false;
  bool gzip = false;
  Scene scene = Scene::kTubes;
  double snr = 0;  // 0: the exact tensors
  bool writeDwi = false;
  std::string folder;
};

// The name of the prefix and dipy layouts' files, FOLDER/dti_L1.nii ...
const char* const kPrefixName = "dti";

void printUsage(FILE* out) {
  fprintf(out,
          "usage: dticut-phantom [options] FOLDER\n\n"
          "Writes a synthetic diffusion-tensor phantom into FOLDER (which must exist) as\n"
          "float32 NIfTI-1 files, and prints the arguments that make dticut read them,\n"
          "one per line. Outside an ellipsoidal head mask every volume is 0.\n\n"
          "layouts:\n"
          "  files    thirteen 3-D volumes named after dticut's arguments, L1.nii ...\n"
          "           SCALAR.nii; prints their paths in dticut's order\n"
          "  prefix   the seven files of a tensor fit, dti_L1.nii, dti_V1.nii (4-D: x, y,\n"
          "           z), ... dti_FA.nii; prints --tensor-prefix FOLDER/dti\n"
          "  dipy     dipy's three files dti_evals.nii (4-D), dti_evecs.nii (4-D, 9\n"
          "           volumes) and dti_scalar.nii; prints --evals, --evecs, --scalar\n\n"
          "options:\n"
          "  --size XxYxZ     volume size in voxels (default 64x64x32)\n"
          "  --seed N         seed of the noise (default 1)\n"
          "  --big-endian     write big-endian files (default little-endian)\n"
          "  --layout LAYOUT  files (default), prefix or dipy\n"
          "  --mask           also write the head mask (uint8: 1 inside, 0 outside),\n"
          "                   MASK.nii or dti_mask.nii, and print --mask and its path\n"
          "  --gzip           write gzip-compressed files (.nii.gz)\n"
          "  --scene SCENE    tubes (default), touching90, touching60, curved or crossing\n"
          "  --snr N          write the tensors fitted to simulated noisy signals instead\n"
          "                   of the exact ones (N > 0, see below)\n"
          "  --write-dwi      also write the signals (with --snr the noisy ones that were\n"
          "                   fitted): DWI.nii or dti_dwi.nii (float32, 33 volumes, 0\n"
          "                   outside the head) with FSL's DWI.bval and DWI.bvec (or\n"
          "                   dti_dwi.bval, dti_dwi.bvec), directions in the voxel axes\n"
          "  -h, --help       print this help and exit\n\n"
          "scenes, on an X x Y x Z grid, voxel i spanning [i, i+1) and tested at its\n"
          "centre i + 0.5; the head is the ellipsoid of semi-axes 0.45 X, 0.45 Y, 0.45 Z\n"
          "about the grid's centre; the rest of the head is background (eigenvalues\n"
          "(0.85, 0.75, 0.7)e-3 mm^2/s, each times 1 + 0.1 N(0,1), random orientation,\n"
          "FA about 0.1).\n"
          "Bundles of the scenes other than tubes have eigenvalues (1.7, 0.3, 0.3)e-3\n"
          "(FA 0.80), the first along the fibres; bundle 1 is the structure (label 1).\n"
          "  tubes       tubes along x, along y and a ring, eigenvalues (1.7, 0.3,\n"
          "              0.25)e-3 each times 1 + 0.03 N(0,1); no truth map\n"
          "  touching90  slabs over 0.25 X <= x <= 0.75 X, 0.25 Z <= z <= 0.75 Z, touching\n"
          "              along y = 0.5 Y: bundle 1 in 0.35 Y <= y < 0.5 Y along x,\n"
          "              bundle 2 in 0.5 Y <= y < 0.65 Y along z (90 degrees)\n"
          "  touching60  the same, bundle 2 along (0.5, 0, 0.866) (60 degrees)\n"
          "  curved      bundle 1 a half ring in the plane z = 0.5 Z: centre C = (0.5 X,\n"
          "              0.35 Y, 0.5 Z), radius R = 0.3 min(X, Y), tube radius\n"
          "              r = max(1.5, 0.1 min(X, Y, Z)), the side y >= 0.35 Y; fibres\n"
          "              along the ring\n"
          "  crossing    tubes of radius r through (0.5 Y, 0.5 Z) along x (bundle 1, the\n"
          "              crossing included) and through (0.5 X, 0.5 Z) along y (bundle 2);\n"
          "              where they cross, the mean of their tensors: planar, (1.0, 1.0,\n"
          "              0.3)e-3, the third axis z\n"
          "These scenes also write (uint8, not printed) the truth map TRUTH.nii or\n"
          "dti_truth.nii (1 on bundle 1) and the seed map SEEDS.nii or dti_seeds.nii\n"
          "(0 free, 1 inside bundle 1, 2 outside it): strokes of 5 voxels, those holding\n"
          "c + t d / max|d_i| for t = -2 ... 2, each kept only within its region (a grid\n"
          "on which a stroke keeps fewer than 3 voxels is refused; grids from 12x12x8 up\n"
          "suit every scene). Centres c:\n"
          "  touching  1 along x at (0.4 X, 0.425 Y, 0.4 Z), (0.6 X, 0.425 Y, 0.6 Z);\n"
          "            2 in bundle 2 along its fibres at (0.4 X, 0.575 Y, 0.6 Z),\n"
          "            (0.6 X, 0.575 Y, 0.4 Z); 2 in the background along x at\n"
          "            (0.5 X, 0.25 Y, 0.5 Z), (0.5 X, 0.75 Y, 0.5 Z), along y at\n"
          "            (0.15 X, 0.5 Y, 0.5 Z)\n"
          "  curved    1 along the ring at C + R (cos a, sin a, 0), a = 30, 90, 150\n"
          "            degrees; 2 in the background along x at C + (0, 0.25 R, 0),\n"
          "            C + (0, R + 2 r, 0), C + (0, -2 r, 0)\n"
          "  crossing  1 along x at (0.3 X, 0.5 Y, 0.5 Z), (0.7 X, 0.5 Y, 0.5 Z); 2 in\n"
          "            bundle 2 along y at (0.5 X, 0.3 Y, 0.5 Z), (0.5 X, 0.7 Y, 0.5 Z);\n"
          "            2 in the background along x at (0.3 X, 0.3 Y, 0.5 Z) and\n"
          "            (0.5 X, 0.5 Y, 0.75 Z), along y at (0.7 X, 0.7 Y, 0.5 Z)\n\n"
          "--snr: the signals of each voxel's tensor, S = 1000 exp(-b g'Dg), for b = 0\n"
          "and 32 directions at b = 1000 s/mm^2, g_i = (sqrt(1 - z^2) cos(i a),\n"
          "sqrt(1 - z^2) sin(i a), z), z = 1 - (i + 0.5) / 32, a = pi (3 - sqrt(5)),\n"
          "i = 0 ... 31, with Rician noise of sigma 1000 / N in each of the two\n"
          "components, stored as float32; the tensor is fitted back by log-linear\n"
          "least squares of ln max(S, 1e-4) and eigen-decomposed. Eigenvalues are\n"
          "written as fitted: noise can make them near 0 or negative, and FA then\n"
          "above 1. The noise depends only on --seed and the voxel.\n");
}

// `format` has one %s, for `value`: an argument, shown with its control
// bytes escaped (app/io/printable.h), as every message of the tool is.
[[noreturn]] void usageError(const char* format, const char* value) {
  std::string message(strlen(format) + strlen(value), '\0');
  message.resize(static_cast<size_t>(snprintf(&message[0], message.size() + 1, format, value)));
  fprintf(stderr, "dticut-phantom: error: %s\n\n", printable(message).c_str());
  printUsage(stderr);
  exit(2);
}

bool parseSize(const char* text, int size[3]) {
  const char* at = text;
  for (int i = 0; i < 3; ++i) {
    char* end;
    long value = strtol(at, &end, 10);
    if (end == at || value < 1 || value > 32767) return false;
    size[i] = static_cast<int>(value);
    if (i < 2 && *end != 'x') return false;
    at = end + (i < 2 ? 1 : 0);
  }
  return *at == '\0' && static_cast<long long>(size[0]) * size[1] * size[2] <= 1LL << 30;
}

Options parseArguments(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      printUsage(stdout);
      exit(0);
    } else if (arg == "--big-endian") {
      options.bigEndian = true;
    } else if (arg == "--gzip") {
      options.gzip = true;
    } else if (arg == "--mask") {
      options.mask = true;
    } else if (arg == "--write-dwi") {
      options.writeDwi = true;
    } else if (arg == "--size" || arg == "--seed" || arg == "--layout" || arg == "--scene" ||
               arg == "--snr") {
      if (i + 1 == argc) usageError("%s needs a value", argv[i]);
      const char* value = argv[++i];
      if (arg == "--layout") {
        if (strcmp(value, "files") == 0)
          options.layout = Options::kFiles;
        else if (strcmp(value, "prefix") == 0)
          options.layout = Options::kPrefix;
        else if (strcmp(value, "dipy") == 0)
          options.layout = Options::kDipy;
        else
          usageError("--layout %s: expected files, prefix or dipy", value);
      } else if (arg == "--scene") {
        int k = 0;
        while (k < kNumScenes && strcmp(value, kSceneNames[k].name) != 0) ++k;
        if (k == kNumScenes)
          usageError("--scene %s: expected tubes, touching90, touching60, curved or crossing",
                     value);
        options.scene = kSceneNames[k].scene;
      } else if (arg == "--snr") {
        char* end;
        options.snr = strtod(value, &end);
        if (*end != '\0' || end == value || !(options.snr > 0) || !std::isfinite(options.snr))
          usageError("--snr %s: expected a positive number", value);
      } else if (arg == "--size") {
        if (!parseSize(value, options.size))
          usageError("--size %s: expected XxYxZ, each 1 ... 32767, at most 2^30 voxels", value);
      } else {
        char* end;
        options.seed = strtoull(value, &end, 10);
        if (*end != '\0' || end == value) usageError("--seed %s: expected a whole number", value);
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      usageError("unknown option %s", argv[i]);
    } else if (options.folder.empty()) {
      options.folder = arg;
    } else {
      usageError("more than one folder: %s", argv[i]);
    }
  }
  if (options.folder.empty()) usageError("%s", "no output folder given");
  return options;
}

bool hostIsBigEndian() {
  const uint16_t one = 1;
  unsigned char first;
  memcpy(&first, &one, 1);
  return first == 0;
}

// The phantom's volumes, by eigen-component set and kind.
struct Phantom {
  std::vector<float> eigenvalue[3];
  std::vector<float> component[3][3];  // set, then x, y, z
  std::vector<float> scalar;
  std::vector<float> mask;   // 1 inside the head, 0 outside
  std::vector<float> truth;  // 1 on the structure, for scenes with a truth map
  std::vector<float> dwi;    // kNumSignals volumes, with --write-dwi

  explicit Phantom(size_t n) : scalar(n), mask(n) {
    for (int k = 0; k < 3; ++k) {
      eigenvalue[k].assign(n, 0.0f);
      for (auto& c : component[k]) c.assign(n, 0.0f);
    }
  }

  void set(size_t p, const Tensor& tensor) {
    for (int k = 0; k < 3; ++k) {
      eigenvalue[k][p] = static_cast<float>(tensor.value[k]);
      component[k][0][p] = static_cast<float>(tensor.axis[k].x);
      component[k][1][p] = static_cast<float>(tensor.axis[k].y);
      component[k][2][p] = static_cast<float>(tensor.axis[k].z);
    }
    scalar[p] = static_cast<float>(fractionalAnisotropy(tensor.value));
  }

  // The values of one file of an input form: one volume, or for a 4-D
  // eigenvector file the x, y and z components one after another.
  std::vector<float> valuesOf(const InputVolume& volume) const {
    switch (volume.kind) {
      case VolumeKind::kEigenvalue:
        return eigenvalue[volume.set];
      case VolumeKind::kComponentX:
        return component[volume.set][0];
      case VolumeKind::kComponentY:
        return component[volume.set][1];
      case VolumeKind::kComponentZ:
        return component[volume.set][2];
      case VolumeKind::kEigenvectors: {
        std::vector<float> xyz;
        for (const auto& c : component[volume.set]) xyz.insert(xyz.end(), c.begin(), c.end());
        return xyz;
      }
      case VolumeKind::kEigenvalues: {
        std::vector<float> all;
        for (const auto& e : eigenvalue) all.insert(all.end(), e.begin(), e.end());
        return all;
      }
      case VolumeKind::kEigenvectorMatrix: {
        std::vector<float> all;
        for (const auto& set : component)
          for (const auto& c : set) all.insert(all.end(), c.begin(), c.end());
        return all;
      }
      case VolumeKind::kScalar:
        break;
    }
    return scalar;
  }
};

// Appends `value` to a line of numbers separated by spaces, exactly (17
// significant digits read back as the same double).
void appendNumber(std::string* line, double value) {
  char number[32];
  snprintf(number, sizeof number, "%s%.17g", line->empty() ? "" : " ", value);
  *line += number;
}

void writeText(const std::string& path, const std::string& text) {
  AtomicFile file(path.c_str());
  file.write(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  file.commit();
}

// Writes FSL's text files of the acquisition beside the DWI file `dwiPath`
// (PATH.nii or PATH.nii.gz): PATH.bval, one line of b-values, and
// PATH.bvec, three lines of the directions' x, y and z components.
void writeGradientTable(const Acquisition& acquisition, const std::string& dwiPath) {
  std::string bval, bvec[3];
  for (int i = 0; i < kNumSignals; ++i) {
    const Gradient& gradient = acquisition.gradient(i);
    appendNumber(&bval, gradient.b);
    appendNumber(&bvec[0], gradient.g.x);
    appendNumber(&bvec[1], gradient.g.y);
    appendNumber(&bvec[2], gradient.g.z);
  }
  const std::string base = dwiPath.substr(0, dwiPath.rfind(".nii"));
  writeText(base + ".bval", bval + "\n");
  writeText(base + ".bvec", bvec[0] + "\n" + bvec[1] + "\n" + bvec[2] + "\n");
}

}  // namespace

int main(int argc, char** argv) {
  // A write beyond the file-size limit (ulimit -f) then fails with EFBIG
  // and is reported, its temporary removed, instead of ending the process.
  signal(SIGXFSZ, SIG_IGN);
  Options options = parseArguments(argc, argv);
  const int* size = options.size;
  const int n = size[0] * size[1] * size[2];
  Phantom phantom(n);
  std::vector<float> seeds;
  if (hasTruth(options.scene)) {
    phantom.truth.assign(n, 0.0f);
    if (!drawSeeds(options.scene, size, &seeds)) {
      std::string grid =
          std::to_string(size[0]) + "x" + std::to_string(size[1]) + "x" + std::to_string(size[2]);
      usageError("--size %s: too small for the scene's seed strokes", grid.c_str());
    }
  }
  const Acquisition acquisition;
  const double sigma = options.snr > 0 ? kS0 / options.snr : 0;
  if (options.writeDwi) phantom.dwi.assign(static_cast<size_t>(kNumSignals) * n, 0.0f);
  Random random(options.seed);
  // The signals' noise has a stream of its own, so that the tissue is the
  // same with and without --snr.
  Random signalNoise(options.seed ^ 0x6A09E667F3BCC909ull);
  for (int z = 0; z < size[2]; ++z) {
    for (int y = 0; y < size[1]; ++y) {
      for (int x = 0; x < size[0]; ++x) {
        int p = x + y * size[0] + z * size[0] * size[1];
        // Every voxel draws the same numbers, so a bundle's shape does not
        // shift the noise of the voxels after it.
        Vec randomAxis = normalized({random.normal(), random.normal(), random.normal()});
        double noise[3] = {random.normal(), random.normal(), random.normal()};
        double normals[2 * kNumSignals] = {};
        if (sigma > 0)
          for (double& normal : normals) normal = signalNoise.normal();
        Site site = siteAt(options.scene, size, x + 0.5, y + 0.5, z + 0.5);
        if (!site.head) continue;  // volumes start at 0
        phantom.mask[p] = 1.0f;
        if (!phantom.truth.empty()) phantom.truth[p] = static_cast<float>(site.bundles & 1);
        Tensor tensor = exactTensor(options.scene, site, randomAxis, noise);
        if (sigma > 0 || options.writeDwi) {
          float signals[kNumSignals];
          acquisition.simulate(tensor, sigma, normals, signals);
          for (int i = 0; options.writeDwi && i < kNumSignals; ++i)
            phantom.dwi[static_cast<size_t>(i) * n + p] = signals[i];
          if (sigma > 0) tensor = acquisition.fit(signals);
        }
        phantom.set(p, tensor);
      }
    }
  }

  const int swap = options.bigEndian != hostIsBigEndian() ? 1 : 0;
  const char* extension = options.gzip ? ".nii.gz" : ".nii";
  try {
    // The thirteen files are named after dticut's arguments and printed in
    // its order; the prefix form's are PREFIX_<name>, read through the
    // prefix; the dipy form's PREFIX_<name>, each after its option.
    const bool thirteen = options.layout == Options::kFiles;
    const InputVolume* form = thirteen ? kThirteenFileForm
                              : options.layout == Options::kPrefix ? kTensorPrefixForm
                                                                   : kDipyForm;
    const int count = thirteen ? kNumVolumes
                      : options.layout == Options::kPrefix ? kNumTensorFiles
                                                           : kNumDipyFiles;
    const std::string prefix = options.folder + "/" + kPrefixName;
    auto pathOf = [&](const char* name) {
      return thirteen ? options.folder + "/" + name + extension : prefix + "_" + name + extension;
    };
    for (int i = 0; i < count; ++i) {
      std::string path = pathOf(form[i].name);
      std::vector<float> values = phantom.valuesOf(form[i]);
      const int volumes = static_cast<int>(values.size() / n);
      niiIO(size[0], size[1], size[2], 16, swap, volumes)
          .writeData(values.data(), static_cast<long long>(values.size()), path.c_str());
      if (options.layout == Options::kDipy) printf("--%s\n", form[i].name);
      if (options.layout != Options::kPrefix) printf("%s\n", path.c_str());
    }
    if (options.layout == Options::kPrefix) printf("--tensor-prefix\n%s\n", prefix.c_str());
    if (options.mask) {
      std::string path = pathOf(thirteen ? "MASK" : "mask");
      niiIO(size[0], size[1], size[2], 2, swap).writeData(phantom.mask.data(), n, path.c_str());
      printf("--mask\n%s\n", path.c_str());
    }
    if (hasTruth(options.scene)) {
      niiIO uint8(size[0], size[1], size[2], 2, swap);
      uint8.writeData(phantom.truth.data(), n, pathOf(thirteen ? "TRUTH" : "truth").c_str());
      uint8.writeData(seeds.data(), n, pathOf(thirteen ? "SEEDS" : "seeds").c_str());
    }
    if (options.writeDwi) {
      std::string path = pathOf(thirteen ? "DWI" : "dwi");
      niiIO(size[0], size[1], size[2], 16, swap, kNumSignals)
          .writeData(phantom.dwi.data(), static_cast<long long>(phantom.dwi.size()), path.c_str());
      writeGradientTable(acquisition, path);
    }
  } catch (const AppError& error) {
    fprintf(stderr, "dticut-phantom: error: %s\n", printable(error.what()).c_str());
    return 1;
  }
  return 0;
}
