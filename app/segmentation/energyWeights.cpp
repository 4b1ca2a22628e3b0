#include "app/segmentation/energyWeights.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const EnergyWeight kEnergyWeights[kNumEnergyWeights] = {
    {EnergyModel::kScalar, "--data-lambda", "data_lambda", "DataLambda", DATA_LAMBDA,
     &EnergyWeights::data, "data weight: scales (S - l)^2"},
    {EnergyModel::kScalar, "--smooth-fa-lambda", "smooth_fa_lambda", "SmoothFaLambda",
     SMOOTH_FA_LAMBDA, &EnergyWeights::smoothFA, "pair weight: scales 1/(sa + sb), strong at low S"},
    {EnergyModel::kScalar, "--smooth-principal-lambda", "smooth_principal_lambda",
     "SmoothPrincipalLambda", SMOOTH_PRINCIPAL_LAMBDA, &EnergyWeights::smoothPrincipal,
     "pair weight: scales sa*sb*(a.b), the alignment"},
    {EnergyModel::kScalar, "--smooth-omnibus-lambda", "smooth_omnibus_lambda",
     "SmoothOmnibusLambda", SMOOTH_OMNIBUS_LAMBDA, &EnergyWeights::smoothOmnibus,
     "pair weight: scales (sa - sb)^2, the contrast"},
    {EnergyModel::kTensor, "--boundary-lambda", "boundary_lambda", "BoundaryLambda", 1.0f,
     &EnergyWeights::boundary,
     "tensor energy: scales the boundary term\nexp(-d^2 / (2 sigma^2)) between neighbours"},
    {EnergyModel::kTensor, "--region-lambda", "region_lambda", "RegionLambda", 1.0f,
     &EnergyWeights::region,
     "tensor energy: scales the region term (the seeds'\nmodels, or (S - l)^2 without seeds)"},
};

const char* energyName(EnergyModel model) {
  return model == EnergyModel::kTensor ? "tensor" : "scalar";
}

const EnergyWeight& dataWeightOf(EnergyModel model) {
  float EnergyWeights::*member =
      model == EnergyModel::kTensor ? &EnergyWeights::region : &EnergyWeights::data;
  for (const EnergyWeight& weight : kEnergyWeights)
    if (weight.member == member) return weight;
  return kEnergyWeights[0];
}

const EnergyWeight* findWeightByKeyword(const char* keyword) {
  for (const EnergyWeight& weight : kEnergyWeights)
    if (strcmp(weight.keyword, keyword) == 0) return &weight;
  return nullptr;
}

bool weightFromText(const char* text, float* weight) {
  char* end;
  errno = 0;
  float value = strtof(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value)) return false;
  if (errno == ERANGE && value == 0.0f) return false;
  *weight = value;
  return true;
}

bool weightFromNumber(double value, float* weight) {
  // Doubles from FLT_MAX up to half an ulp beyond it round to FLT_MAX;
  // anything larger has no finite nearest float (and converting it would
  // be undefined).
  const double beyond = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
  if (!std::isfinite(value) || std::fabs(value) >= beyond) return false;
  const float single = static_cast<float>(value);
  if (value != 0.0 && single == 0.0f) return false;
  *weight = single;
  return true;
}

void weightText(float weight, char (&text)[16]) {
  // A whole number below 2^24 is written without an exponent (100, not
  // 1e+02); every other value as the fewest significant digits that read
  // back exactly (at most 9 for a float).
  if (weight == std::floor(weight) && std::fabs(weight) < 16777216.0f) {
    snprintf(text, sizeof text, "%.0f", static_cast<double>(weight));
    return;
  }
  for (int digits = 1; digits <= 9; ++digits) {
    snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(weight));
    if (strtof(text, nullptr) == weight) return;
  }
}
