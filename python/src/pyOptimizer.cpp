// dticut.GeneralGraph and dticut.GridGraph: the multi-label optimizer on
// numpy arrays. Each Python object owns one library optimizer and the cost
// tables it reads (the library borrows tables, so the object keeps its own
// copies for as long as the optimizer lives). Before each call reaches the
// library, everything the library would assert on, exit on, or compute
// wrongly in 32 bits is checked here and raised as a Python exception:
// index and label ranges, sizes, the energy budget (pyConvert.h), the arcs a
// move would give one node, and pair terms a graph cut cannot minimise. The
// library's own usage errors arrive as OptimizerError. Checks cost O(1) per
// call, after one O(labels^3) (expansion) or O(labels^2) (swap) pass over the
// smoothness table on first use.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

#include "pyConvert.h"
#include "optimizer/GCoptimization.h"

namespace {

// A library optimizer whose labelling the binding may read and write
// between moves; the base keeps it protected and has no setter.
template <class Base>
class Labelled : public Base {
 public:
  using Base::Base;
  int* labeling() { return this->m_labeling; }
};

// What the pair weights of a neighbourhood mean for the checks. Pairs of a
// site with itself are left out: energy and moves ignore them.
struct PairSummary {
  long long absWeightSum = 0;
  bool positive = false;  // some pair weighs more than 0
  bool negative = false;  // some pair weighs less than 0
  int mostLower = 0;      // most entries of one site that name a smaller-index site
  int mostHigher = 0;     // most entries of one site that name a larger-index site
};

// A move's pair term of weight w between labels (l1, l2) for alpha a is
// regular when w * m >= 0, with the margin
//   m = V(a, l2) + V(l1, a) - V(a, a) - V(l1, l2).
// An expansion meets every triple with l1 != a and l2 != a; a swap of a and
// b the triples (a, b, b). These are the margin's extremes over one set.
struct Margins {
  long long low = LLONG_MAX;
  long long high = LLONG_MIN;
  int lowAt[3] = {0, 0, 0};  // (a, l1, l2)
  int highAt[3] = {0, 0, 0};
};

long long margin(const int* V, int labels, int a, int l1, int l2) {
  return static_cast<long long>(V[a * labels + l2]) + V[l1 * labels + a] - V[a * labels + a] -
         V[l1 * labels + l2];
}

Margins marginsOf(const int* V, int labels, bool swap) {
  Margins found;
  for (int a = 0; a < labels; ++a) {
    for (int l1 = 0; l1 < labels; ++l1) {
      if (l1 == a) continue;
      // A swap meets l2 = l1 only; an expansion every l2 other than a.
      int first = swap ? l1 : 0, last = swap ? l1 : labels - 1;
      for (int l2 = first; l2 <= last; ++l2) {
        if (l2 == a) continue;
        long long m = margin(V, labels, a, l1, l2);
        if (m < found.low) {
          found.low = m;
          found.lowAt[0] = a, found.lowAt[1] = l1, found.lowAt[2] = l2;
        }
        if (m > found.high) {
          found.high = m;
          found.highAt[0] = a, found.highAt[1] = l1, found.highAt[2] = l2;
        }
      }
    }
  }
  return found;
}

class Optimizer {
 public:
  virtual ~Optimizer() = default;
  Optimizer(const Optimizer&) = delete;
  Optimizer& operator=(const Optimizer&) = delete;

  void setDataCost(py::object table) {
    InUse inUse(m_busy, m_name);
    std::vector<int> costs = perSite(table, "data costs", m_labels);
    long long bound = 0;  // sum over sites of the largest |cost|
    for (std::size_t row = 0; row < costs.size(); row += m_labels) {
      long long largest = 0;
      for (int l = 0; l < m_labels; ++l) largest = std::max(largest, std::llabs(costs[row + l]));
      bound += largest;
    }
    m_data = install(std::move(costs), m_data, [&](int* t) { m_optimizer->setDataCost(t); });
    m_dataBound = bound;
  }

  void setSmoothCost(py::object table) {
    InUse inUse(m_busy, m_name);
    installSmoothCost(table, [&](int* t) { m_optimizer->setSmoothCost(t); });
  }

