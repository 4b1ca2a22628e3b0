#include "examples/example.h"

#include <cstddef>
#include <cstdio>
#include <ctime>

#include "optimizer/GCoptimization.h"

namespace {

const char* const kDemoNames[kNumExampleDemos] = {
    "GridGraph_Individually",    "GridGraph_DArraySArray",
    "GridGraph_DfnSfn",          "GridGraph_DArraySArraySpatVarying",
    "GeneralGraph_DArraySArray", "GeneralGraph_DArraySArraySpatVarying"};

int dataCost(int p, int l) {
  int preferred = p <= 24 ? 0 : 5;
  return l == preferred ? 0 : 10;
}

// Pairs of a width x height pixel grid, horizontal ones first: unit weights
// declared from the later pixel, or the varying weights declared from the
// earlier one.
void declareGridPairs(GCoptimizationGeneralGraph* gc, int width, int height, bool varying) {
  for (int y = 0; y < height; y++) {
    for (int x = 1; x < width; x++) {
      int p = x + y * width;
      if (varying) {
        gc->setNeighbors(p - 1, p, (p - 1) + p);
      } else {
        gc->setNeighbors(p, p - 1, 1);
      }
    }
  }
  for (int y = 1; y < height; y++) {
    for (int x = 0; x < width; x++) {
      int p = x + y * width;
      if (varying) {
        gc->setNeighbors(p - width, p, (p - width) * p);
      } else {
        gc->setNeighbors(p, p - width, 1);
      }
    }
  }
}

// The demo's optimizer, with costs and neighbourhood set in the demo's order.
GCoptimization* setUp(ExampleDemo demo, int width, int height, int num_pixels, int num_labels,
                      int* data, int* smooth, DataFnArgs* args) {
  if (demo == kGeneralGraphDArraySArray || demo == kGeneralGraphDArraySArraySpatVarying) {
    GCoptimizationGeneralGraph* gc = new GCoptimizationGeneralGraph(num_pixels, num_labels);
    gc->setDataCost(data);
    gc->setSmoothCost(smooth);
    declareGridPairs(gc, width, height, demo == kGeneralGraphDArraySArraySpatVarying);
    return gc;
  }
  GCoptimizationGridGraph* gc = new GCoptimizationGridGraph(width, height, num_labels);
  if (demo == kGridGraphIndividually) {
    for (int p = 0; p < num_pixels; p++)
      for (int l = 0; l < num_labels; l++) gc->setDataCost(p, l, data[p * num_labels + l]);
    for (int l1 = 0; l1 < num_labels; l1++)
      for (int l2 = 0; l2 < num_labels; l2++)
        gc->setSmoothCost(l1, l2, smooth[l1 * num_labels + l2]);
  } else if (demo == kGridGraphDfnSfn) {
    gc->setDataCost(&dataFn, args);
    gc->setSmoothCost(&smoothFn);
  } else {
    gc->setDataCost(data);
    if (demo == kGridGraphDArraySArray) {
      gc->setSmoothCost(smooth);
    } else {
      int* V = new int[num_pixels];
      int* H = new int[num_pixels];
      for (int p = 0; p < num_pixels; p++) {
        V[p] = (p * (p + width)) % 7;
        H[p] = p + ((p + 1) % 3);
      }
      gc->setSmoothCostVH(smooth, V, H);
      delete[] V;
      delete[] H;
    }
  }
  return gc;
}

}  // namespace

int smoothFn(int, int, int l1, int l2) {
  int d = l1 - l2;
  return d * d < 4 ? d * d : 4;
}

int dataFn(int p, int l, void* data) {
  DataFnArgs* args = static_cast<DataFnArgs*>(data);
  return args->costs[p * args->label_count + l];
}

const char* demoName(ExampleDemo demo) {
  return kDemoNames[demo];
}

void runDemo(ExampleDemo demo, int width, int height, int num_pixels, int num_labels,
             DemoResult* result) {
  int* labels = new int[num_pixels];
  int* data = new int[std::size_t(num_pixels) * std::size_t(num_labels)];
  int* smooth = new int[std::size_t(num_labels) * std::size_t(num_labels)];
  for (int p = 0; p < num_pixels; p++)
    for (int l = 0; l < num_labels; l++) data[p * num_labels + l] = dataCost(p, l);
  for (int l1 = 0; l1 < num_labels; l1++)
    for (int l2 = 0; l2 < num_labels; l2++) smooth[l1 * num_labels + l2] = smoothFn(0, 0, l1, l2);
  DataFnArgs args = {num_labels, data};

  try {
    GCoptimization* gc = setUp(demo, width, height, num_pixels, num_labels, data, smooth, &args);
    int before = gc->compute_energy();
    printf("\nBefore optimization energy is %d", before);
    gc->expansion(2);
    int after = gc->compute_energy();
    printf("\nAfter optimization energy is %d", after);
    for (int p = 0; p < num_pixels; p++) labels[p] = gc->whatLabel(p);
    delete gc;
    if (result) {
      result->before_energy = before;
      result->after_energy = after;
      for (int p = 0; p < num_pixels && result->labels; p++) result->labels[p] = labels[p];
    }
  } catch (GCException e) {
    e.Report();
  }

  delete[] labels;
  delete[] data;
  delete[] smooth;
}

void GridGraph_Individually(int width, int height, int num_pixels, int num_labels) {
  runDemo(kGridGraphIndividually, width, height, num_pixels, num_labels, nullptr);
}

void GridGraph_DArraySArray(int width, int height, int num_pixels, int num_labels) {
  runDemo(kGridGraphDArraySArray, width, height, num_pixels, num_labels, nullptr);
}

void GridGraph_DfnSfn(int width, int height, int num_pixels, int num_labels) {
  runDemo(kGridGraphDfnSfn, width, height, num_pixels, num_labels, nullptr);
}

void GridGraph_DArraySArraySpatVarying(int width, int height, int num_pixels, int num_labels) {
  runDemo(kGridGraphDArraySArraySpatVarying, width, height, num_pixels, num_labels, nullptr);
}

void GeneralGraph_DArraySArray(int width, int height, int num_pixels, int num_labels) {
  runDemo(kGeneralGraphDArraySArray, width, height, num_pixels, num_labels, nullptr);
}

void GeneralGraph_DArraySArraySpatVarying(int width, int height, int num_pixels, int num_labels) {
  runDemo(kGeneralGraphDArraySArraySpatVarying, width, height, num_pixels, num_labels, nullptr);
}

int not_main(int, char**) {
  GeneralGraph_DArraySArraySpatVarying(10, 5, 50, 7);
  clock_t first = clock();
  clock_t second = clock();
  printf("\n  Finished %d (%d) clock per sec %d", static_cast<int>(first / CLOCKS_PER_SEC),
         static_cast<int>(second), static_cast<int>(CLOCKS_PER_SEC));
  return 0;
}
