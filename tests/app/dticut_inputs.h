// Test helpers for running the dticut command: the thirteen input volumes
// written in either input form, the energy the command must minimise built
// plainly from them, and the checks of a successful run.
#ifndef DTICUT_TESTS_APP_DTICUT_INPUTS_H
#define DTICUT_TESTS_APP_DTICUT_INPUTS_H

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/segmentation/costLimit.h"
#include "app/segmentation/segmentation.h"
#include "app/command/inputForms.h"
#include "app/io/niiIO.h"
#include "app/segmentation/floatToInt.h"
#include "tests/app/nifti_files.h"
#include "tests/subprocess.h"

namespace testfiles {

// The thirteen input volumes, in command-line order, and a mask when
// `mask` is not empty; volume 0 (the template) may be stored in any
// encoding, the others are float32.
struct Inputs {
  int dim[3];
  std::vector<double> volume[kNumVolumes];
  std::vector<double> mask;
  int templateDatatype = 16;
  bool templateBigEndian = false;

  Inputs(int x, int y, int z) : dim{x, y, z} {
    for (auto& v : volume) v.assign(static_cast<size_t>(x) * y * z, 0.0);
  }
  int size() const { return dim[0] * dim[1] * dim[2]; }

  Bytes file(int k) const {
    return volumeFile(dim[0], dim[1], dim[2], volume[k], k == 0 ? templateDatatype : 16,
                      k == 0 && templateBigEndian);
  }

  // Writes the thirteen files (and the mask) into `dir` and returns the
  // command line, which names them relative to it.
  std::vector<std::string> write(const TempDir& dir) const {
    std::vector<std::string> args = {DTICUT_EXE};
    for (int k = 0; k < kNumVolumes; ++k) {
      args.push_back(std::string(kThirteenFileForm[k].name) + ".nii");
      writeFile(dir.path(args.back()), file(k));
    }
    return withMask(dir, args);
  }

  // The same numbers as dipy writes them: the eigenvalues as volumes 0, 1, 2
  // of evals.nii, the eigenvectors' components c of set k as volume c + 3k
  // of evecs.nii (5-D, 3 x 3 volumes, as dipy writes it, or 4-D of 9), and
  // scalar.nii.
  std::vector<std::string> writeDipy(const TempDir& dir, bool fiveD = false) const {
    std::vector<double> evals, evecs;
    for (int k = 0; k < 3; ++k) {
      evals.insert(evals.end(), volume[4 * k].begin(), volume[4 * k].end());
      for (int c = 1; c <= 3; ++c)
        evecs.insert(evecs.end(), volume[4 * k + c].begin(), volume[4 * k + c].end());
    }
    writeFile(dir.path("evals.nii"), volumesFile(dim[0], dim[1], dim[2], 3, evals));
    Bytes vectors = volumesFile(dim[0], dim[1], dim[2], 9, evecs);
    if (fiveD)
      for (auto [at, value] : {std::make_pair(40, 5), {48, 3}, {50, 3}})  // dim[0], dim[4], dim[5]
        putUnsigned(vectors, at, value, 2, false);
    writeFile(dir.path("evecs.nii"), vectors);
    writeFile(dir.path("scalar.nii"), file(12));
    return withMask(dir, {DTICUT_EXE, "--evals", "evals.nii", "--evecs", "evecs.nii", "--scalar",
                          "scalar.nii"});
  }

  std::vector<std::string> withMask(const TempDir& dir, std::vector<std::string> args) const {
    if (mask.empty()) return args;
    writeFile(dir.path("MASK.nii"), volumeFile(dim[0], dim[1], dim[2], mask));  // float32: NaN too
    args.insert(args.end(), {"--mask", "MASK.nii"});
    return args;
  }

