// Multi-label graph-cut optimizer. A problem has m_num_sites sites and
// m_num_labels labels; the optimizer keeps one label per site and lowers
//   E = sum_s D(s, l_s) + sum_{pairs {s,t}} w(s,t) * V(s, t, l_s, l_t)
// by alpha-expansion or alpha-beta swap moves. Every move is a binary energy
// with one variable per site that may change, minimised exactly by one
// max-flow (flow/energy.h); a move never raises the energy, an iteration runs
// one move per label (expansion) or per label pair (swap).
// This header declares the base class; a subclass supplies the
// neighbourhood (GCgeneralGraph.h, GCgridGraph.h, GCgrid3DGraph.h), and
// callers include GCoptimization.h.
//
// Invariants: every label in m_labeling lies in 0..m_num_labels-1;
// m_site_to_var is -1 for every site outside a move, however the move ends.
// The neighbourhood (a subclass) must be symmetric with equal weights both
// ways; each pair is counted once, at its larger-index site.
//
// Costs: each cost source is bound once, at installation, to member-function
// instances for its type, so evaluating a cost is a table read, a plain call,
// or one virtual call for a functor. An iteration costs one max-flow per move.
//
// 32-bit contract: costs, weights, energies and capacities are 32-bit signed
// ints and nothing checks sums or products for overflow. The caller keeps every
// weight x cost, their sums at any one site, and the total energy well inside
// that range (the dticut driver bounds its costs for this).
//
// Move preconditions, checked by the engine's assertion "B + C >= 0": for
// expansion w * (V(a,a) + V(l1,l2)) <= w * (V(a,l2) + V(l1,a)) for every label
// a met (a metric such as Potts or truncated linear satisfies it); for swap
// w * (V(a,a) + V(b,b)) <= w * (V(a,b) + V(b,a)). In one move a site may pair
// with at most MAX_MOVE_NEIGHBORS (1024) variable neighbours of smaller and as
// many of larger index.
#ifndef OPTIMIZER_GCBASE_H_
#define OPTIMIZER_GCBASE_H_

#include <cassert>
#include <cstddef>

#include "flow/graph.h"  // the engine's arc limit, which bounds a move's neighbours

class Energy;
class GridGraph3D;

// The optimizer's only exception: a usage error carrying one of its fixed
// messages (not owned).
class GCException {
 public:
  explicit GCException(const char* text) : message(text) {}

  // Prints "\n<message>\n" on standard output and ends the process with
  // exit status 1, so that a reported error never looks like success.
  [[noreturn]] void Report();

  const char* message;
};

class GCoptimization {
 public:
  // The most variable neighbours of smaller index a site may have in one
  // move, and the most of larger index: each is an arc of the site's
  // variable, leaving it towards the smaller index, so the engine's limit
  // applies on both sides.
  static constexpr int MAX_MOVE_NEIGHBORS = Graph::MAX_ARCS_PER_NODE;

  // ---- Types -------------------------------------------------------------
  typedef int (*DataCostFn)(int s, int l);
  typedef int (*DataCostFnExtra)(int s, int l, void* extra);
  typedef int (*SmoothCostFn)(int s1, int s2, int l1, int l2);
  typedef int (*SmoothCostFnExtra)(int s1, int s2, int l1, int l2, void* extra);

  // Cost objects written by the user. The optimizer only calls computeCost
  // and never destroys them.
  class DataCostFunctor {
   public:
    virtual int computeCost(int s, int l) = 0;
    virtual ~DataCostFunctor() {}
  };
  class SmoothCostFunctor {
   public:
    virtual int computeCost(int s1, int s2, int l1, int l2) = 0;
    virtual ~SmoothCostFunctor() {}
  };

  // Source records made by the setters; each is a heap copy owned by the
  // optimizer, never owning the table or extra data it points to.
  struct DataCostFnFromArray {
    int* m_array;  // m_num_sites rows of m_row_length costs
    int m_row_length;
    int computeCost(int s, int l) const { return m_array[std::ptrdiff_t(s) * m_row_length + l]; }
  };
  struct DataCostFnFromFunction {
    DataCostFn m_fn;
    int computeCost(int s, int l) const { return m_fn(s, l); }
  };
  struct DataCostFnFromFunctionExtra {
    DataCostFnExtra m_fn;
    void* m_extra;
    int computeCost(int s, int l) const { return m_fn(s, l, m_extra); }
  };
  struct SmoothCostFnFromArray {
    int* m_array;  // m_row_length rows of m_row_length costs; sites ignored
    int m_row_length;
    int computeCost(int, int, int l1, int l2) const { return m_array[l1 * m_row_length + l2]; }
  };
  struct SmoothCostFnFromFunction {
    SmoothCostFn m_fn;
    int computeCost(int s1, int s2, int l1, int l2) const { return m_fn(s1, s2, l1, l2); }
  };
  struct SmoothCostFnFromFunctionExtra {
    SmoothCostFnExtra m_fn;
    void* m_extra;
    int computeCost(int s1, int s2, int l1, int l2) const { return m_fn(s1, s2, l1, l2, m_extra); }
  };

