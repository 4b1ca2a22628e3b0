// What the parts of the Python module share: numpy arguments turned into the
// plain arrays the C++ libraries read, every value checked first, so that
// nothing a caller passes reaches a library assertion, an index outside an
// array or a silent 32-bit wraparound; the 32-bit budget of the optimizer's
// arithmetic; and the guard that keeps one object out of two threads while a
// call runs without the GIL.
//
// Every check raises a Python exception (TypeError, ValueError, IndexError)
// whose message names the argument, what it holds and what was expected.
// Conversions cost one pass over the argument, plus a copy when its dtype or
// memory order differs from what the library reads.
#ifndef DTICUT_PYTHON_PYCONVERT_H
#define DTICUT_PYTHON_PYCONVERT_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <string>
#include <vector>

namespace py = pybind11;

// MemoryError with a message of the binding's own (pybind11 has none).
class OutOfMemory : public py::builtin_exception {
 public:
  using py::builtin_exception::builtin_exception;
  void set_error() const override { PyErr_SetString(PyExc_MemoryError, what()); }
};

// printf-style text for exception messages.
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

// "2 x 3 x 4" for an array's shape, as dticut writes dimensions; "0-d (a
// scalar)" for a 0-d array.
std::string shapeText(const py::array& array);

// `object` as a numpy array of real numbers: bool, integer or floating
// point; TypeError naming it for anything else (complex, object, text).
py::array realArray(py::handle object, const char* name);

// A real array as float32 in Fortran order (first axis fastest), rounded to
// nearest as numpy's astype rounds; the array itself when it already is.
using Float32Fortran = py::array_t<float, py::array::f_style | py::array::forcecast>;
Float32Fortran float32Fortran(const py::array& array);

// Every value of a bool or integer array, read in C order, as an int;
// TypeError naming the array for other dtypes (a float cost is never
// truncated silently), ValueError for a value outside the 32-bit range.
std::vector<int> intValues(py::handle object, const char* name);

// One argument of a vectorised call: a scalar, which stands for every row,
// or a 1-D array with one value per row.
struct IntColumn {
  std::vector<int> values;
  bool scalar;
  int operator[](std::size_t row) const { return values[scalar ? 0 : row]; }
};
// The arguments of one vectorised call as columns of a common row count;
// ValueError naming the arrays whose lengths differ.
std::vector<IntColumn> intColumns(std::initializer_list<std::pair<py::handle, const char*>> args,
                                  std::size_t* rows);

// A new 1-D array holding a copy of `count` values. (pybind11's array_t
// from a pointer drops a failed copy's MemoryError and returns null.)
template <typename T>
py::array_t<T> copiedArray(const T* values, std::size_t count) {
  py::array_t<T> array(static_cast<py::ssize_t>(count));
  std::copy(values, values + count, array.mutable_data());
  return array;
}

// IndexError unless 0 <= index < count.
void requireIndex(long long index, long long count, const char* what, const char* kind);

// The optimizer and the binary energy compute in 32-bit ints without
// overflow checks. If no labelling can cost more than the budget in
// magnitude (the sum over sites of the largest |data cost| plus the sum over
// pairs of |weight| times the largest |smoothness cost|, or for a binary
// energy the sum over terms of their largest |value|), then no energy,
// capacity, terminal sum or flow of any move leaves int: each stays within
// five times that bound.
const long long kEnergyBudget = INT_MAX / 5;
// ValueError, in the words of `what`, unless `bound` fits the budget.
void requireWithinBudget(long double bound, const char* what);

// Marks an object as in use for the life of the guard. Calls arrive holding
// the GIL, so a second call can only come from another thread while the
// first runs without it; that call is refused with RuntimeError instead of
// sharing the object's C++ state.
class InUse {
 public:
  InUse(bool& flag, const char* object);
  ~InUse() { m_flag = false; }
  InUse(const InUse&) = delete;
  InUse& operator=(const InUse&) = delete;

 private:
  bool& m_flag;
};

// Ctrl-C during a long call that runs without the GIL. The libraries ask
// `check` every few thousand steps of their work (the optimizer before each
// move and inside its max-flow searches, the segmentation between stages);
// at most every kInterval it takes the GIL and runs Python's signal
// handlers. When a handler raises (KeyboardInterrupt for Ctrl-C) the error
// is kept and `check` answers true from then on, so that the library stops;
// the caller raises it with raiseIfInterrupted once it holds the GIL again.
// A call made outside the main thread never sees a signal: Python runs
// handlers in the main thread only.
class SignalPoll {
 public:
  static constexpr double kInterval = 0.1;  // seconds between two looks
  SignalPoll();
  ~SignalPoll();
  SignalPoll(const SignalPoll&) = delete;
  SignalPoll& operator=(const SignalPoll&) = delete;

  // For Graph::InterruptFn and the optimizer's interrupt check; `poll` is a
  // SignalPoll. Called without the GIL.
  static bool check(void* poll);
  bool interrupted() const { return m_type != nullptr; }
  // Called holding the GIL: raises the kept error, if any.
  void raiseIfInterrupted();

 private:
  double m_next;  // steady-clock seconds of the next look
  PyObject* m_type = nullptr;
  PyObject* m_value = nullptr;
  PyObject* m_trace = nullptr;
};

// Hands a poll's check to a library object (the engine's set_interrupt,
// the optimizer's setInterruptCheck) for the guard's lifetime, and takes it
// back however the call ends, since the poll lives on the caller's stack.
template <class Library>
class Polled {
 public:
  using Setter = void (Library::*)(bool (*)(void*), void*);
  Polled(Library& library, Setter set, SignalPoll& poll) : m_library(library), m_set(set) {
    (library.*set)(SignalPoll::check, &poll);
  }
  ~Polled() { (m_library.*m_set)(nullptr, nullptr); }
  Polled(const Polled&) = delete;
  Polled& operator=(const Polled&) = delete;

 private:
  Library& m_library;
  Setter m_set;
};

void bindSegment(py::module_& m);
void bindOptimizer(py::module_& m);
void bindEnergy(py::module_& m);

#endif  // DTICUT_PYTHON_PYCONVERT_H
