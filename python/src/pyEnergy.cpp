// dticut.Energy: a function of binary variables, a sum of unary and regular
// pair terms, minimised exactly by one minimum cut of the library's Energy.
// Terms go straight into the library's graph once checked: variable indices,
// regularity (E(0,0) + E(1,1) <= E(0,1) + E(1,0)), the energy budget
// (pyConvert.h), and the engine's 1024 arcs leaving and entering one variable.
// The graph takes one solve, so nothing is added after minimize().
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "pyConvert.h"
#include "flow/energy.h"
#include "optimizer/GCoptimization.h"

namespace {

// The engine's error function: its fatal errors (running out of memory; the
// arcs of one node past its limit, which add_term2 refuses first) become
// exceptions, MemoryError for the first, instead of ending the process. Every
// engine frame such an exception leaves is safe to leave (flow/graph.h).
[[noreturn]] void engineError(char* message) {
  if (std::strncmp(message, "Not enough memory", 17) == 0)
    throw OutOfMemory("Energy: the max-flow engine ran out of memory");
  throw std::runtime_error(format("Energy: the max-flow engine stopped: %s", message));
}

class BinaryEnergy {
 public:
  BinaryEnergy() : m_energy(new Energy(engineError)) {}

  // A refused call adds no variable: the lists are grown first, and the
  // nodes the engine made before running out of memory stay unconnected,
  // which changes no cut.
  int addVariables(int count) {
    InUse inUse(m_busy, "Energy");
    requireBuilding();
    if (count < 0 || count > INT_MAX - numVariables())
      throw py::value_error(format("add_variables: %d more variables, expected 0 to %d", count,
                                   INT_MAX - numVariables()));
    const int first = numVariables();
    const std::size_t total = static_cast<std::size_t>(first) + count;
    try {
      if (total > m_nodes.capacity()) {  // geometric, so that one at a time stays linear
        const std::size_t capacity = std::max(total, 2 * m_nodes.capacity());
        m_nodes.reserve(capacity);
        m_out.reserve(capacity);
        m_in.reserve(capacity);
      }
    } catch (const std::bad_alloc&) {
      throw OutOfMemory(format("add_variables: no memory for %d more variables", count));
    }
    try {
      for (int k = 0; k < count; ++k) {
        m_nodes.push_back(m_energy->add_node());
        m_out.push_back(0);
        m_in.push_back(0);
      }
    } catch (...) {
      m_nodes.resize(first);
      m_out.resize(first);
      m_in.resize(first);
      throw;
    }
    return first;
  }

  void addTerm1(py::object x, py::object e0, py::object e1) {
    InUse inUse(m_busy, "Energy");
    requireBuilding();
    std::size_t rows;
    std::vector<IntColumn> terms = intColumns({{x, "x"}, {e0, "e0"}, {e1, "e1"}}, &rows);
    long long bound = m_bound;
    for (std::size_t row = 0; row < rows; ++row) {
      requireIndex(terms[0][row], numVariables(), "add_term1", "variable");
      bound += std::max(std::llabs(terms[1][row]), std::llabs(terms[2][row]));
    }
    requireWithinBudget(bound, "add_term1");
    for (std::size_t row = 0; row < rows; ++row)
      m_energy->add_tweights(m_nodes[terms[0][row]], terms[2][row], terms[1][row]);
    m_bound = bound;
  }

  void addTerm2(py::object x, py::object y, py::object e00, py::object e01, py::object e10,
                py::object e11) {
    InUse inUse(m_busy, "Energy");
    requireBuilding();
    std::size_t rows;
    std::vector<IntColumn> terms = intColumns(
        {{x, "x"}, {y, "y"}, {e00, "e00"}, {e01, "e01"}, {e10, "e10"}, {e11, "e11"}}, &rows);
    long long bound = m_bound;
    for (std::size_t row = 0; row < rows; ++row) {
      requireIndex(terms[0][row], numVariables(), "add_term2", "variable");
      requireIndex(terms[1][row], numVariables(), "add_term2", "variable");
      long long A = terms[2][row], B = terms[3][row], C = terms[4][row], D = terms[5][row];
      if (A + D > B + C)
        throw py::value_error(
            format("add_term2: term %zu is not regular: E(0,0) + E(1,1) = %lld "
                   "exceeds E(0,1) + E(1,0) = %lld",
                   row, A + D, B + C));
      bound += std::max({std::llabs(A), std::llabs(B), std::llabs(C), std::llabs(D)});
    }
    requireWithinBudget(bound, "add_term2");
    requireArcs(terms[0], terms[1], rows);
    // An arc the engine has no memory for leaves the batch half-added.
    Breaks breaks(m_broken);
    for (std::size_t row = 0; row < rows; ++row)
      m_energy->add_term2(m_nodes[terms[0][row]], m_nodes[terms[1][row]], terms[2][row],
                          terms[3][row], terms[4][row], terms[5][row]);
    breaks.done();
    m_bound = bound;
  }