  // ---- Construction ------------------------------------------------------
  // Sites first, labels second; asserts nLabels > 1 and nSites > 0. Labels
  // start at 0, the label table is the identity, and the process-wide random
  // generator is reseeded from the clock (it drives the label shuffle).
  GCoptimization(int nSites, int nLabels);
  virtual ~GCoptimization();
  GCoptimization(const GCoptimization&) = delete;
  GCoptimization& operator=(const GCoptimization&) = delete;

  // ---- Building ----------------------------------------------------------
  // Each side (data, smoothness) takes exactly one source; a second one raises
  // "Data Costs are already initialized" / "Smoothness Costs are already
  // initialized". Tables, functions, extra data and functors stay the caller's
  // and must outlive the optimizer; tables are read at every use.
  void setDataCost(int* dataArray);  // dataArray[s * m_num_labels + l]
  void setDataCost(DataCostFn fn);
  void setDataCost(DataCostFnExtra fn, void* extraData);
  void setDataCostFunctor(DataCostFunctor* f);
  // One entry of the optimizer's own zero-initialised table; the first call
  // installs that table, later calls keep writing into it.
  void setDataCost(int site, int label, int e);

  void setSmoothCost(int* smoothArray);  // smoothArray[l1 * m_num_labels + l2]
  void setSmoothCost(SmoothCostFn fn);
  void setSmoothCost(SmoothCostFnExtra fn, void* extraData);
  void setSmoothCostFunctor(SmoothCostFunctor* f);
  void setSmoothCost(int l1, int l2, int e);  // only (l1, l2), not (l2, l1)

  // With true, every iteration begins by shuffling the label table.
  void setLabelOrder(bool scramble) { m_scramble_labels = scramble; }

  // Watching an optimisation: expansion() and swap() call fn(0, energy,
  // extra) with the energy they start from, then fn(k, energy, extra) after
  // iteration k (from 1) with the energy it reached, before deciding whether
  // to go on; a null fn (the default) watches nothing. It must not change
  // the optimizer.
  typedef void (*IterationFn)(int iteration, int energy, void* extra);
  void setIterationCallback(IterationFn fn, void* extra) {
    m_iteration_fn = fn;
    m_iteration_extra = extra;
  }

  // Stopping an optimisation early: fn(extra) is asked before each move,
  // once its binary energy is built, and every Graph::INTERRUPT_STEPS steps
  // of its max-flow search. When it returns true the move in progress is
  // discarded (no site changes label), expansion() or swap() returns at
  // once the energy of the labels as the last completed move left them, and
  // interrupted() is true until the next move starts. A null fn (the
  // default) asks nothing.
  void setInterruptCheck(Graph::InterruptFn fn, void* extra) {
    m_interrupt_fn = fn;
    m_interrupt_extra = extra;
  }
  bool interrupted() const { return m_interrupted; }

  // ---- Solving -----------------------------------------------------------
  // Iterates until an iteration does not strictly lower the energy or the
  // limit is reached (no iteration for a limit <= 0); returns the energy.
  // The max-flow engine's fatal errors inside a move raise GCException
  // ("Not enough memory", or too many arcs at one node) instead of ending
  // the process; the move is then discarded as if interrupted.
  int expansion(int max_num_iterations);
  int oneExpansionIteration();
  // Over every site not labelled alpha. A neighbourhood that can build this
  // move without listing its sites (the 3-D grid) does so; the move is the
  // same.
  virtual void alpha_expansion(int alpha_label);
  // Restricted to the given distinct sites; those already labelled alpha
  // stay out of the move.
  void alpha_expansion(int alpha_label, int* sites, int num);

