#include "app/volume.h"

#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace {

int voxelCount(const Image& image) {
  return image.dimX * image.dimY * image.dimZ;
}

Image newImage(int dimX, int dimY, int dimZ, const char* name) {
  assert(dimX >= 0 && dimY >= 0 && dimZ >= 0);
  assert(static_cast<long long>(dimX) * dimY * dimZ <= INT_MAX);
  std::shared_ptr<float[]> storage(new float[static_cast<size_t>(dimX) * dimY * dimZ]);
  return {storage.get(), dimX, dimY, dimZ, name, storage};
}

// The record of a volume just read; it takes the voxel array over.
Image takeImage(niiIO& reader, const char* name) {
  std::shared_ptr<float[]> storage(reader.data);
  reader.data = nullptr;
  return {storage.get(), reader.dimX, reader.dimY, reader.dimZ, name, storage};
}

void requireSameDimensions(const Image& reference, const Eigenvector& set) {
  requireSameDimensions(reference, set.eigenvalue);
  requireSameDimensions(reference, set.x);
  requireSameDimensions(reference, set.y);
  requireSameDimensions(reference, set.z);
}

// A set from its eigenvalue volume and three component files.
Eigenvector withComponents(const Image& eigenvalue, char const* x, char const* y, char const* z) {
  Eigenvector set = {eigenvalue, {}, {}, {}};
  Image* components[3] = {&set.x, &set.y, &set.z};
  const char* paths[3] = {x, y, z};
  for (int c = 0; c < 3; ++c) {
    *components[c] = getImage(paths[c]);
    requireSameDimensions(eigenvalue, *components[c]);
  }
  return set;
}

// A set from its eigenvalue volume and one 4-D file of the three components,
// which share that file's voxel array.
Eigenvector withComponents(const Image& eigenvalue, char const* vectors) {
  niiIO reader(vectors, 3);
  Image file = takeImage(reader, vectors);
  requireSameDimensions(eigenvalue, file);
  const size_t n = static_cast<size_t>(voxelCount(file));
  Eigenvector set = {eigenvalue, file, file, file};
  set.y.data += n;
  set.z.data += 2 * n;
  return set;
}

}  // namespace

Image getImage(char const* path) {
  niiIO reader(path);
  return takeImage(reader, path);
}

Eigenvector getEigenvector(char const* eigenvalue, char const* x, char const* y, char const* z) {
  return withComponents(getImage(eigenvalue), x, y, z);
}

Eigenvector getEigenvector(char const* eigenvalue, char const* vectors) {
  return withComponents(getImage(eigenvalue), vectors);
}

Eigenvector newEigenvector(int dimX, int dimY, int dimZ) {
  return {newImage(dimX, dimY, dimZ, "eigenvalue"), newImage(dimX, dimY, dimZ, "eigenvector_x"),
          newImage(dimX, dimY, dimZ, "eigenvector_y"), newImage(dimX, dimY, dimZ, "eigenvector_z")};
}

void requireSameDimensions(const Image& reference, const Image& other) {
  if (other.dimX != reference.dimX || other.dimY != reference.dimY || other.dimZ != reference.dimZ)
    throw AppError(other.name, "dimensions %d x %d x %d differ from the %d x %d x %d of %s",
                   other.dimX, other.dimY, other.dimZ, reference.dimX, reference.dimY,
                   reference.dimZ, reference.name);
}

Eigenvector largerOf(Eigenvector a, Eigenvector b) {
  const Image& shape = a.eigenvalue;
  requireSameDimensions(shape, a);
  requireSameDimensions(shape, b);
  Eigenvector result = newEigenvector(shape.dimX, shape.dimY, shape.dimZ);
  for (int z = 0; z < shape.dimZ; ++z) {
    for (int y = 0; y < shape.dimY; ++y) {
      for (int x = 0; x < shape.dimX; ++x) {
        int i = indexOf(x, y, z, shape);
        // A NaN on either side fails the comparison and selects b.
        const Eigenvector& from = a.eigenvalue.data[i] >= b.eigenvalue.data[i] ? a : b;
        result.eigenvalue.data[i] = from.eigenvalue.data[i];
        result.x.data[i] = from.x.data[i];
        result.y.data[i] = from.y.data[i];
        result.z.data[i] = from.z.data[i];
      }
    }
  }
  return result;
}

Eigenvector extractPrincipalEigenvector(Eigenvector first, Eigenvector second, Eigenvector third) {
  return largerOf(largerOf(first, second), third);
}

int indexOf(int x, int y, int z, Image image) {
  return z * image.dimX * image.dimY + y * image.dimX + x;
}

Vector vectorAt(int i, Eigenvector set) {
  float e = set.eigenvalue.data[i];
  Vector v = {e * set.x.data[i], e * set.y.data[i], e * set.z.data[i]};
  return v;
}

float dot(Vector a, Vector b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

InputFiles InputFiles::thirteen(char* const* paths) {
  return {kThirteenFileForm, std::vector<std::string>(paths, paths + kNumVolumes)};
}

InputFiles InputFiles::tensorPrefix(const char* prefix) {
  InputFiles files = {kTensorPrefixForm, {}};
  for (const InputVolume& volume : kTensorPrefixForm) {
    const std::string base = std::string(prefix) + "_" + volume.name;
    std::string found;
    for (const char* extension : {".nii.gz", ".nii"}) {
      std::string path = base + extension;
      if (access(path.c_str(), F_OK) == 0 || errno != ENOENT) {
        found = path;
        break;
      }
    }
    if (found.empty())
      throw AppError(base.c_str(), "neither %s.nii.gz nor %s.nii exists", base.c_str(),
                     base.c_str());
    files.paths.push_back(found);
  }
  return files;
}

TensorVolumes loadTensorVolumes(const InputFiles& files, void (*requireShape)(const Image& first)) {
  TensorVolumes volumes;
  const InputVolume* form = files.form;
  size_t next = 0;
  for (int k = 0; k < 3; ++k) {
    assert(form[next].set == k && form[next].kind == VolumeKind::kEigenvalue);
    const char* path = files.paths[next++].c_str();
    Image eigenvalue;
    if (k == 0) {
      volumes.outputTemplate.reset(new niiIO(path));
      eigenvalue = takeImage(*volumes.outputTemplate, path);
    } else {
      eigenvalue = getImage(path);
    }
    if (form[next].kind == VolumeKind::kEigenvectors) {
      volumes.sets[k] = withComponents(eigenvalue, files.paths[next++].c_str());
    } else {
      assert(form[next].kind == VolumeKind::kComponentX &&
             form[next + 1].kind == VolumeKind::kComponentY &&
             form[next + 2].kind == VolumeKind::kComponentZ);
      const std::string* xyz = &files.paths[next];
      next += 3;
      volumes.sets[k] = withComponents(eigenvalue, xyz[0].c_str(), xyz[1].c_str(), xyz[2].c_str());
    }
    const Image& first = volumes.sets[0].eigenvalue;
    if (k == 0)
      requireShape(first);
    else
      requireSameDimensions(first, volumes.sets[k].eigenvalue);
  }
  assert(form[next].kind == VolumeKind::kScalar && next + 1 == files.paths.size());
  volumes.scalar = getImage(files.paths[next].c_str());
  requireSameDimensions(volumes.sets[0].eigenvalue, volumes.scalar);
  return volumes;
}
