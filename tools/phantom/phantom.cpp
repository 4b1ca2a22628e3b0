// dticut-phantom: writes the input volumes of dticut for a synthetic
// diffusion-tensor phantom, as thirteen 3-D files, as the seven files of a
// tensor prefix (4-D eigenvector files) or as dipy's three files, plain or
// gzip-compressed, optionally with the head mask. Three tube-shaped fibre bundles
// (one along x, one along y, one bent into a ring) carry a strongly anisotropic tensor whose
// principal direction follows the tube; the background is a weakly anisotropic tensor with random
// orientation and noisy eigenvalues; outside an ellipsoidal head mask every volume is 0, as in a
// masked fit. Eigenvalues are of the order of 1e-3 (mm^2/s), sorted per voxel from largest to
// smallest as a tensor fit writes them, and the scalar volume is the fractional anisotropy, in [0,
// 1]. The output depends only on the size and the seed: the noise comes from a fixed generator, not
// the library's.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/command/inputForms.h"
#include "app/io/niiIO.h"

namespace {

struct Options {
  int size[3] = {64, 64, 32};
  uint64_t seed = 1;
  bool bigEndian = false;
  enum Layout { kFiles, kPrefix, kDipy } layout = kFiles;
  bool mask = false;
  bool gzip = false;
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
          "  -h, --help       print this help and exit\n");
}

[[noreturn]] void usageError(const char* format, const char* value) {
  fprintf(stderr, "dticut-phantom: error: ");
  fprintf(stderr, format, value);
  fprintf(stderr, "\n\n");
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
    } else if (arg == "--size" || arg == "--seed" || arg == "--layout") {
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

// splitmix64: small, fast and the same on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : m_state(seed) {}
  uint64_t next() {
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in (0, 1).
  double uniform() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1p-53; }
  // Standard normal, by Box-Muller.
  double normal() {
    double u = uniform(), v = uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
  }

 private:
  uint64_t m_state;
};

struct Vec {
  double x, y, z;
};

Vec normalized(Vec v) {
  double n = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
  return {v.x / n, v.y / n, v.z / n};
}

Vec cross(Vec a, Vec b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

bool hostIsBigEndian() {
  const uint16_t one = 1;
  unsigned char first;
  memcpy(&first, &one, 1);
  return first == 0;
}

bool insideHead(const int size[3], double x, double y, double z) {
  double u = (x / size[0] - 0.5) / 0.45, v = (y / size[1] - 0.5) / 0.45,
         w = (z / size[2] - 0.5) / 0.45;
  return u * u + v * v + w * w <= 1.0;
}

// The direction of the bundle through voxel centre (x, y, z), if any.
bool bundleDirection(const int size[3], double x, double y, double z, Vec* direction) {
  double radius = std::max(1.0, 0.1 * std::min(size[0], size[1]));
  // Straight bundle along x.
  double dy = y - 0.3 * size[1], dz = z - 0.5 * size[2];
  if (dy * dy + dz * dz <= radius * radius) {
    *direction = {1, 0, 0};
    return true;
  }
  // Straight bundle along y.
  double dx = x - 0.75 * size[0];
  dz = z - 0.3 * size[2];
  if (dx * dx + dz * dz <= radius * radius) {
    *direction = {0, 1, 0};
    return true;
  }
  // Ring around the volume's centre axis, in the plane z = 0.7 * dimZ.
  double cx = x - 0.5 * size[0], cy = y - 0.5 * size[1];
  double ring = 0.3 * std::min(size[0], size[1]);
  double fromCircle = std::sqrt(cx * cx + cy * cy) - ring;
  dz = z - 0.7 * size[2];
  if (fromCircle * fromCircle + dz * dz <= radius * radius && cx * cx + cy * cy > 0) {
    *direction = normalized({-cy, cx, 0});
    return true;
  }
  return false;
}

double fractionalAnisotropy(const double l[3]) {
  double a = l[0] - l[1], b = l[1] - l[2], c = l[2] - l[0];
  double norm = l[0] * l[0] + l[1] * l[1] + l[2] * l[2];
  return norm > 0 ? std::sqrt(0.5 * (a * a + b * b + c * c) / norm) : 0.0;
}

// The phantom's volumes, by eigen-component set and kind.
struct Phantom {
  std::vector<float> eigenvalue[3];
  std::vector<float> component[3][3];  // set, then x, y, z
  std::vector<float> scalar;
  std::vector<float> mask;  // 1 inside the head, 0 outside

  explicit Phantom(size_t n) : scalar(n), mask(n) {
    for (int k = 0; k < 3; ++k) {
      eigenvalue[k].assign(n, 0.0f);
      for (auto& c : component[k]) c.assign(n, 0.0f);
    }
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

}  // namespace

int main(int argc, char** argv) {
  Options options = parseArguments(argc, argv);
  const int* size = options.size;
  const int n = size[0] * size[1] * size[2];
  Phantom phantom(n);
  Random random(options.seed);
  for (int z = 0; z < size[2]; ++z) {
    for (int y = 0; y < size[1]; ++y) {
      for (int x = 0; x < size[0]; ++x) {
        int p = x + y * size[0] + z * size[0] * size[1];
        // Every voxel draws the same numbers, so a bundle's shape does not
        // shift the noise of the voxels after it.
        Vec randomAxis = normalized({random.normal(), random.normal(), random.normal()});
        double noise[3] = {random.normal(), random.normal(), random.normal()};
        if (!insideHead(size, x + 0.5, y + 0.5, z + 0.5)) continue;  // volumes start at 0
        phantom.mask[p] = 1.0f;
        Vec principal;
        double lambda[3];
        if (bundleDirection(size, x + 0.5, y + 0.5, z + 0.5, &principal)) {
          const double base[3] = {1.7e-3, 0.3e-3, 0.25e-3};
          for (int k = 0; k < 3; ++k) lambda[k] = base[k] * (1.0 + 0.03 * noise[k]);
        } else {
          principal = randomAxis;
          const double base[3] = {0.85e-3, 0.75e-3, 0.7e-3};
          for (int k = 0; k < 3; ++k) lambda[k] = base[k] * (1.0 + 0.1 * noise[k]);
        }
        Vec helper = std::fabs(principal.x) < 0.9 ? Vec{1, 0, 0} : Vec{0, 1, 0};
        Vec second = normalized(cross(principal, helper));
        Vec axes[3] = {principal, second, cross(principal, second)};
        // Sorted from the largest eigenvalue down, each with its axis.
        for (int i = 0; i < 3; ++i) {
          for (int j = i + 1; j < 3; ++j) {
            if (lambda[j] > lambda[i]) {
              std::swap(lambda[i], lambda[j]);
              std::swap(axes[i], axes[j]);
            }
          }
        }
        for (int k = 0; k < 3; ++k) {
          phantom.eigenvalue[k][p] = static_cast<float>(lambda[k]);
          phantom.component[k][0][p] = static_cast<float>(axes[k].x);
          phantom.component[k][1][p] = static_cast<float>(axes[k].y);
          phantom.component[k][2][p] = static_cast<float>(axes[k].z);
        }
        phantom.scalar[p] = static_cast<float>(fractionalAnisotropy(lambda));
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
  } catch (const AppError& error) {
    fprintf(stderr, "dticut-phantom: error: %s\n", error.what());
    return 1;
  }
  return 0;
}
