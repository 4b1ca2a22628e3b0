// The extension module dticut._dticut, which the package dticut re-exports:
// segment() and its result, the optimizer classes, the binary Energy, and
// the translation of the libraries' exceptions. GCException (the
// optimizer's usage errors, with their fixed messages) becomes
// dticut.OptimizerError, except its "Not enough memory", which is a
// MemoryError; AppError (the segmentation's refusals of its input, in the
// command's wording) becomes ValueError, or MemoryError when an allocation
// failed. std::bad_alloc is pybind11's MemoryError.
#include <cstring>
#include <exception>

#include "app/segmentation/error.h"
#include "pyConvert.h"
#include "optimizer/GCoptimization.h"

PYBIND11_MODULE(_dticut, m) {
  m.doc() =
      "Graph-cut segmentation of diffusion-tensor volumes and the multi-label graph-cut "
      "optimizer behind it, on numpy arrays; use it through the package dticut.";
  m.attr("__version__") = DTICUT_VERSION;

  static py::exception<GCException> optimizerError(m, "OptimizerError", PyExc_RuntimeError);
  optimizerError.attr("__doc__") =
      "A usage error of the optimizer, with the library's message: a cost set twice, a cost "
      "missing, or a neighbourhood declared after the first energy or move.";
  py::register_exception_translator([](std::exception_ptr raised) {
    try {
      if (raised) std::rethrow_exception(raised);
    } catch (const GCException& error) {
      // The optimizer's one allocation message is a MemoryError like any other.
      if (std::strcmp(error.message, "Not enough memory") == 0)
        PyErr_SetString(PyExc_MemoryError, error.message);
      else
        optimizerError(error.message);
    } catch (const AppError& error) {
      PyErr_SetString(error.isOutOfMemory() ? PyExc_MemoryError : PyExc_ValueError, error.what());
    }
  });

  bindSegment(m);
  bindOptimizer(m);
  bindEnergy(m);
}
