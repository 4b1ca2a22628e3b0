// The multi-label graph-cut optimizer as callers include it: the optimizer
// and its moves (GCbase.h), the general neighbourhood (GCgeneralGraph.h) and
// the four-connected grid (GCgridGraph.h). It declares nothing itself, so
// including it is the same as including those three headers.
#ifndef OPTIMIZER_GCOPTIMIZATION_H_
#define OPTIMIZER_GCOPTIMIZATION_H_

#include "optimizer/GCbase.h"
#include "optimizer/GCgeneralGraph.h"
#include "optimizer/GCgridGraph.h"

#endif  // OPTIMIZER_GCOPTIMIZATION_H_