  void setLabels(py::object object) {
    InUse inUse(m_busy, m_name);
    std::vector<int> labels = perSite(object, "labels", 0);
    for (std::size_t s = 0; s < labels.size(); ++s)
      if (labels[s] < 0 || labels[s] >= m_labels)
        throw py::value_error(
            format("labels: %d at site %zu is outside 0 to %d", labels[s], s, m_labels - 1));
    std::copy(labels.begin(), labels.end(), m_labeling);
  }

  py::array_t<int> labels() {
    InUse inUse(m_busy, m_name);
    return copiedArray(m_labeling, static_cast<std::size_t>(m_sites));
  }

  int computeEnergy() {
    return run(kEnergy, [&] { return m_optimizer->compute_energy(); });
  }
  int dataEnergy() {
    return run(kEnergy, [&] { return m_optimizer->giveDataEnergy(); });
  }
  int smoothEnergy() {
    return run(kEnergy, [&] { return m_optimizer->giveSmoothEnergy(); });
  }
  // A negative limit runs until an iteration does not lower the energy; a
  // limit of 0 runs no move, so only the energy's checks apply.
  int expansion(int maxIterations) {
    int limit = maxIterations < 0 ? INT_MAX : maxIterations;
    return run(limit > 0 ? kExpansion : kEnergy, [&] { return m_optimizer->expansion(limit); });
  }
  int swap(int maxIterations) {
    int limit = maxIterations < 0 ? INT_MAX : maxIterations;
    return run(limit > 0 ? kSwap : kEnergy, [&] { return m_optimizer->swap(limit); });
  }

  int numSites() const { return m_sites; }
  int numLabels() const { return m_labels; }

 protected:
  // Refuses sizes the library asserts on: fewer than 2 labels, and more
  // labels than int indexes in a labels x labels table.
  Optimizer(int sites, int labels, const char* name)
      : m_name(name), m_sites(sites), m_labels(labels) {
    if (labels < 2 || labels > 46340)
      throw py::value_error(format("%s: num_labels is %d, expected 2 to 46340", name, labels));
  }

  void attach(GCoptimization* optimizer, int* labeling) {
    m_optimizer.reset(optimizer);
    m_labeling = labeling;
  }

  // Whether the array's first `axes` axes index the sites, and how that
  // reads in a message.
  virtual bool siteAxes(const py::array& array, int axes) const = 0;
  virtual std::string siteShape() const = 0;
  virtual PairSummary pairSummary() const = 0;

  // The values of an array of one value per site (perSite 0) or of one row
  // of perSite values per site, read in C order.
  std::vector<int> perSite(py::handle object, const char* name, int perSite) const {
    py::array array = realArray(object, name);
    int axes = static_cast<int>(array.ndim()) - (perSite > 0 ? 1 : 0);
    if (axes < 1 || !siteAxes(array, axes) || (perSite > 0 && array.shape(axes) != perSite))
      throw py::value_error(format("%s: shape %s, expected %s%s", name, shapeText(array).c_str(),
                                   siteShape().c_str(),
                                   perSite > 0 ? format(" x %d", perSite).c_str() : ""));
    return intValues(array, name);
  }

  // Installs a labels x labels table through `setter` (the plain table, or
  // the grid's table with per-pixel weights).
  void installSmoothCost(py::handle table, const std::function<void(int*)>& setter) {
    py::array array = realArray(table, "smoothness costs");
    if (array.ndim() != 2 || array.shape(0) != m_labels || array.shape(1) != m_labels)
      throw py::value_error(format("smoothness costs: shape %s, expected %d x %d",
                                   shapeText(array).c_str(), m_labels, m_labels));
    std::vector<int> costs = intValues(array, "smoothness costs");
    long long largest = 0;
    for (int cost : costs) largest = std::max(largest, std::llabs(cost));
    m_smooth = install(std::move(costs), m_smooth, setter);
    m_smoothBound = largest;
  }

  const char* m_name;
  bool m_busy = false;
  int m_sites;
  int m_labels;
  std::unique_ptr<GCoptimization> m_optimizer;
  int* m_labeling = nullptr;

 private:
  enum Use { kEnergy, kExpansion, kSwap };

  // Hands a table to the library and keeps it for the optimizer's lifetime;
  // returns the table the library now reads. Every table handed over stays
  // here, so no failure between the library storing a pointer and the
  // setter returning can leave it dangling. With a table installed already
  // the library refuses with its own message; it is given that table again.
  const int* install(std::vector<int> table, const int* installed,
                     const std::function<void(int*)>& setter) {
    if (installed != nullptr) {
      setter(const_cast<int*>(installed));
      return installed;
    }
    m_tables.push_back(std::move(table));
    int* fresh = m_tables.back().data();
    setter(fresh);
    return fresh;
  }

