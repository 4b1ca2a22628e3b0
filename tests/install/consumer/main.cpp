// Denoising with dticut's optimizer, built against its installed package: a
// four-level piecewise-constant image is corrupted by deterministic noise
// (small offsets everywhere, random values at one pixel in eight), and
// alpha-expansion on the pixel grid with a Potts smoothness term restores it.
// Exits 0 only when the energy fell, the pixel-wise best labels were wrong
// somewhere (so smoothing had work to do) and every pixel got its clean label
// back.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "optimizer/GCoptimization.h"

namespace {

const int kWidth = 48;
const int kHeight = 32;
const int kLabels = 4;
const int kLevelStep = 60;  // grey value of label l is l * kLevelStep
// Cost of a pair of neighbours with different labels: well above the largest
// data cost (180), so that outliers, alone or in small clusters, never outweigh
// their neighbours, even in an image corner with two of them.
const int kSmoothWeight = 150;

// Four horizontal bands, darkest at the top. Straight boundaries between
// neighbouring levels keep the restoration exact: a pixel there has more
// neighbours in its own band than across, and taking the label across lowers
// its data cost by one level step at most.
int cleanLabel(int y) {
  return y * kLabels / kHeight;
}

// A linear congruential generator: the same noisy image on every run.
unsigned nextRandom(unsigned* state) {
  *state = *state * 1664525u + 1013904223u;
  return *state >> 8;
}

}  // namespace

int main() {
  const int num_pixels = kWidth * kHeight;
  std::vector<int> clean(num_pixels), data(num_pixels * kLabels);
  unsigned state = 2024;
  int wrong_before = 0;
  for (int p = 0; p < num_pixels; p++) {
    clean[p] = cleanLabel(p / kWidth);
    int value = clean[p] * kLevelStep + int(nextRandom(&state) % 51) - 25;
    if (nextRandom(&state) % 8 == 0)
      value = int(nextRandom(&state) % ((kLabels - 1) * kLevelStep + 1));
    int best = 0;
    for (int l = 0; l < kLabels; l++) {
      data[p * kLabels + l] = std::abs(value - l * kLevelStep);
      if (data[p * kLabels + l] < data[p * kLabels + best]) best = l;
    }
    wrong_before += best != clean[p];
  }
  std::vector<int> smooth(kLabels * kLabels);
  for (int a = 0; a < kLabels; a++)
    for (int b = 0; b < kLabels; b++) smooth[a * kLabels + b] = a == b ? 0 : kSmoothWeight;

  try {
    GCoptimizationGridGraph gc(kWidth, kHeight, kLabels);
    gc.setDataCost(data.data());  // borrowed: data and smooth outlive gc
    gc.setSmoothCost(smooth.data());
    int before = gc.compute_energy();  // every pixel starts at label 0
    int after = gc.expansion(10);
    int wrong_after = 0;
    for (int p = 0; p < num_pixels; p++) wrong_after += gc.whatLabel(p) != clean[p];
    std::printf("energy %d -> %d; wrong labels: %d of %d pixel-wise, %d after expansion\n", before,
                after, wrong_before, num_pixels, wrong_after);
    if (after >= before || after != gc.compute_energy() || wrong_before == 0 || wrong_after != 0) {
      std::fprintf(stderr, "denoise: the image was not restored\n");
      return 1;
    }
  } catch (const GCException& e) {
    std::fprintf(stderr, "denoise: optimizer error: %s\n", e.message);
    return 1;
  }
  return 0;
}