  int swap(int max_num_iterations);
  // Pairs in label-table positions i ascending, j descending, smaller label
  // first: with three labels (0,2), (0,1), (1,2).
  int oneSwapIteration();
  void alpha_beta_swap(int alpha_label, int beta_label);
  // The alpha sites must carry alpha and the beta sites beta (asserted).
  void alpha_beta_swap(int alpha_label, int beta_label, int* alphaSites, int alpha_size,
                       int* betaSites, int beta_size);

  // n random exchanges in place (n = m_num_labels), two rand() calls each.
  void scramble_label_table();

  // ---- Queries -----------------------------------------------------------
  // Neighbours of a valid site: their count, indices and parallel weights.
  // The arrays belong to the subclass: the general and the 2-D grid
  // neighbourhood's stay valid while the neighbourhood is unchanged, the 3-D
  // grid's (made on demand) until its next query. List order is the order
  // in which moves add their terms.
  virtual void giveNeighborInfo(int site, int* numSites, int** neighbors, int** weights) = 0;
  // Raises the missing-source message when a cost is not installed;
  // subclasses also prepare their neighbourhood here.
  virtual bool readyToOptimise();
  int compute_energy();  // runs readyToOptimise, then data part + smoothness part
  // The two parts of the energy; each first runs readyToOptimise, so they are
  // valid whenever compute_energy is.
  int giveDataEnergy();
  int giveSmoothEnergy();
  // Inline: a caller reading every site's label pays no call per site.
  int whatLabel(int site) {
    assert(site >= 0 && site < m_num_sites);
    return m_labeling[site];
  }

  // Throws a GCException carrying `message`, one of the fixed texts.
  [[noreturn]] void handleError(const char* message);

 protected:
  typedef int (GCoptimization::*EnergyOp)();
  typedef void (GCoptimization::*ExpansionOp)(int size, int alpha_label, Energy* e,
                                              void** variables, int* activeSites);
  typedef void (GCoptimization::*SwapOp)(int size, int alpha_label, int beta_label, Energy* e,
                                         void** variables, int* activeSites);
  // A grid move's data terms: node nodes[k] of the grid engine gets site
  // activeSites[k]'s, evaluated as in an expansion's (alpha's cost first).
  typedef void (GCoptimization::*GridExpansionOp)(int size, int alpha_label, GridGraph3D* g,
                                                  const uint32_t* nodes, int* activeSites);
  typedef void (*DeleteFn)(void* source);

  // Frees variables the move had to allocate and resets m_site_to_var of its
  // active sites, however the move ends.
  class MoveScope;

  // Builds, solves and applies one move over activeSites; m_site_to_var of
  // each listed site holds its position in the list on entry.
  void solveExpansion(int size, int* activeSites, int alpha_label);
  void solveSwap(int size, int* activeSites, int alpha_label, int beta_label);
  void set_up_expansion_energy(int size, int alpha_label, Energy* e, void** variables,
                               int* activeSites);
  void set_up_swap_energy(int size, int alpha_label, int beta_label, Energy* e, void** variables,
                          int* activeSites);

  // Asks m_interrupt_fn, if any; remembers a yes in m_interrupted.
  bool interruptRequested();

  // The energy an expansion iteration returns: compute_energy's, or, when
  // its last move left the energy of the labeling it made (m_energy_known),
  // that value after the same readiness check.
  int energyAfterMoves();

  // The binary energy of the next move: the one kept from the previous move,
  // emptied, or a new one (raises "Not enough memory"), asking the
  // optimizer's interrupt check. It stays the optimizer's and is freed with
  // the rest of the move space.
  Energy* emptiedMoveEnergy();
  // The same for a move on a dimX x dimY x dimZ grid engine (over the sites
  // of siteOf, when not null, which numbers the m_num_sites sites: see
  // flow/gridGraph3D.h): kept from the previous grid move, emptied and
  // sized, or new; freed with the move space.
  GridGraph3D* emptiedGridMove(int dimX, int dimY, int dimZ, const int* siteOf);

  // Allocates `count` items or raises "Not enough memory".
  template <typename T>
  T* allocate(std::size_t count);
  // Allocates every int array of a group or none: on failure the arrays
  // obtained are freed, the pointers left null, and "Not enough memory" raised.
  void allocateAll(int num, int** arrays[], const std::size_t counts[]);

