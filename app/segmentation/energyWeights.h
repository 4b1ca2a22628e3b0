// The segmentation's two energies, their weights, and the one table that
// names the weights.
//
// Each weight is a row of kEnergyWeights: the energy it belongs to, its
// command-line option, its
// Python keyword (also the workflow's config key), its key in a run's report,
// its default and its help text. The command's parsing and --help, the
// Python package's keywords, the run report and the workflow all read the
// table, so a new weight is one row here (and the member it sets). Every
// weight is a finite single-precision number, read by one rule
// (weightFromNumber).
#ifndef DTICUT_APP_SEGMENTATION_ENERGYWEIGHTS_H
#define DTICUT_APP_SEGMENTATION_ENERGYWEIGHTS_H

// Default weights of the energy's four terms. At 1 every cost is the plain
// formula's; on an anisotropy map in [0, 1] that truncates every data cost
// to 0, so useful segmentations need the weights set (EnergyWeights).
const float DATA_LAMBDA = 1.0f;
const float SMOOTH_FA_LAMBDA = 1.0f;
const float SMOOTH_PRINCIPAL_LAMBDA = 1.0f;
const float SMOOTH_OMNIBUS_LAMBDA = 1.0f;

// The energies: the scalar energy (segmentation.h), the default, and the
// tensor energy (tensorEnergy.h).
enum class EnergyModel { kScalar, kTensor };
const int kNumEnergyModels = 2;
// Their names, as --energy and the report spell them: "scalar", "tensor".
const char* energyName(EnergyModel model);

// The weights of one run; multiplying by a weight of 1 changes no bit, so
// the defaults give exactly the unweighted costs. Each energy reads its own.
struct EnergyWeights {
  float data = DATA_LAMBDA;                        // the data term (s - l)^2
  float smoothFA = SMOOTH_FA_LAMBDA;               // 1/(sa + sb) in the pair term
  float smoothPrincipal = SMOOTH_PRINCIPAL_LAMBDA;  // sa*sb*(a . b) in the pair term
  float smoothOmnibus = SMOOTH_OMNIBUS_LAMBDA;      // (sa - sb)^2, subtracted in the pair term
  float boundary = 1.0f;  // the tensor energy's boundary term
  float region = 1.0f;    // the tensor energy's region term
};

// One weight: where it is set and how it is named.
struct EnergyWeight {
  EnergyModel energy;     // the energy that reads it
  const char* option;     // the command's option, e.g. "--data-lambda"
  const char* keyword;    // Python keyword and workflow config key, e.g. "data_lambda"
  const char* reportKey;  // key in a run's report and sidecar, e.g. "DataLambda"
  float defaultValue;
  float EnergyWeights::*member;
  const char* help;  // --help's text; lines after the first are indented under it
};

const int kNumEnergyWeights = 6;
// In the order of --help, the report and the workflow's command lines: the
// scalar energy's, then the tensor energy's.
extern const EnergyWeight kEnergyWeights[kNumEnergyWeights];

// The row whose keyword is `keyword`, or null.
const EnergyWeight* findWeightByKeyword(const char* keyword);
// The row of the weight that scales `model`'s data (region) term, whose
// name the messages about an empty result give.
const EnergyWeight& dataWeightOf(EnergyModel model);

// A weight is the single-precision number nearest to the value given, and
// must be finite: a value beyond float's range (whose nearest float would
// be infinite), not finite, or non-zero but so small that it would read as
// 0 is refused (false) rather than silently changed. Subnormal results are
// kept. The command reads its decimal text with weightFromText, which rounds
// the text once; a caller holding a double (Python) uses weightFromNumber,
// which rounds the double once: the same rule on the number each was given.
bool weightFromText(const char* text, float* weight);
bool weightFromNumber(double value, float* weight);

// The shortest decimal text that reads back (weightFromText) as exactly
// `weight`, as the report writes it; at most 15 characters plus the NUL.
void weightText(float weight, char (&text)[16]);

#endif  // DTICUT_APP_SEGMENTATION_ENERGYWEIGHTS_H