  // Moves look for Ctrl-C as they go (SignalPoll); an interrupted call
  // raises KeyboardInterrupt with the labels as the last completed move left
  // them, so the object can go on from there.
  template <class Call>
  int run(Use use, Call call) {
    InUse inUse(m_busy, m_name);
    requireSafe(use);
    SignalPoll poll;
    Polled<GCoptimization> polled(*m_optimizer, &GCoptimization::setInterruptCheck, poll);
    int energy;
    {
      py::gil_scoped_release released;
      energy = call();
    }
    poll.raiseIfInterrupted();
    return energy;
  }

  // Everything the library would assert on, exit on or overflow in; a
  // missing cost is left to the library, which reports it.
  void requireSafe(Use use) {
    if (m_data == nullptr || m_smooth == nullptr) return;
    const PairSummary pairs = pairSummary();
    // In long double, whose 64-bit mantissa is exact for every total near
    // the budget; far larger ones need no exact figure.
    requireWithinBudget(static_cast<long double>(m_dataBound) +
                            static_cast<long double>(pairs.absWeightSum) * m_smoothBound,
                        m_name);
    if (use == kEnergy) return;

    const char* move = use == kExpansion ? "expansion" : "swap";
    const int most = GCoptimization::MAX_MOVE_NEIGHBORS;
    if (pairs.mostLower > most || pairs.mostHigher > most)
      throw py::value_error(
          format("%s: a site has %d neighbour entries of smaller index and one "
                 "has %d of larger index (repeated pairs count again); a move "
                 "takes at most %d of each",
                 move, pairs.mostLower, pairs.mostHigher, most));
    std::optional<Margins>& cached = use == kExpansion ? m_expansionMargins : m_swapMargins;
    if (!cached) cached = marginsOf(m_smooth, m_labels, use == kSwap);
    if (pairs.positive && cached->low < 0) refuseMargin(use, cached->lowAt, true);
    if (pairs.negative && cached->high > 0) refuseMargin(use, cached->highAt, false);
  }

  [[noreturn]] void refuseMargin(Use use, const int* at, bool positive) const {
    const int* V = m_smooth;
    int a = at[0], l1 = at[1], l2 = at[2], L = m_labels;
    long long across = static_cast<long long>(V[a * L + l2]) + V[l1 * L + a];
    long long along = static_cast<long long>(V[a * L + a]) + V[l1 * L + l2];
    throw py::value_error(format(
        "%s: V(%d, %d) + V(%d, %d) = %lld %s V(%d, %d) + V(%d, %d) = %lld, so a pair of %s "
        "weight gives a move that a graph cut cannot solve%s",
        use == kExpansion ? "expansion" : "swap", a, l2, l1, a, across, positive ? "<" : ">", a, a,
        l1, l2, along, positive ? "positive" : "negative",
        positive && use == kExpansion ? " (expansion needs a metric smoothness cost, such as Potts "
                                        "or truncated linear; swap may still apply)"
                                      : ""));
  }

  std::vector<std::vector<int>> m_tables;  // every table handed to the library
  const int* m_data = nullptr;             // the installed data table, or null
  const int* m_smooth = nullptr;           // the installed smoothness table, or null
  long long m_dataBound = 0;               // sum over sites of the largest |data cost|
  long long m_smoothBound = 0;             // largest |smoothness cost|
  std::optional<Margins> m_expansionMargins;
  std::optional<Margins> m_swapMargins;
};

class GeneralGraph : public Optimizer {
 public:
  GeneralGraph(int sites, int labels) : Optimizer(sites, labels, "GeneralGraph") {
    if (sites < 2)
      throw py::value_error(format("GeneralGraph: num_sites is %d, expected at least 2", sites));
    Labelled<GCoptimizationGeneralGraph>* graph =
        new Labelled<GCoptimizationGeneralGraph>(sites, labels);
    m_graph = graph;
    attach(graph, graph->labeling());
    m_lower.assign(static_cast<std::size_t>(sites), 0);
    m_higher.assign(static_cast<std::size_t>(sites), 0);
  }

