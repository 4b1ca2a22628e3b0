// The phantom's arithmetic of diffusion tensors: vectors, a tensor as its
// eigen-decomposition (eigenvalues sorted from the largest down, unit
// eigenvectors), the matrix of such a tensor and back (Jacobi rotations),
// fractional anisotropy, and the platform-independent random numbers every
// noisy part of the phantom draws from.
#ifndef DTICUT_TOOLS_PHANTOM_TENSOR_H
#define DTICUT_TOOLS_PHANTOM_TENSOR_H

#include <cstdint>

struct Vec {
  double x, y, z;
};

Vec normalized(Vec v);
Vec cross(Vec a, Vec b);

// splitmix64: small, fast and the same on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : m_state(seed) {}
  uint64_t next();
  // Uniform in (0, 1).
  double uniform();
  // Standard normal, by Box-Muller.
  double normal();

 private:
  uint64_t m_state;
};

// A symmetric 3x3 matrix, row by row.
struct Matrix {
  double m[3][3];
};

// A tensor as a fit writes it: value[0] >= value[1] >= value[2], axis[k]
// the unit eigenvector of value[k].
struct Tensor {
  double value[3];
  Vec axis[3];
};

// The tensor with eigenvalues `lambda` (in any order) whose eigenvector of
// lambda[0] is the unit vector `principal`; the other two axes complete an
// orthonormal frame. Sorted from the largest eigenvalue down, each with its
// axis.
Tensor tensorAlong(Vec principal, const double lambda[3]);

// sum_k value[k] * axis[k] axis[k]^T.
Matrix matrixOf(const Tensor& tensor);

// The eigen-decomposition of a symmetric matrix by cyclic Jacobi rotations,
// sorted from the largest eigenvalue down. Eigenvalues may be of any sign.
Tensor decompose(const Matrix& matrix);

// sqrt(1/2 * sum of squared eigenvalue differences / sum of squared
// eigenvalues); 0 for a zero tensor. Within [0, 1] for eigenvalues of one
// sign; a negative eigenvalue of a noisy fit can take it above 1.
double fractionalAnisotropy(const double lambda[3]);

#endif  // DTICUT_TOOLS_PHANTOM_TENSOR_H
