#include "app/fileread.h"

#include <cassert>
#include <climits>
#include <cstdio>

#include "app/niiIO.h"

namespace {

int voxelCount(const Image& image) {
  return image.dimX * image.dimY * image.dimZ;
}

Image newImage(int dimX, int dimY, int dimZ, const char* name) {
  assert(dimX >= 0 && dimY >= 0 && dimZ >= 0);
  assert(static_cast<long long>(dimX) * dimY * dimZ <= INT_MAX);
  Image image = {new float[static_cast<long long>(dimX) * dimY * dimZ], dimX, dimY, dimZ, name};
  return image;
}

void requireSameDimensions(const Image& reference, const Eigenvector& set) {
  requireSameDimensions(reference, set.eigenvalue);
  requireSameDimensions(reference, set.x);
  requireSameDimensions(reference, set.y);
  requireSameDimensions(reference, set.z);
}

}  // namespace

Image getImage(char const* path) {
  niiIO reader(path);
  Image image = {reader.data, reader.dimX, reader.dimY, reader.dimZ, path};
  reader.data = nullptr;  // the record takes the voxel array over
  return image;
}

Eigenvector getEigenvector(char const* eigenvalue, char const* x, char const* y, char const* z) {
  const char* paths[4] = {eigenvalue, x, y, z};
  Image images[4] = {};
  int loaded = 0;
  try {
    for (; loaded < 4; ++loaded) {
      images[loaded] = getImage(paths[loaded]);
      requireSameDimensions(images[0], images[loaded]);
    }
  } catch (...) {
    for (int i = 0; i <= loaded && i < 4; ++i) releaseImage(images[i]);
    throw;
  }
  Eigenvector set = {images[0], images[1], images[2], images[3]};
  return set;
}

Eigenvector newEigenvector(int dimX, int dimY, int dimZ) {
  Eigenvector set = {
      newImage(dimX, dimY, dimZ, "eigenvalue"), newImage(dimX, dimY, dimZ, "eigenvector_x"),
      newImage(dimX, dimY, dimZ, "eigenvector_y"), newImage(dimX, dimY, dimZ, "eigenvector_z")};
  return set;
}

void releaseImage(Image image) {
  delete[] image.data;
}

void releaseEigenvector(Eigenvector set) {
  releaseImage(set.eigenvalue);
  releaseImage(set.x);
  releaseImage(set.y);
  releaseImage(set.z);
}

void requireSameDimensions(const Image& reference, const Image& other) {
  if (other.dimX != reference.dimX || other.dimY != reference.dimY || other.dimZ != reference.dimZ)
    throw NiftiError(other.name, "dimensions %d x %d x %d differ from the %d x %d x %d of %s",
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
  Eigenvector firstTwo = largerOf(first, second);
  Eigenvector result;
  try {
    result = largerOf(firstTwo, third);
  } catch (...) {
    releaseEigenvector(firstTwo);
    throw;
  }
  releaseEigenvector(firstTwo);
  return result;
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

void summarize(Image image) {
  float minimum = 1000000.0f;
  float maximum = -1000000.0f;
  double sum = 0.0;
  int count = 0;
  int n = voxelCount(image);
  for (int i = 0; i < n; ++i) {
    float v = image.data[i];
    if (v < minimum) minimum = v;
    if (v > maximum) maximum = v;
    if (v > 0) {
      sum += v;
      ++count;
    }
  }
  float mean = static_cast<float>(sum / count);
  printf("Properties for %s\n", image.name);
  printf("%20s :\t%d %d %d\n", "Dimensions", image.dimX, image.dimY, image.dimZ);
  printf("%20s :\t%0.15f\n", "Minimum", minimum);
  printf("%20s :\t%0.15f\n", "Maximum", maximum);
  printf("%20s :\t%0.15f\n", "Non-zero Mean", mean);
}

void summarize(Eigenvector set) {
  summarize(set.eigenvalue);
  summarize(set.x);
  summarize(set.y);
  summarize(set.z);
}
