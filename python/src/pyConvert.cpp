#include "pyConvert.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <type_traits>

std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(nullptr, 0, pattern, args);
  va_end(args);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  vsnprintf(&text[0], text.size() + 1, pattern, again);
  va_end(again);
  return text;
}

std::string shapeText(const py::array& array) {
  std::string text;
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis)
    text += format("%s%zd", axis > 0 ? " x " : "", array.shape(axis));
  return array.ndim() == 0 ? "0-d (a scalar)" : text;
}

namespace {

std::string dtypeName(const py::array& array) {
  return py::str(array.dtype());
}

// Copies `count` values into `to`, each checked against the 32-bit range.
template <typename T>
void copyChecked(const T* from, std::size_t count, int* to, const char* name) {
  for (std::size_t i = 0; i < count; ++i) {
    bool low = false;
    if constexpr (std::is_signed<T>::value) low = from[i] < INT_MIN;
    if (low || from[i] > static_cast<T>(INT_MAX))
      throw py::value_error(format("%s: %s at index %zu is outside the 32-bit range (%d to %d)",
                                   name, std::to_string(from[i]).c_str(), i, INT_MIN, INT_MAX));
    to[i] = static_cast<int>(from[i]);
  }
}

template <typename T>
using CArray = py::array_t<T, py::array::c_style | py::array::forcecast>;

}  // namespace

py::array realArray(py::handle object, const char* name) {
  // numpy's own MemoryError passes through; any other failure to convert
  // means the object holds no numbers.
  py::array array;
  try {
    array = py::array(py::reinterpret_borrow<py::object>(object));
  } catch (py::error_already_set& error) {
    if (error.matches(PyExc_MemoryError)) throw;
    throw py::type_error(format("%s: %s is not an array of numbers", name,
                                std::string(py::str(py::type::of(object))).c_str()));
  }
  char kind = array.dtype().kind();
  if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f')
    throw py::type_error(
        format("%s: dtype %s, expected real numbers (bool, integer or floating "
               "point)",
               name, dtypeName(array).c_str()));
  return array;
}

// The converting constructors raise numpy's error (MemoryError for an array
// too large to copy), where ensure() would return null and drop it.
Float32Fortran float32Fortran(const py::array& array) {
  return Float32Fortran(array);
}

std::vector<int> intValues(py::handle object, const char* name) {
  py::array array = realArray(object, name);
  char kind = array.dtype().kind();
  if (kind == 'f' && array.size() > 0)  // an empty list is float64 to numpy
    throw py::type_error(
        format("%s: dtype %s, expected integers (costs and indices are 32-bit "
               "ints; round them explicitly)",
               name, dtypeName(array).c_str()));
  std::vector<int> values(static_cast<std::size_t>(array.size()));
  // bool, int8 to int32 and uint8, uint16 always fit; wider types are checked.
  bool fits = kind == 'b' || (kind == 'i' && array.itemsize() <= 4) ||
              (kind == 'u' && array.itemsize() <= 2);
  if (fits) {
    CArray<int> ints(array);
    std::copy(ints.data(), ints.data() + values.size(), values.begin());
  } else if (kind == 'u') {
    CArray<unsigned long long> wide(array);
    copyChecked(wide.data(), values.size(), values.data(), name);
  } else {
    CArray<long long> wide(array);
    copyChecked(wide.data(), values.size(), values.data(), name);
  }
  return values;
}

std::vector<IntColumn> intColumns(std::initializer_list<std::pair<py::handle, const char*>> args,
                                  std::size_t* rows) {
  std::vector<IntColumn> columns;
  const char* lengthFrom = nullptr;  // the first 1-D argument, which sets the row count
  *rows = 1;
  for (const auto& arg : args) {
    py::array array = realArray(arg.first, arg.second);
    if (array.ndim() > 1)
      throw py::value_error(format("%s: shape %s, expected a scalar or a 1-D array", arg.second,
                                   shapeText(array).c_str()));
    IntColumn column = {intValues(array, arg.second), array.ndim() == 0};
    if (!column.scalar) {
      if (lengthFrom == nullptr) {
        lengthFrom = arg.second;
        *rows = column.values.size();
      } else if (column.values.size() != *rows) {
        throw py::value_error(
            format("%s has %zu values but %s has %zu; expected one length (or "
                   "a scalar)",
                   arg.second, column.values.size(), lengthFrom, *rows));
      }
    }
    columns.push_back(std::move(column));
  }
  return columns;
}

void requireIndex(long long index, long long count, const char* what, const char* kind) {
  if (index < 0 || index >= count)
    throw py::index_error(format("%s: %s %lld is outside 0 to %lld", what, kind, index, count - 1));
}

void requireWithinBudget(long double bound, const char* what) {
  if (bound > kEnergyBudget)
    throw py::value_error(
        format("%s: costs this large could give an energy of %.0Lf, more than "
               "%lld, the limit that keeps the optimizer's 32-bit arithmetic "
               "exact; scale the costs down",
               what, bound, kEnergyBudget));
}

InUse::InUse(bool& flag, const char* object) : m_flag(flag) {
  if (flag) throw std::runtime_error(format("%s is in use by another thread", object));
  flag = true;
}

namespace {

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

SignalPoll::SignalPoll() : m_next(steadySeconds() + kInterval) {}

SignalPoll::~SignalPoll() {
  // Only a poll whose error was never raised still holds one; the GIL is
  // held wherever a poll goes out of scope after its call.
  Py_XDECREF(m_type);
  Py_XDECREF(m_value);
  Py_XDECREF(m_trace);
}

bool SignalPoll::check(void* poll) {
  SignalPoll& self = *static_cast<SignalPoll*>(poll);
  if (self.interrupted()) return true;
  const double now = steadySeconds();
  if (now < self.m_next) return false;
  self.m_next = now + kInterval;
  py::gil_scoped_acquire held;
  if (PyErr_CheckSignals() == 0) return false;
  PyErr_Fetch(&self.m_type, &self.m_value, &self.m_trace);
  return true;
}

void SignalPoll::raiseIfInterrupted() {
  if (!interrupted()) return;
  PyErr_Restore(m_type, m_value, m_trace);
  m_type = m_value = m_trace = nullptr;
  throw py::error_already_set();
}
