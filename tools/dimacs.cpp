#include "tools/dimacs.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

constexpr int64_t kIntMax = INT_MAX;

// What the graph makes of an arc (see dimacs.h).
enum class ArcUse { direct, dropped, from_source, to_sink, inner };

ArcUse use_of(const DimacsArc& a, int s, int t) {
  if (a.from == s && a.to == t) return ArcUse::direct;
  if (a.to == s || a.from == t || a.from == a.to) return ArcUse::dropped;
  if (a.from == s) return ArcUse::from_source;
  if (a.to == t) return ArcUse::to_sink;
  return ArcUse::inner;
}

// A node's arcs are spread over copies of it when they exceed the engine's
// limit on either side. The copies form a binary tree (copy j hangs under
// copy (j - 1) / 2), so a copy meets at most three others, and every join
// between two copies is one arc in each direction, or two in each when the
// join capacity exceeds one arc's (see build_dimacs_graph); a copy keeps
// room for the join arcs and takes at most kArcsPerCopy of the node's arcs
// on each side.
constexpr int kMaxJoinPieces = 2;
constexpr int kArcsPerCopy = kEngineArcsPerNode - 3 * kMaxJoinPieces;

class Parser {
 public:
  Parser(const char* data, std::size_t size, DimacsProblem& problem, DimacsError& error)
      : rest_(data, size), problem_(problem), error_(error) {}

  bool run() {
    problem_ = DimacsProblem();
    while (!rest_.empty()) {
      ++line_;
      std::size_t eol = rest_.find('\n');
      line_text_ = rest_.substr(0, eol);
      rest_ = eol == std::string_view::npos ? std::string_view() : rest_.substr(eol + 1);
      if (!line_text_.empty() && line_text_.back() == '\r') line_text_.remove_suffix(1);
      std::string_view kind = token();
      if (kind.empty() || kind[0] == 'c') continue;
      bool ok = kind == "p"   ? problem_line()
                : kind == "n" ? node_line()
                : kind == "a" ? arc_line()
                              : fail("unknown line kind '" + std::string(kind) +
                                     "', expected c, p, n or a");
      if (!ok) return false;
    }
    line_ = std::max(line_, 1);
    if (!p_line_) return fail("no problem line 'p max N M'");
    if (problem_.source < 0) return fail("no source line 'n ID s'");
    if (problem_.sink < 0) return fail("no sink line 'n ID t'");
    if (static_cast<int64_t>(problem_.arcs.size()) != declared_arcs_) {
      line_ = p_line_;
      return fail("problem line declares " + std::to_string(declared_arcs_) + " arcs, found " +
                  std::to_string(problem_.arcs.size()));
    }
    return true;
  }

 private:
  bool fail(const std::string& message) {
    error_.line = line_;
    error_.message = message;
    return false;
  }