  // The minimum of the function; later calls return it again. Ctrl-C stops
  // the search with KeyboardInterrupt; the search keeps its state, so the
  // next minimize() goes on from there.
  int minimize() {
    InUse inUse(m_busy, "Energy");
    requireWhole();
    if (m_solved) return m_minimum;
    m_values.reserve(m_nodes.size());
    SignalPoll poll;
    Polled<Graph> polled(*m_energy, &Graph::set_interrupt, poll);
    Breaks breaks(m_broken);  // running out of memory leaves the search half-done
    {
      py::gil_scoped_release released;
      m_minimum = m_energy->maxflow();
      if (!m_energy->interrupted()) {
        m_values.resize(m_nodes.size());
        for (std::size_t k = 0; k < m_nodes.size(); ++k)
          m_values[k] = static_cast<std::uint8_t>(m_energy->what_segment(m_nodes[k]));
      }
    }
    breaks.done();
    poll.raiseIfInterrupted();
    m_solved = true;
    return m_minimum;
  }

  py::array_t<std::uint8_t> labels() {
    InUse inUse(m_busy, "Energy");
    if (!m_solved) throw GCException("Energy: the labels are known after minimize()");
    return copiedArray(m_values.data(), m_values.size());
  }

  int numVariables() const { return static_cast<int>(m_nodes.size()); }

 private:
  // Sets `broken` unless done() is reached: for the calls that an exception
  // can leave half-way through the engine.
  class Breaks {
   public:
    explicit Breaks(bool& broken) : m_broken(broken) {}
    ~Breaks() { m_broken = m_broken || !m_done; }
    void done() { m_done = true; }

   private:
    bool& m_broken;
    bool m_done = false;
  };

  void requireWhole() const {
    if (m_broken)
      throw std::runtime_error(
          "Energy: an earlier call ran out of memory half-way through the max-flow engine, so "
          "this function is incomplete; build a new Energy");
  }
  void requireBuilding() const {
    requireWhole();
    if (m_solved) throw GCException("Energy: nothing can be added after minimize()");
  }

  // Counts the arc each term x != y adds from x to y; a batch that would
  // give a variable more than the engine's limit in either direction is
  // refused with every count as before.
  void requireArcs(const IntColumn& xs, const IntColumn& ys, std::size_t rows) {
    int over = -1;
    const char* role = "x";
    for (std::size_t row = 0; row < rows; ++row) {
      if (xs[row] == ys[row]) continue;
      if (++m_out[xs[row]] > Graph::MAX_ARCS_PER_NODE && over < 0) over = xs[row], role = "x";
      if (++m_in[ys[row]] > Graph::MAX_ARCS_PER_NODE && over < 0) over = ys[row], role = "y";
    }
    if (over < 0) return;
    for (std::size_t row = 0; row < rows; ++row)
      if (xs[row] != ys[row]) --m_out[xs[row]], --m_in[ys[row]];
    throw py::value_error(
        format("add_term2: variable %d would be %s in more than %d pair terms, "
               "the most the engine takes",
               over, role, Graph::MAX_ARCS_PER_NODE));
  }

  std::unique_ptr<Energy> m_energy;
  std::vector<void*> m_nodes;  // variable k is node m_nodes[k]
  std::vector<int> m_out;      // per variable: terms with it as x (arcs leaving it)
  std::vector<int> m_in;       // per variable: terms with it as y (arcs entering it)
  long long m_bound = 0;       // sum over terms of their largest |value|
  bool m_solved = false;
  int m_minimum = 0;
  std::vector<std::uint8_t> m_values;  // after minimize: 0 or 1 per variable
  bool m_busy = false;
  bool m_broken = false;  // an engine call failed half-way
};

}  // namespace

void bindEnergy(py::module_& m) {
  py::class_<BinaryEnergy>(
      m, "Energy", R"(A function of binary variables, the sum of unary terms E(x) and pair terms
E(x, y), minimised exactly by one minimum cut. Pair terms must be regular:
E(0,0) + E(1,1) <= E(0,1) + E(1,0). Values are 32-bit ints; the sum over terms
of their largest |value| may not exceed 429496729, and a variable may be x in
at most 1024 pair terms and y in at most 1024. Term arguments are scalars or
1-D int arrays of one length (a scalar stands for every term).)")
      .def(py::init<>())
      .def(
          "add_variable", [](BinaryEnergy& e) { return e.addVariables(1); },
          "Adds one variable; returns its index.")
      .def("add_variables", &BinaryEnergy::addVariables, py::arg("count"),
           "Adds count variables; returns the index of the first.")
      .def_property_readonly("num_variables", &BinaryEnergy::numVariables)
      .def("add_term1", &BinaryEnergy::addTerm1, py::arg("x"), py::arg("e0"), py::arg("e1"),
           "Adds E(x) = e0 if x is 0, e1 if x is 1.")
      .def("add_term2", &BinaryEnergy::addTerm2, py::arg("x"), py::arg("y"), py::arg("e00"),
           py::arg("e01"), py::arg("e10"), py::arg("e11"),
           "Adds E(x, y) = e00, e01, e10, e11 for (x, y) = (0,0), (0,1), (1,0), (1,1).")
      .def("minimize", &BinaryEnergy::minimize,
           "Returns the minimum of the function (runs without the GIL). Call after every term; "
           "nothing can be added afterwards.")
      .def_property_readonly("labels", &BinaryEnergy::labels,
                             "uint8 array of every variable's value in a minimum, after "
                             "minimize(); a variable is 1 unless it is 0 in every minimum.");
}