  // Checks every pair before declaring any, so a refused call declares none.
  void setNeighbors(py::object p, py::object q, py::object w) {
    InUse inUse(m_busy, m_name);
    std::size_t rows;
    std::vector<IntColumn> pairs = intColumns({{p, "p"}, {q, "q"}, {w, "w"}}, &rows);
    for (std::size_t row = 0; row < rows; ++row) {
      requireIndex(pairs[0][row], m_sites, "set_neighbors", "site");
      requireIndex(pairs[1][row], m_sites, "set_neighbors", "site");
    }
    for (std::size_t row = 0; row < rows; ++row) {
      int site1 = pairs[0][row], site2 = pairs[1][row], weight = pairs[2][row];
      m_graph->setNeighbors(site1, site2, weight);
      if (site1 == site2) continue;
      m_pairs.absWeightSum += std::llabs(weight);
      m_pairs.positive = m_pairs.positive || weight > 0;
      m_pairs.negative = m_pairs.negative || weight < 0;
      // The larger-index site names a smaller one, and the other way round.
      m_pairs.mostLower = std::max(m_pairs.mostLower, ++m_lower[std::max(site1, site2)]);
      m_pairs.mostHigher = std::max(m_pairs.mostHigher, ++m_higher[std::min(site1, site2)]);
    }
  }

 protected:
  bool siteAxes(const py::array& array, int axes) const override {
    return axes == 1 && array.shape(0) == m_sites;
  }
  std::string siteShape() const override { return format("%d", m_sites); }
  PairSummary pairSummary() const override { return m_pairs; }

 private:
  GCoptimizationGeneralGraph* m_graph;
  std::vector<int> m_lower;   // per site: entries naming a smaller-index site
  std::vector<int> m_higher;  // per site: entries naming a larger-index site
  PairSummary m_pairs;
};

class GridGraph : public Optimizer {
 public:
  GridGraph(int width, int height, int labels)
      : Optimizer(checkedSites(width, height), labels, "GridGraph"),
        m_width(width),
        m_height(height) {
    Labelled<GCoptimizationGridGraph>* grid =
        new Labelled<GCoptimizationGridGraph>(width, height, labels);
    m_grid = grid;
    attach(grid, grid->labeling());
    m_pairs.absWeightSum =
        static_cast<long long>(width - 1) * height + static_cast<long long>(width) * (height - 1);
    m_pairs.positive = true;
    m_pairs.mostLower = m_pairs.mostHigher = 2;
  }

  // V[p] weighs the pair of p and the pixel below it, H[p] the pair of p and
  // the pixel to its right; the library copies them.
  void setSmoothCostVH(py::object table, py::object vertical, py::object horizontal) {
    InUse inUse(m_busy, m_name);
    std::vector<int> V = perSite(vertical, "V", 0);
    std::vector<int> H = perSite(horizontal, "H", 0);
    installSmoothCost(table, [&](int* t) {
      m_grid->setSmoothCostVH(t, V.data(), H.data());
      m_pairs = PairSummary();
      m_pairs.mostLower = m_pairs.mostHigher = 2;
      for (int p = 0; p < m_sites; ++p) {
        bool right = p % m_width < m_width - 1, below = p / m_width < m_height - 1;
        for (int weight : {right ? H[p] : 0, below ? V[p] : 0}) {
          m_pairs.absWeightSum += std::llabs(weight);
          m_pairs.positive = m_pairs.positive || weight > 0;
          m_pairs.negative = m_pairs.negative || weight < 0;
        }
      }
    });
  }

  int width() const { return m_width; }
  int height() const { return m_height; }

 protected:
  bool siteAxes(const py::array& array, int axes) const override {
    return (axes == 1 && array.shape(0) == m_sites) ||
           (axes == 2 && array.shape(0) == m_height && array.shape(1) == m_width);
  }
  std::string siteShape() const override {
    return format("%d or %d x %d", m_sites, m_height, m_width);
  }
  PairSummary pairSummary() const override { return m_pairs; }

 private:
  static int checkedSites(int width, int height) {
    if (width < 2 || height < 2 || static_cast<long long>(width) * height > INT_MAX)
      throw py::value_error(
          format("GridGraph: %d x %d pixels, expected at least 2 x 2 and at "
                 "most %d in all",
                 width, height, INT_MAX));
    return width * height;
  }

  int m_width;
  int m_height;
  GCoptimizationGridGraph* m_grid;
  PairSummary m_pairs;
};

const char* const kMaxIterationsDoc =
    "max_iterations: at most this many iterations; a negative value (the default) runs until an "
    "iteration does not lower the energy.";

}  // namespace

