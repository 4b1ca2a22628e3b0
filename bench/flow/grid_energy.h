// The grid energies of the max-flow benchmarks: a two-label segmentation of
// a synthetic 2-D or 3-D image (regions, noise, blur), with one terminal pair
// per node and one symmetric weight per neighbour pair (+x, +y, +z), listed
// in ascending order of the pair's first node. Fixed seeds: a family's
// energy is the same in every program and run.
#ifndef DTICUT_BENCH_FLOW_GRID_ENERGY_H
#define DTICUT_BENCH_FLOW_GRID_ENERGY_H

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace bench {

// A two-label segmentation energy on a grid: terminal capacities from the
// data term of each voxel and one symmetric weight per neighbour pair.
struct GridEnergy {
  int nodes = 0;
  std::vector<int> cap_source, cap_sink;  // as given to add_tweights
  struct Pair {
    int p, q, w;
  };
  std::vector<Pair> pairs;
  int64_t flow = -1;  // the engine's result, once known
};

// Smooth data with a few regions: a dark background with bright and dim
// ellipsoids, Gaussian noise, then two box blurs. Unary terms compare with
// the two class means; pair weights fall with the contrast across the pair.
inline GridEnergy make_grid(int nx, int ny, int nz, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> uni(0.f, 1.f);
  const int n = nx * ny * nz;
  auto at = [&](int x, int y, int z) { return x + nx * (y + ny * z); };
  std::vector<float> img(n, 0.25f);
  for (int r = 0; r < 7; ++r) {
    float cx = uni(rng) * nx, cy = uni(rng) * ny, cz = uni(rng) * nz;
    float rx = (0.08f + 0.2f * uni(rng)) * nx, ry = (0.08f + 0.2f * uni(rng)) * ny,
          rz = (0.08f + 0.2f * uni(rng)) * nz + 0.5f;
    float value = r % 3 == 2 ? 0.45f : 0.75f;
    for (int z = 0; z < nz; ++z) {
      for (int y = 0; y < ny; ++y) {
        for (int x = 0; x < nx; ++x) {
          float dx = (x - cx) / rx, dy = (y - cy) / ry, dz = nz == 1 ? 0.f : (z - cz) / rz;
          if (dx * dx + dy * dy + dz * dz <= 1.f) img[at(x, y, z)] = value;
        }
      }
    }
  }
  std::normal_distribution<float> noise(0.f, 0.15f);
  for (float& v : img) v += noise(rng);
  std::vector<float> tmp(n);
  const int dims[3] = {nx, ny, nz}, stride[3] = {1, nx, nx * ny};
  for (int pass = 0; pass < 2; ++pass) {
    for (int axis = 0; axis < 3; ++axis) {
      if (dims[axis] == 1) continue;
      for (int i = 0; i < n; ++i) {
        int c = (i / stride[axis]) % dims[axis];
        float sum = img[i], cnt = 1;
        if (c > 0) sum += img[i - stride[axis]], ++cnt;
        if (c + 1 < dims[axis]) sum += img[i + stride[axis]], ++cnt;
        tmp[i] = sum / cnt;
      }
      img.swap(tmp);
    }
  }

  GridEnergy e;
  e.nodes = n;
  const float fg = 0.7f, bg = 0.3f, data_weight = 1000.f, pair_weight = 60.f, sigma = 0.05f;
  for (int i = 0; i < n; ++i) {
    float v = img[i];
    e.cap_source.push_back(static_cast<int>(data_weight * (v - bg) * (v - bg)));
    e.cap_sink.push_back(static_cast<int>(data_weight * (v - fg) * (v - fg)));
  }
  for (int z = 0; z < nz; ++z) {
    for (int y = 0; y < ny; ++y) {
      for (int x = 0; x < nx; ++x) {
        const int p = at(x, y, z);
        const int next[3] = {x + 1 < nx ? p + 1 : -1, y + 1 < ny ? p + nx : -1,
                             z + 1 < nz ? p + nx * ny : -1};
        for (int q : next) {
          if (q < 0) continue;
          float d = img[p] - img[q];
          e.pairs.push_back({p, q, static_cast<int>(pair_weight * std::exp(-d * d / (2 * sigma * sigma)))});
        }
      }
    }
  }
  return e;
}


// The energy of the family nx x ny x nz (nz = 1 for 2-D).
inline GridEnergy grid_family(int nx, int ny, int nz) {
  return make_grid(nx, ny, nz, 12345u + static_cast<uint32_t>(nx * 7 + nz));
}

}  // namespace bench

#endif  // DTICUT_BENCH_FLOW_GRID_ENERGY_H
