// Demonstration drivers: one synthetic labelling problem, solved by
// alpha-expansion on both neighbourhood systems with every way of supplying
// costs. Each demo prints the energy before and after expansion(2).
//
// The problem, over num_pixels pixels and num_labels labels L: D(p, l) is 0
// for label 0 on the first 25 pixels and for label 5 on the others, 10 for
// every other label; S(l1, l2) = min((l1 - l2)^2, 4). All demos start from the
// optimizer's initial labeling (all 0), so the before-energy is 10 per pixel
// from p = 25 on. The caller passes num_pixels = width * height.
// Cost: one optimizer, two iterations of at most L max-flows each.
#ifndef EXAMPLES_EXAMPLE_H_
#define EXAMPLES_EXAMPLE_H_

// ---- Types -----------------------------------------------------------------
// The extra argument of dataFn.
struct DataFnArgs {
  int label_count;
  int* costs;  // num_pixels rows of label_count data costs
};

enum ExampleDemo {
  kGridGraphIndividually,
  kGridGraphDArraySArray,
  kGridGraphDfnSfn,
  kGridGraphDArraySArraySpatVarying,
  kGeneralGraphDArraySArray,
  kGeneralGraphDArraySArraySpatVarying,
  kNumExampleDemos
};

// What a demo computed, for callers that compare demos.
struct DemoResult {
  int before_energy;
  int after_energy;
  int* labels;  // caller's array of num_pixels ints, filled with the final labels
};

// ---- Costs -----------------------------------------------------------------
int smoothFn(int p1, int p2, int l1, int l2);  // min((l1 - l2)^2, 4); sites ignored
int dataFn(int p, int l, void* data);          // data is a DataFnArgs*

// ---- Demos -----------------------------------------------------------------
void GridGraph_Individually(int width, int height, int num_pixels, int num_labels);
void GridGraph_DArraySArray(int width, int height, int num_pixels, int num_labels);
void GridGraph_DfnSfn(int width, int height, int num_pixels, int num_labels);
void GridGraph_DArraySArraySpatVarying(int width, int height, int num_pixels, int num_labels);
void GeneralGraph_DArraySArray(int width, int height, int num_pixels, int num_labels);
void GeneralGraph_DArraySArraySpatVarying(int width, int height, int num_pixels, int num_labels);

// Runs one demo, printing exactly what the demo prints; when `result` is not
// null, also stores its energies and labels there. An optimizer error is
// reported through GCException::Report, which ends the process.
void runDemo(ExampleDemo demo, int width, int height, int num_pixels, int num_labels,
             DemoResult* result);
const char* demoName(ExampleDemo demo);

// Runs GeneralGraph_DArraySArraySpatVarying(10, 5, 50, 7), then prints the
// processor time. Both arguments are ignored.
int not_main(int argc, char** argv);

#endif  // EXAMPLES_EXAMPLE_H_