void bindOptimizer(py::module_& m) {
  py::class_<Optimizer>(
      m, "Optimizer", R"(The multi-label graph-cut optimizer that GeneralGraph and GridGraph share.
It lowers E = sum_s D(s, l_s) + sum_{pairs s,t} w(s,t) * V(l_s, l_t) over the
labels l_s in 0..num_labels-1, starting from every label 0.

Costs are 32-bit ints, copied when set. Before each call, what the C++ library
cannot handle is refused with ValueError: costs whose largest possible energy
exceeds 429496729 (so that no 32-bit sum can overflow), more than 1024
neighbours of smaller (or of larger) index at one site in a move, and
smoothness costs that make a move's pair terms non-regular for the signs of the
pair weights (expansion needs a metric for positive weights). The library's
usage errors raise OptimizerError.)")
      .def_property_readonly("num_sites", &Optimizer::numSites)
      .def_property_readonly("num_labels", &Optimizer::numLabels)
      .def("set_data_cost", &Optimizer::setDataCost, py::arg("costs"),
           "costs: int array num_sites x num_labels, costs[s, l] = D(s, l). Copied; set once.")
      .def("set_smooth_cost", &Optimizer::setSmoothCost, py::arg("costs"),
           "costs: int array num_labels x num_labels, costs[l1, l2] = V(l1, l2). Copied; set "
           "once.")
      .def("set_labels", &Optimizer::setLabels, py::arg("labels"),
           "labels: one label in 0..num_labels-1 per site, the start of the next move.")
      .def_property_readonly("labels", &Optimizer::labels,
                             "int32 array of the current label of every site (a copy).")
      .def("compute_energy", &Optimizer::computeEnergy, "The energy of the current labels.")
      .def("data_energy", &Optimizer::dataEnergy, "The data part of the energy.")
      .def("smooth_energy", &Optimizer::smoothEnergy, "The smoothness part of the energy.")
      .def("expansion", &Optimizer::expansion, py::arg("max_iterations") = -1,
           (std::string("Alpha-expansion: each iteration runs one move per label, in which any "
                        "site may take that label; returns the energy. Runs without the GIL.\n") +
            kMaxIterationsDoc)
               .c_str())
      .def("swap", &Optimizer::swap, py::arg("max_iterations") = -1,
           (std::string("Alpha-beta swap: each iteration runs one move per pair of labels, in "
                        "which their sites may exchange them; returns the energy. Runs without "
                        "the GIL.\n") +
            kMaxIterationsDoc)
               .c_str());

  py::class_<GeneralGraph, Optimizer>(m, "GeneralGraph",
                                      "The optimizer over pairs of sites declared with "
                                      "set_neighbors.")
      .def(py::init<int, int>(), py::arg("num_sites"), py::arg("num_labels"),
           "num_sites >= 2 sites, num_labels >= 2 labels.")
      .def("set_neighbors", &GeneralGraph::setNeighbors, py::arg("p"), py::arg("q"), py::arg("w"),
           R"(Declares the pairs (p, q) of weight w. Each argument is a scalar or a 1-D
int array (one pair per entry; a scalar stands for every pair). Pairs are not
merged: one declared twice counts twice. Allowed until the first energy or
move; all pairs are checked before any is declared.)");

  py::class_<GridGraph, Optimizer>(m, "GridGraph",
                                   R"(The optimizer over a width x height grid of pixels, each
paired with its 4 neighbours; pixel (x, y) is site x + y * width. Per-site
arrays may also be given as height x width (and data costs as
height x width x num_labels).)")
      .def(py::init<int, int, int>(), py::arg("width"), py::arg("height"), py::arg("num_labels"),
           "width, height >= 2 pixels, num_labels >= 2 labels.")
      .def_property_readonly("width", &GridGraph::width)
      .def_property_readonly("height", &GridGraph::height)
      .def("set_smooth_cost_vh", &GridGraph::setSmoothCostVH, py::arg("costs"), py::arg("V"),
           py::arg("H"),
           R"(Sets the smoothness costs (as set_smooth_cost) and per-pixel pair weights:
V[p] for the pair of p and the pixel below it, H[p] for p and the pixel to its
right (weights of the last row and column are not used). Without it every pair
weighs 1.)");
}