  // The same numbers as the seven files dti_L1 ... dti_FA, set k's
  // components as one 4-D file; file i is compressed when bit i is set.
  void writePrefix(const TempDir& dir, unsigned compressed) const {
    for (int i = 0; i < kNumTensorFiles; ++i) {
      int set = 4 * (i / 2);
      Bytes bytes = i == 6 ? file(12) : file(set);
      if (i % 2 == 1 && i < 6) {
        std::vector<double> xyz;
        for (int c = 1; c <= 3; ++c)
          xyz.insert(xyz.end(), volume[set + c].begin(), volume[set + c].end());
        bytes = volumesFile(dim[0], dim[1], dim[2], 3, xyz);
      }
      bool gz = (compressed >> i & 1) != 0;
      writeFile(dir.path(std::string("dti_") + kTensorPrefixForm[i].name + (gz ? ".nii.gz" : ".nii")),
                gz ? gzipped(bytes) : bytes);
    }
  }
};

// The energy dticut minimises, written plainly: the principal set chosen by
// comparisons, pairs walked by coordinates, then the limiting rule. With a
// mask, the sites are the voxels inside it in voxel order and the pairs
// those of two inside voxels.
struct Expected {
  int sites = 0;
  std::vector<int> siteOf;  // of every voxel; -1 outside the mask
  std::vector<int> data;    // label l of site s at 2s + l
  std::vector<int> weights;
  std::vector<std::pair<int, int>> pairs;  // of sites
  CostLimit limit;
  // What the sites' scalar values say when no data cost favours label 1.
  bool anyFinite = false, floatsFavour = false, intsFavour = false, masked = false;
  float largest = 0, dataWeight = 1;

  explicit Expected(const Inputs& in, const EnergyWeights& w = EnergyWeights())
      : siteOf(in.size(), -1), masked(!in.mask.empty()), dataWeight(w.data) {
    auto v = [&](int k, int p) { return static_cast<float>(in.volume[k][p]); };
    std::vector<Vector> principal(in.size());
    for (int p = 0; p < in.size(); ++p) {
      int best = v(0, p) >= v(4, p) ? 0 : 4;
      if (!(v(best, p) >= v(8, p))) best = 8;
      principal[p] = {v(best, p) * v(best + 1, p), v(best, p) * v(best + 2, p),
                      v(best, p) * v(best + 3, p)};
      bool inside = in.mask.empty() || (in.mask[p] != 0 && in.mask[p] == in.mask[p]);
      if (!inside) continue;
      siteOf[p] = sites++;
      for (int l = 0; l < 2; ++l) data.push_back(floatToInt(dataCostFor(v(12, p), l, w)));
      const float s = v(12, p);
      if (!std::isfinite(s)) continue;
      anyFinite = true;
      floatsFavour = floatsFavour || dataCostFor(s, 1, w) < dataCostFor(s, 0, w);
      intsFavour = intsFavour || data[data.size() - 1] < data[data.size() - 2];
    }
    const int dx = in.dim[0], dy = in.dim[1];
    bool first = true;  // the largest scalar value: the first maximum met with x outermost
    for (int x = 0; x < in.dim[0]; ++x)
      for (int y = 0; y < in.dim[1]; ++y)
        for (int z = 0; z < in.dim[2]; ++z) {
          int p = x + dx * (y + dy * z);
          const float s = v(12, p);
          if (siteOf[p] >= 0 && std::isfinite(s) && (first || s > largest)) largest = s, first = false;
          for (int q : {x > 0 ? p - 1 : -1, y > 0 ? p - dx : -1, z > 0 ? p - dx * dy : -1}) {
            if (q < 0 || siteOf[p] < 0 || siteOf[q] < 0) continue;
            pairs.push_back({siteOf[p], siteOf[q]});
            weights.push_back(
                floatToInt(smoothCostFor(principal[q], v(12, q), principal[p], v(12, p), w)));
          }
        }
    limit = limitCosts(data.data(), sites, 2, weights.data(), static_cast<long long>(pairs.size()));
  }

  long long energy(const std::vector<int>& labels) const {
    long long e = 0;
    for (int p = 0; p < sites; ++p) e += data[2 * p + labels[p]];
    for (size_t k = 0; k < pairs.size(); ++k)
      e += labels[pairs[k].first] != labels[pairs[k].second] ? weights[k] : 0;
    return e;
  }

  long long minimum() const {
    long long best = LLONG_MAX;
    std::vector<int> labels(sites);
    for (long bits = 0; bits < (1L << sites); ++bits) {
      for (int p = 0; p < sites; ++p) labels[p] = (bits >> p) & 1;
      best = std::min(best, energy(labels));
    }
    return best;
  }

