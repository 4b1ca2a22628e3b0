// Reading and writing float32 volumes of edge^3 voxels in the swapped byte
// order (the slower path), plain and gzip-compressed, in voxels per second.
// Reads decode a smoothly varying volume, as a tensor fit's maps are;
// writes encode 0/1 labels, as dticut's output is.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "app/io/niiIO.h"

namespace {

std::string scratchPath(const char* name) {
  const char* folder = getenv("TMPDIR");
  return std::string(folder != nullptr ? folder : "/tmp") + "/dticut-bench-" +
         std::to_string(getpid()) + "-" + name;
}

std::vector<unsigned char> fileBytes(const std::string& path) {
  std::vector<unsigned char> bytes;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  unsigned char chunk[1 << 16];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  fclose(file);
  return bytes;
}

void BM_ReadNifti(benchmark::State& state, const char* extension) {
  int edge = static_cast<int>(state.range(0));
  niiIO fresh(edge, edge, edge, 16, 1);
  std::vector<float> values(fresh.numVoxels);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i % 1000) * 1e-3f;
  std::string path = scratchPath((std::string("read") + extension).c_str());
  fresh.writeData(values.data(), fresh.numVoxels, path.c_str());
  std::vector<unsigned char> bytes = fileBytes(path);
  unlink(path.c_str());
  for (auto _ : state) {
    niiIO volume(bytes.data(), bytes.size(), "bench.nii");
    if (volume.data[volume.numVoxels - 1] != values.back()) state.SkipWithError("wrong value");
  }
  state.SetItemsProcessed(state.iterations() * fresh.numVoxels);
}

void BM_WriteNifti(benchmark::State& state, const char* extension) {
  int edge = static_cast<int>(state.range(0));
  niiIO fresh(edge, edge, edge, 16, 1);
  std::vector<float> labels(fresh.numVoxels);
  for (size_t i = 0; i < labels.size(); ++i) labels[i] = (i / 4096) % 2 == 0 ? 0.0f : 1.0f;
  std::string path = scratchPath((std::string("write") + extension).c_str());
  for (auto _ : state) {
    fresh.writeData(labels.data(), fresh.numVoxels, path.c_str());
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || status.st_size == 0) state.SkipWithError("not written");
  }
  unlink(path.c_str());
  state.SetItemsProcessed(state.iterations() * fresh.numVoxels);
}

}  // namespace

BENCHMARK_CAPTURE(BM_ReadNifti, nii, ".nii")->Arg(32)->Arg(128);
BENCHMARK_CAPTURE(BM_ReadNifti, gz, ".nii.gz")->Arg(32)->Arg(128);
BENCHMARK_CAPTURE(BM_WriteNifti, nii, ".nii")->Arg(32)->Arg(128);
BENCHMARK_CAPTURE(BM_WriteNifti, gz, ".nii.gz")->Arg(32)->Arg(128);