  int m_num_labels;
  int m_num_sites;
  int* m_labeling;
  int* m_site_to_var;  // position in the current move's site list; -1 outside moves
  int* m_label_table;  // label visiting order, always a permutation
  bool m_scramble_labels;
  IterationFn m_iteration_fn;  // null: nobody watches
  void* m_iteration_extra;
  Graph::InterruptFn m_interrupt_fn;  // null: nothing stops a move
  void* m_interrupt_extra;
  bool m_interrupted;  // the last expansion() or swap() was stopped by m_interrupt_fn
  // Set by a move that knows the energy of the labeling it leaves, exactly
  // as compute_energy would sum it, with costs whose reads nobody observes;
  // an expansion iteration clears it on entry, and a move that may set it
  // clears it first.
  bool m_energy_known;
  int m_known_energy;
  bool m_data_from_table;  // the data costs are read from a table (no call to the caller)
  int* m_entry_data_costs;    // own table of the entry-by-entry data setter, or null
  int* m_entry_smooth_costs;  // own table of the entry-by-entry smoothness setter, or null
  void* m_data_source;        // installed source; its type is fixed by the ops below
  void* m_smooth_source;
  EnergyOp m_data_energy_op;
  EnergyOp m_smooth_energy_op;
  ExpansionOp m_expansion_n_links_op;
  ExpansionOp m_expansion_t_links_op;
  GridExpansionOp m_grid_t_links_op;
  SwapOp m_swap_n_links_op;
  SwapOp m_swap_t_links_op;
  DeleteFn m_data_source_delete;  // null when the caller owns the source (functor)
  DeleteFn m_smooth_source_delete;

 private:
  template <typename DataSource>
  void specializeDataCostFunctor(const DataSource source);
  template <typename SmoothSource>
  void specializeSmoothCostFunctor(const SmoothSource source);
  template <typename DataSource>
  void bindDataSource();
  template <typename SmoothSource>
  void bindSmoothSource();
  template <typename T>
  static void deleteFunctor(void* source);

  template <typename DataSource>
  int giveDataEnergyInternal();
  template <typename SmoothSource>
  int giveSmoothEnergyInternal();
  template <typename DataSource>
  void set_up_t_links_expansion(int size, int alpha_label, Energy* e, void** variables,
                                int* activeSites);
  template <typename DataSource>
  void set_up_t_links_grid(int size, int alpha_label, GridGraph3D* g, const uint32_t* nodes,
                           int* activeSites);
  template <typename SmoothSource>
  void set_up_n_links_expansion(int size, int alpha_label, Energy* e, void** variables,
                                int* activeSites);
  template <typename DataSource>
  void set_up_t_links_swap(int size, int alpha_label, int beta_label, Energy* e, void** variables,
                           int* activeSites);
  template <typename SmoothSource>
  void set_up_n_links_swap(int size, int alpha_label, int beta_label, Energy* e, void** variables,
                           int* activeSites);

  // Shared by both moves. A variable at 0 takes alpha; at 1 it takes beta in a
  // swap (kSwap) or keeps its current label in an expansion.
  // `add(k, cost of the sink side, cost of the source side)` for each listed site.
  template <typename DataSource, bool kSwap, typename AddUnary>
  void addUnaryTerms(int size, int alpha_label, int beta_label, int* activeSites, AddUnary add);
  template <typename SmoothSource, bool kSwap>
  void addPairTerms(int size, int alpha_label, int beta_label, Energy* e, void** variables,
                    int* activeSites);
  template <bool kSwap>
  void solveMove(int size, int* activeSites, int alpha_label, int beta_label);

  int iterate(int max_num_iterations, int (GCoptimization::*oneIteration)());
  // Space for `count` items of a move: `buffer` (m_num_sites items, made at
  // the first move and kept), or, for a longer list, a new array left in
  // `owned` for the caller to free.
  template <typename T>
  T* moveBuffer(T*& buffer, std::size_t count, T*& owned);
  // Frees what the moves keep from one move to the next.
  void releaseMoveSpace();

  // Working space of the moves, kept from one move to the next until the end
  // of expansion() or swap(), or the optimizer's destruction: a move over a
  // large volume then neither allocates nor faults in fresh pages.
  int* m_move_sites;        // the active-site list of the moves over all sites
  void** m_move_variables;  // the variables of a move
  Energy* m_move_energy;    // the binary energy, emptied (Graph::reset) for each move
  GridGraph3D* m_grid_move; // the grid engine of a grid subclass's moves, likewise
  // The zeroed own table of an entry-by-entry setter; `message` when the
  // side already has a source.
  int* newEntryTable(bool installed, const char* message, std::size_t size);
};

#endif  // OPTIMIZER_GCBASE_H_