  // What dticut reports on standard error: the limiting line when the rule
  // changed anything, then a warning when no voxel's data favours label 1
  // (naming why), or when some does but `labels` (the result's, of the
  // sites; none given: the all-0 labelling) has none in label 1.
  std::string warnings(const std::vector<int>& labels = {}) const {
    std::string text;
    if (limit.changedWeights != 0 || limit.changedDataCosts != 0)
      text = "dticut: limited " + std::to_string(limit.changedWeights) + " pair weights and " +
             std::to_string(limit.changedDataCosts) +
             " data costs to keep the energy within 32 bits (negative and NaN values to 0, " +
             (limit.cap >= 0 ? "larger values capped at " + std::to_string(limit.cap)
                             : std::string("no cap needed")) +
             ")\n";
    int favouring = 0;
    for (int p = 0; p < sites; ++p) favouring += data[2 * p + 1] < data[2 * p];
    if (favouring > 0) {
      if (std::count(labels.begin(), labels.end(), 1) > 0) return text;
      return text + "dticut: the result has no voxel in label 1, although the data costs of " +
             std::to_string(favouring) + (favouring == 1 ? " voxel" : " voxels") +
             " favour it: the pair weights outweigh them; lower the pair term's weights or raise "
             "--data-lambda\n";
    }
    const std::string none =
        "dticut: no data cost is lower for label 1 than for label 0, so every voxel keeps label 0";
    const std::string where = masked ? " inside the mask" : "";
    char number[32];
    if (!anyFinite)
      return text + none + " and the result says nothing about the data: every scalar value" +
             where + " is NaN or infinite\n";
    if (!(dataWeight > 0)) {
      std::snprintf(number, sizeof number, "%g", dataWeight);
      return text + none + " and the result says nothing about the data: the data weight " +
             "--data-lambda is " + number +
             "; give it a positive value (e.g. --data-lambda 100 for an anisotropy map in [0, 1])\n";
    }
    if (intsFavour)
      return text + none + " and the result says nothing about the data: keeping the energy "
             "within 32 bits capped every cost at " + std::to_string(limit.cap) +
             ", which leaves the two labels' data costs equal; lower the pair weights, or give a "
             "mask\n";
    if (floatsFavour)
      return text + "dticut: with these weights no data cost is lower for label 1 than for label "
                    "0, so every voxel keeps label 0 and the result says nothing about the data; "
                    "raise --data-lambda (e.g. --data-lambda 100 for an anisotropy map in [0, 1])\n";
    std::snprintf(number, sizeof number, "%g", largest);
    return text + none + ": no scalar value" + where + " is above 0.5 (the largest is " + number +
           "), so every voxel is nearer label 0's data term than label 1's\n";
  }
};

// A successful run on `in`: the energies printed are those of all labels 0
// and the minimum, standard error holds only the limiting line, and the
// output carries the template's header with a minimising labeling in its
// encoding.
inline void expectMinimum(const RunResult& run, const Inputs& in, const TempDir& dir,
                          const EnergyWeights& weights = EnergyWeights()) {
  ASSERT_EQ(run.status, 0) << run.err;  // -1 when ended by a signal
  Expected expected(in, weights);
  const long long minimum = expected.minimum();
  EXPECT_EQ(run.out, "Before optimization energy is :\t" +
                         std::to_string(expected.energy(std::vector<int>(expected.sites, 0))) +
                         "\nAfter optimization energy is :\t" + std::to_string(minimum) + "\n");
  const Bytes written = readFile(dir.path("test.nii")), first = in.file(0);
  niiIO labels(written.data(), written.size(), "output");  // at least a header, or it throws
  EXPECT_TRUE(std::equal(first.begin(), first.begin() + 348, written.begin()));
  ASSERT_EQ(labels.numVoxels, in.size());
  std::vector<int> found;
  for (int p = 0; p < labels.numVoxels; ++p) {
    const float label = labels.data[p];
    if (expected.siteOf[p] >= 0) found.push_back(label == 1.0f);
    EXPECT_TRUE(label == 0.0f || (label == 1.0f && expected.siteOf[p] >= 0)) << p << ": " << label;
  }
  EXPECT_EQ(expected.energy(found), minimum);
  EXPECT_EQ(run.err, expected.warnings(found));
}

}  // namespace testfiles

#endif  // DTICUT_TESTS_APP_DTICUT_INPUTS_H