  // The next whitespace-separated token of the current line; empty at its end.
  std::string_view token() {
    std::size_t b = line_text_.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
      line_text_ = std::string_view();
      return line_text_;
    }
    std::size_t e = line_text_.find_first_of(" \t", b);
    std::string_view t = line_text_.substr(b, e == std::string_view::npos ? e : e - b);
    line_text_ = e == std::string_view::npos ? std::string_view() : line_text_.substr(e);
    return t;
  }

  // Reads the next token as an integer in [lo, hi] into `value`.
  bool integer(const char* what, int64_t lo, int64_t hi, int64_t& value) {
    std::string_view t = token();
    if (t.empty()) return fail(std::string("missing ") + what);
    std::size_t i = t[0] == '-' ? 1 : 0;
    if (i == t.size()) return fail(std::string(what) + " is not an integer: '" + std::string(t) + "'");
    int64_t v = 0;
    bool too_big = false;
    for (; i < t.size(); ++i) {
      if (t[i] < '0' || t[i] > '9') {
        return fail(std::string(what) + " is not an integer: '" + std::string(t) + "'");
      }
      if (v > kIntMax) {
        too_big = true;
      } else {
        v = v * 10 + (t[i] - '0');
      }
    }
    if (t[0] == '-') v = -v;
    if (too_big || v < lo || v > hi) {
      return fail(std::string(what) + " " + std::string(t) + " out of range " + std::to_string(lo) +
                  ".." + std::to_string(hi));
    }
    value = v;
    return true;
  }

  bool end_of_line(const char* form) {
    std::string_view t = token();
    if (t.empty()) return true;
    return fail("unexpected '" + std::string(t) + "' after '" + form + "'");
  }

  bool need_p_line(const char* kind) {
    if (p_line_) return true;
    return fail(std::string(kind) + " line before the problem line 'p max N M'");
  }

  bool problem_line() {
    if (p_line_) return fail("second problem line (the first is line " + std::to_string(p_line_) + ")");
    std::string_view kind = token();
    if (kind != "max") return fail("problem kind is '" + std::string(kind) + "', expected 'max'");
    int64_t n, m;
    if (!integer("node count", 2, kIntMax, n) || !integer("arc count", 0, kIntMax, m) ||
        !end_of_line("p max N M")) {
      return false;
    }
    p_line_ = line_;
    problem_.nodes = static_cast<int>(n);
    declared_arcs_ = m;
    return true;
  }

  bool node_line() {
    int64_t id;
    if (!need_p_line("n")) return false;
    if (first_arc_line_) {
      return fail("node line after the first arc (line " + std::to_string(first_arc_line_) + ")");
    }
    if (!integer("node id", 1, problem_.nodes, id)) return false;
    std::string_view which = token();
    int* slot = which == "s" ? &problem_.source : which == "t" ? &problem_.sink : nullptr;
    if (!slot) return fail("node designation is '" + std::string(which) + "', expected s or t");
    if (!end_of_line("n ID s|t")) return false;
    if (*slot >= 0) return fail(std::string(which == "s" ? "source" : "sink") + " given twice");
    *slot = static_cast<int>(id - 1);
    if (problem_.source == problem_.sink) return fail("source and sink are the same node");
    return true;
  }

  bool arc_line() {
    int64_t u, v, cap;
    if (!need_p_line("arc")) return false;
    if (problem_.source < 0 || problem_.sink < 0) {
      return fail("arc before the source and sink lines 'n ID s' and 'n ID t'");
    }
    if (!first_arc_line_) first_arc_line_ = line_;
    if (!integer("arc tail", 1, problem_.nodes, u) ||
        !integer("arc head", 1, problem_.nodes, v) || !integer("capacity", 0, kIntMax, cap) ||
        !end_of_line("a U V CAP")) {
      return false;
    }
    if (static_cast<int64_t>(problem_.arcs.size()) == declared_arcs_) {
      return fail("more arcs than the " + std::to_string(declared_arcs_) +
                  " declared on line " + std::to_string(p_line_));
    }
    problem_.arcs.push_back({static_cast<int>(u - 1), static_cast<int>(v - 1), static_cast<int>(cap)});
    return check_sums(problem_.arcs.back());
  }

  // Keeps the engine's 32-bit flow from overflowing (see dimacs.h).
  bool check_sums(const DimacsArc& a) {
    const ArcUse use = use_of(a, problem_.source, problem_.sink);
    if (use == ArcUse::direct || use == ArcUse::dropped) return true;
    if (use == ArcUse::from_source) {
      total_from_source_ += a.cap;
      if ((from_source_[a.to] += a.cap) > kIntMax) {
        return too_large("capacities from the source into node " + std::to_string(a.to + 1));
      }
    } else if (use == ArcUse::to_sink) {
      total_to_sink_ += a.cap;
      if ((to_sink_[a.from] += a.cap) > kIntMax) {
        return too_large("capacities from node " + std::to_string(a.from + 1) + " into the sink");
      }
    }
    if (total_from_source_ > kIntMax && total_to_sink_ > kIntMax) {
      return too_large("capacities leaving the source and those entering the sink both");
    }
    return true;
  }

  bool too_large(const std::string& what) {
    return fail(what + " sum to more than 2147483647, beyond the engine's 32-bit flow");
  }

  std::string_view rest_, line_text_;
  DimacsProblem& problem_;
  DimacsError& error_;
  int line_ = 0;
  int p_line_ = 0;  // line of the problem line, 0 before it
  int64_t declared_arcs_ = 0;
  int first_arc_line_ = 0;
  std::unordered_map<int, int64_t> from_source_, to_sink_;
  int64_t total_from_source_ = 0, total_to_sink_ = 0;
};

}  // namespace

bool parse_dimacs(const char* data, std::size_t size, DimacsProblem& problem, DimacsError& error) {
  return Parser(data, size, problem, error).run();
}

