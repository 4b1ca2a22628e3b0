// Vectors, random numbers and tensors of the phantom (see tensor.h).
#include "tools/phantom/tensor.h"

#include <cmath>
#include <utility>

Vec normalized(Vec v) {
  double n = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
  return {v.x / n, v.y / n, v.z / n};
}

Vec cross(Vec a, Vec b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

uint64_t Random::next() {
  uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double Random::uniform() {
  return (static_cast<double>(next() >> 11) + 0.5) * 0x1p-53;
}

double Random::normal() {
  double u = uniform(), v = uniform();
  return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
}

namespace {

// Sorts from the largest eigenvalue down, each with its axis.
Tensor sorted(const double value[3], const Vec axis[3]) {
  Tensor tensor = {{value[0], value[1], value[2]}, {axis[0], axis[1], axis[2]}};
  for (int i = 0; i < 3; ++i) {
    for (int j = i + 1; j < 3; ++j) {
      if (tensor.value[j] > tensor.value[i]) {
        std::swap(tensor.value[i], tensor.value[j]);
        std::swap(tensor.axis[i], tensor.axis[j]);
      }
    }
  }
  return tensor;
}

}  // namespace

Tensor tensorAlong(Vec principal, const double lambda[3]) {
  Vec helper = std::fabs(principal.x) < 0.9 ? Vec{1, 0, 0} : Vec{0, 1, 0};
  Vec second = normalized(cross(principal, helper));
  const Vec axes[3] = {principal, second, cross(principal, second)};
  return sorted(lambda, axes);
}

Matrix matrixOf(const Tensor& tensor) {
  Matrix matrix = {};
  for (int k = 0; k < 3; ++k) {
    const double a[3] = {tensor.axis[k].x, tensor.axis[k].y, tensor.axis[k].z};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) matrix.m[i][j] += tensor.value[k] * a[i] * a[j];
  }
  return matrix;
}

Tensor decompose(const Matrix& matrix) {
  double a[3][3], v[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a[i][j] = 0.5 * (matrix.m[i][j] + matrix.m[j][i]);
  // Each rotation in the plane (p, q) zeroes a[p][q]; the sweeps converge
  // quadratically, and stop once the off-diagonal part is below rounding.
  for (int sweep = 0; sweep < 50; ++sweep) {
    double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
    double diagonal = a[0][0] * a[0][0] + a[1][1] * a[1][1] + a[2][2] * a[2][2];
    if (off <= 1e-36 * diagonal || off == 0) break;
    for (int p = 0; p < 2; ++p) {
      for (int q = p + 1; q < 3; ++q) {
        if (a[p][q] == 0) continue;
        // t = tan(phi), the smaller root of t^2 + 2 theta t - 1 = 0.
        double theta = (a[q][q] - a[p][p]) / (2 * a[p][q]);
        double t = std::fabs(theta) > 1e150 ? 0.5 / theta
                                            : (theta < 0 ? -1.0 : 1.0) /
                                                  (std::fabs(theta) + std::sqrt(theta * theta + 1));
        double c = 1 / std::sqrt(t * t + 1), s = t * c;
        int r = 3 - p - q;  // the third index
        double arp = a[r][p], arq = a[r][q];
        a[r][p] = a[p][r] = c * arp - s * arq;
        a[r][q] = a[q][r] = s * arp + c * arq;
        a[p][p] -= t * a[p][q];
        a[q][q] += t * a[p][q];
        a[p][q] = a[q][p] = 0;
        for (int k = 0; k < 3; ++k) {
          double vkp = v[k][p], vkq = v[k][q];
          v[k][p] = c * vkp - s * vkq;
          v[k][q] = s * vkp + c * vkq;
        }
      }
    }
  }
  const double value[3] = {a[0][0], a[1][1], a[2][2]};
  const Vec axis[3] = {
      {v[0][0], v[1][0], v[2][0]}, {v[0][1], v[1][1], v[2][1]}, {v[0][2], v[1][2], v[2][2]}};
  return sorted(value, axis);
}

double fractionalAnisotropy(const double l[3]) {
  double a = l[0] - l[1], b = l[1] - l[2], c = l[2] - l[0];
  double norm = l[0] * l[0] + l[1] * l[1] + l[2] * l[2];
  return norm > 0 ? std::sqrt(0.5 * (a * a + b * b + c * c) / norm) : 0.0;
}
