// dticut-examples: without arguments runs not_main; with DEMO WIDTH HEIGHT
// LABELS runs one demo on a WIDTH x HEIGHT grid. Bad arguments print the
// usage and the list of demos on stderr and exit with status 2.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "examples/example.h"

namespace {

// Keeps the spatially varying weights, and so every energy and capacity of
// the demos, far inside 32-bit range.
const int kMaxPixels = 800;
const int kMaxLabels = 800;

int usage(const char* problem) {
  fprintf(stderr, "dticut-examples: %s\n", problem);
  fprintf(stderr,
          "usage: dticut-examples [DEMO WIDTH HEIGHT LABELS]\n"
          "  no arguments: GeneralGraph_DArraySArraySpatVarying on 10 x 5 pixels with 7 labels,\n"
          "  then the processor time used\n"
          "  WIDTH, HEIGHT: at least 2, WIDTH x HEIGHT at most %d pixels\n"
          "  LABELS: 2 to %d\n"
          "demos:\n",
          kMaxPixels, kMaxLabels);
  for (int d = 0; d < kNumExampleDemos; d++)
    fprintf(stderr, "  %s\n", demoName(static_cast<ExampleDemo>(d)));
  return 2;
}

// Parses a whole decimal argument in [lo, hi].
bool parseInt(const char* text, int lo, int hi, int* value) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) return not_main(argc, argv);
  if (argc != 5) return usage("expected no argument or four: DEMO WIDTH HEIGHT LABELS");
  int demo = 0;
  while (demo < kNumExampleDemos && strcmp(argv[1], demoName(static_cast<ExampleDemo>(demo))))
    demo++;
  if (demo == kNumExampleDemos) return usage("unknown demo");
  int width, height, labels;
  if (!parseInt(argv[2], 2, kMaxPixels / 2, &width) ||
      !parseInt(argv[3], 2, kMaxPixels / 2, &height) || width * height > kMaxPixels)
    return usage("bad WIDTH or HEIGHT");
  if (!parseInt(argv[4], 2, kMaxLabels, &labels)) return usage("bad LABELS");
  runDemo(static_cast<ExampleDemo>(demo), width, height, width * height, labels, nullptr);
  return 0;
}