int64_t build_dimacs_graph(const DimacsProblem& problem, Graph& g) {
  // One word per node id, so that the pass that adds the arcs reads a single
  // word per end, as a plain translation would. While the arcs are counted it
  // holds kNamed (0: no arc names the node), the arcs leaving the node in its
  // high half and those entering it in its low bits; then the node's handle,
  // or for a node with copies the address of its Copies with the lowest bit
  // set (handles and Copies lie at even addresses). calloc: a large declared
  // node count costs address space, not memory, for the ids no arc names.
  constexpr uint64_t kNamed = uint64_t{1} << 31, kIn = 1, kOut = uint64_t{1} << 32;
  std::unique_ptr<uint64_t, void (*)(void*)> words(
      static_cast<uint64_t*>(std::calloc(static_cast<std::size_t>(problem.nodes), sizeof(uint64_t))), std::free);
  if (!words) throw std::bad_alloc();
  uint64_t* word = words.get();
  auto count = [&](int id, uint64_t arc) {
    if (!word[id]) word[id] = kNamed;
    word[id] += arc;
  };

  // First pass: name the nodes, count every node's arcs and bound the flow.
  const int s = problem.source, t = problem.sink;
  int64_t direct = 0, from_source = 0, to_sink = 0;
  for (const DimacsArc& a : problem.arcs) {
    switch (use_of(a, s, t)) {
      case ArcUse::direct:
        direct += a.cap;
        break;
      case ArcUse::dropped:
        break;
      case ArcUse::from_source:
        count(a.to, 0);
        from_source += a.cap;
        break;
      case ArcUse::to_sink:
        count(a.from, 0);
        to_sink += a.cap;
        break;
      case ArcUse::inner:
        count(a.from, kOut);
        count(a.to, kIn);
        break;
    }
  }

  // A cut that separates two copies of a node crosses a join, so it costs at
  // least the join's capacity in that direction. That capacity exceeds every
  // flow of the graph (at most what the source sends, and at most what the
  // sink receives), so such a cut is never minimal and the flow is that of
  // the graph without copies. The parser keeps one of the two sums within
  // 2^31 - 1, so a join needs at most two arcs each way; each arc carries at
  // most 2^31 - 1 with a reverse capacity of 0, and the flow total stays
  // what it would be without copies.
  const int64_t join = std::min<int64_t>(std::min(from_source, to_sink) + 1, kMaxJoinPieces * kIntMax);
  const int pieces = static_cast<int>((join + kIntMax - 1) / kIntMax);
  const int piece = static_cast<int>((join + pieces - 1) / pieces);
  auto add_join = [&](void* a, void* b) {
    for (int k = 0; k < pieces; ++k) {
      g.add_edge(a, b, piece, 0);
      g.add_edge(b, a, piece, 0);
    }
  };

  // The nodes an arc names, in the order of their ids (so that a grid keeps
  // its order in the engine's storage whichever arcs the file lists first),
  // with the copies of those beyond the engine's limit; copy 0 takes the
  // terminal capacities.
  struct Copies {
    std::vector<void*> node;  // node[j]: copy j
    int placed[2] = {0, 0};   // the node's arcs added so far: leaving, entering
  };
  std::vector<std::unique_ptr<Copies>> all_copies;
  for (int id = 0; id < problem.nodes; ++id) {
    if (!word[id]) continue;
    const int most = static_cast<int>(std::max(word[id] >> 32, word[id] & (kNamed - 1)));
    void* node = g.add_node();
    word[id] = reinterpret_cast<uintptr_t>(node);
    if (most <= kEngineArcsPerNode) continue;
    all_copies.push_back(std::make_unique<Copies>());
    Copies& c = *all_copies.back();
    word[id] = reinterpret_cast<uintptr_t>(&c) | 1;
    c.node.push_back(node);
    for (int j = 1; j < (most + kArcsPerCopy - 1) / kArcsPerCopy; ++j) {
      c.node.push_back(g.add_node());
      add_join(c.node[(j - 1) / 2], c.node[j]);
    }
  }
  // The node that takes node `id`'s next arc on `side` (0: leaving, 1:
  // entering): the node itself, or the copy whose share of that side is not
  // yet full. Copy 0 takes the terminal capacities (side -1).
  auto node_for = [&](int id, int side) {
    if (!(word[id] & 1)) return reinterpret_cast<void*>(static_cast<uintptr_t>(word[id]));
    Copies& c = *reinterpret_cast<Copies*>(static_cast<uintptr_t>(word[id] - 1));
    return c.node[side < 0 ? 0 : static_cast<std::size_t>(c.placed[side]++ / kArcsPerCopy)];
  };

  // Second pass: the arcs, in the order of the file.
  for (const DimacsArc& a : problem.arcs) {
    switch (use_of(a, s, t)) {
      case ArcUse::direct:
      case ArcUse::dropped:
        break;
      case ArcUse::from_source:
        g.add_tweights(node_for(a.to, -1), a.cap, 0);
        break;
      case ArcUse::to_sink:
        g.add_tweights(node_for(a.from, -1), 0, a.cap);
        break;
      case ArcUse::inner:
        g.add_edge(node_for(a.from, 0), node_for(a.to, 1), a.cap, 0);
        break;
    }
  }
  return direct;
}
