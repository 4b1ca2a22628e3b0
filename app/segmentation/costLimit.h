// Keeps the costs of the two-label segmentation energy inside the optimizer's
// 32-bit arithmetic. Pair weights and data costs come from float formulas
// that can give infinities (saturated to 2147483647), negative values or NaN;
// the optimizer sums them in 32-bit ints without checks, and a negative pair
// weight makes a move non-regular.
//
// After limitCosts: every data cost and pair weight is >= 0, and the sum over
// sites of the largest data cost plus the sum of all pair weights is at most
// kCostBudget, which bounds every energy and every intermediate sum of a move
// (at most twice that total) inside 32 bits. Costs already within the budget
// are left exactly as they were. Cost: three passes over the costs, three
// more when a cap is needed (the cap is found by counting, not by trial).
#ifndef DTICUT_APP_SEGMENTATION_COSTLIMIT_H
#define DTICUT_APP_SEGMENTATION_COSTLIMIT_H

const long long kCostBudget = 1LL << 29;

// What limitCosts changed.
struct CostLimit {
  long long changedWeights;    // pair weights set to 0 or lowered to the cap
  long long changedDataCosts;  // data costs set to 0 or lowered to the cap
  int cap;                     // the common cap, or -1 when none was needed
};

// Limits in place `dataCosts` (numSites rows of numLabels, as the optimizer's
// data table) and `weights` (numPairs pair weights):
//   1. a negative weight (the formulas give one for NaN or for negative
//      values) and a negative data cost (only NaN gives one) become 0;
//   2. only if the sum over sites of the largest data cost plus the sum of
//      the weights then exceeds kCostBudget, every cost above the largest cap
//      that brings that sum within the budget is lowered to the cap.
CostLimit limitCosts(int* dataCosts, int numSites, int numLabels, int* weights, long long numPairs);

// The same rule for a problem with hard sites, whose label is fixed (a
// user's seeds): their data cost for the other label is derived from the
// limited weights as 1 + the sum of their pairs' weights (so that no cut can
// move them; the caller sets it, see hardCost), and the budget counts it. So
// a hard site counts as 1, its data costs are left alone here, and pair k's
// weight counts multiplicity[k] times (1, plus 1 for each hard end). `hard`
// (numSites flags) and `multiplicity` (numPairs counts) are both given or
// both null; the hard sites must number at most kCostBudget.
CostLimit limitCostsWithHardSites(int* dataCosts, int numSites, int numLabels, int* weights,
                                  long long numPairs, const unsigned char* hard,
                                  const unsigned char* multiplicity);

#endif  // DTICUT_APP_SEGMENTATION_COSTLIMIT_H
