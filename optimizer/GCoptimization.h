// The multi-label graph-cut optimizer as callers include it: the optimizer
// and its moves (GCbase.h), the general neighbourhood (GCgeneralGraph.h),
// the four-connected grid (GCgridGraph.h) and the six-connected 3-D grid
// (GCgrid3DGraph.h). It declares nothing itself, so including it is the same
// as including those four headers.
#ifndef OPTIMIZER_GCOPTIMIZATION_H_
#define OPTIMIZER_GCOPTIMIZATION_H_

#include "optimizer/GCbase.h"
#include "optimizer/GCgeneralGraph.h"
#include "optimizer/GCgrid3DGraph.h"
#include "optimizer/GCgridGraph.h"

#endif  // OPTIMIZER_GCOPTIMIZATION_H_
