// The phantom's acquisition: gradient table, simulated signals and the
// log-linear tensor fit (see diffusion.h).
#include "tools/phantom/diffusion.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <utility>

namespace {

// The design's row for one gradient: ln S as a linear function of
// (ln S0, Dxx, Dyy, Dzz, Dxy, Dxz, Dyz).
void designRow(const Gradient& gradient, double row[7]) {
  const Vec g = gradient.g;
  const double b = gradient.b;
  const double terms[7] = {1,
                           -b * g.x * g.x,
                           -b * g.y * g.y,
                           -b * g.z * g.z,
                           -2 * b * g.x * g.y,
                           -2 * b * g.x * g.z,
                           -2 * b * g.y * g.z};
  std::copy(terms, terms + 7, row);
}

}  // namespace

Acquisition::Acquisition() {
  m_gradient[0] = {0, {0, 0, 0}};
  const double goldenAngle = 3.141592653589793 * (3 - std::sqrt(5.0));
  for (int i = 0; i < kNumDirections; ++i) {
    double z = 1 - (i + 0.5) / kNumDirections, r = std::sqrt(1 - z * z);
    m_gradient[1 + i] = {1000, {r * std::cos(i * goldenAngle), r * std::sin(i * goldenAngle), z}};
  }
  // The normal equations' matrix A^T A, inverted by Gauss-Jordan
  // elimination with partial pivoting beside the identity.
  double design[kNumSignals][7];
  for (int i = 0; i < kNumSignals; ++i) designRow(m_gradient[i], design[i]);
  double normal[7][14] = {};
  for (int r = 0; r < 7; ++r) {
    for (int c = 0; c < 7; ++c)
      for (int i = 0; i < kNumSignals; ++i) normal[r][c] += design[i][r] * design[i][c];
    normal[r][7 + r] = 1;
  }
  for (int c = 0; c < 7; ++c) {
    int pivot = c;
    for (int r = c + 1; r < 7; ++r)
      if (std::fabs(normal[r][c]) > std::fabs(normal[pivot][c])) pivot = r;
    assert(normal[pivot][c] != 0);  // the directions determine the tensor
    std::swap(normal[c], normal[pivot]);
    const double scale = normal[c][c];
    for (double& value : normal[c]) value /= scale;
    for (int r = 0; r < 7; ++r) {
      if (r == c) continue;
      const double factor = normal[r][c];
      for (int k = 0; k < 14; ++k) normal[r][k] -= factor * normal[c][k];
    }
  }
  for (int r = 0; r < 7; ++r) {
    for (int i = 0; i < kNumSignals; ++i) {
      m_solve[r][i] = 0;
      for (int c = 0; c < 7; ++c) m_solve[r][i] += normal[r][7 + c] * design[i][c];
    }
  }
}

void Acquisition::simulate(const Tensor& tensor, double sigma, const double* normals,
                           float* signals) const {
  const Matrix d = matrixOf(tensor);
  const double elements[6] = {d.m[0][0], d.m[1][1], d.m[2][2], d.m[0][1], d.m[0][2], d.m[1][2]};
  for (int i = 0; i < kNumSignals; ++i) {
    double row[7], exponent = 0;
    designRow(m_gradient[i], row);
    for (int c = 0; c < 6; ++c) exponent += row[1 + c] * elements[c];
    double signal = kS0 * std::exp(exponent);
    if (sigma > 0) {
      double real = signal + sigma * normals[2 * i], imaginary = sigma * normals[2 * i + 1];
      signal = std::sqrt(real * real + imaginary * imaginary);
    }
    signals[i] = static_cast<float>(signal);
  }
}

Tensor Acquisition::fit(const float* signals) const {
  double logSignal[kNumSignals];
  for (int i = 0; i < kNumSignals; ++i) logSignal[i] = std::log(std::max(1e-4, double{signals[i]}));
  double x[7];
  for (int r = 0; r < 7; ++r) {
    x[r] = 0;
    for (int i = 0; i < kNumSignals; ++i) x[r] += m_solve[r][i] * logSignal[i];
  }
  const Matrix d = {{{x[1], x[4], x[5]}, {x[4], x[2], x[6]}, {x[5], x[6], x[3]}}};
  return decompose(d);
}
