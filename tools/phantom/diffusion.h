// Diffusion-weighted signals of a tensor and the tensor fitted back from
// them, as an acquisition and a tensor-fitting tool would give them.
//
// The acquisition: one b = 0 volume, then kNumDirections directions at
// b = 1000 s/mm^2 spread over a hemisphere by the golden angle: direction i
// (i = 0 ... 31) is (sqrt(1 - z^2) cos(i a), sqrt(1 - z^2) sin(i a), z)
// with z = 1 - (i + 0.5) / 32 and a = pi (3 - sqrt(5)). Signals follow the
// single-tensor model S = S0 exp(-b g^T D g) with S0 = 1000; with noise of
// standard deviation sigma, each gets Rician noise: the magnitude of
// S + sigma n1 + i sigma n2 for two standard normal draws. Signals are
// stored (and fitted) as float32, as a scanner's file holds them.
//
// The fit: log-linear ordinary least squares of ln max(S, 1e-4) on
// (ln S0, Dxx, Dyy, Dzz, Dxy, Dxz, Dyz), then the eigen-decomposition of D;
// eigenvalues are left as fitted, negative ones included.
#ifndef DTICUT_TOOLS_PHANTOM_DIFFUSION_H
#define DTICUT_TOOLS_PHANTOM_DIFFUSION_H

#include "tools/phantom/tensor.h"

const int kNumDirections = 32;
const int kNumSignals = 1 + kNumDirections;  // volume 0 is b = 0
const double kS0 = 1000;

struct Gradient {
  double b;  // s/mm^2
  Vec g;     // unit direction; 0 for b = 0
};

class Acquisition {
 public:
  Acquisition();

  const Gradient& gradient(int i) const { return m_gradient[i]; }
  // The kNumSignals signals of `tensor`; with sigma > 0 each with Rician
  // noise from `normals[2 i]` and `normals[2 i + 1]`.
  void simulate(const Tensor& tensor, double sigma, const double* normals, float* signals) const;
  // The tensor fitted to kNumSignals signals.
  Tensor fit(const float* signals) const;

 private:
  Gradient m_gradient[kNumSignals];
  // The least-squares solution operator (A^T A)^-1 A^T of the design A.
  double m_solve[7][kNumSignals];
};

#endif  // DTICUT_TOOLS_PHANTOM_DIFFUSION_H
