// General neighbourhood: packing order, the declaring/packed/supplied
// states, and borrowed arrays. Repeated pairs and pairs of a site with
// itself come in the random problems of the move suites.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "optimizer/LinkedBlockList.h"

#include "optimizer/GCoptimization.h"
#include "tests/optimizer/reference.h"

using namespace reference;

namespace {

typedef std::vector<std::pair<int, int>> Entries;  // (neighbour, weight) in packed order

Entries entriesOf(GCoptimization& opt, int site) {
  int n, *sites, *weights;
  opt.giveNeighborInfo(site, &n, &sites, &weights);
  Entries out;
  for (int k = 0; k < n; k++) out.push_back({sites[k], weights[k]});
  return out;
}

// Zero data costs and V = 1 for different labels.
struct TwoLabels : Optimizer {
  std::vector<int> data, smooth = {0, 1, 1, 0};
  explicit TwoLabels(int sites) : Optimizer(sites, 2), data(2 * sites, 0) {
    setDataCost(data.data());
    setSmoothCost(smooth.data());
  }
};

TEST(GeneralGraphTest, PairsArePackedNewestBlockFirst) {
  TwoLabels opt(8);
  for (int t = 1; t <= 6; t++) opt.setNeighbors(0, t, 10 * t);  // site 0: e1..e6
  for (int t = 3; t <= 7; t++) opt.setNeighbors(t, 1, t);       // site 1: (0,10), then 3..7
  opt.setNeighbors(3, 1, 7);
  EXPECT_EQ(opt.compute_energy(), 0);
  EXPECT_EQ(entriesOf(opt, 0), (Entries{{5, 50}, {6, 60}, {1, 10}, {2, 20}, {3, 30}, {4, 40}}));
  EXPECT_EQ(entriesOf(opt, 1), (Entries{{6, 6}, {7, 7}, {3, 7}, {0, 10}, {3, 3}, {4, 4}, {5, 5}}));
  EXPECT_EQ(entriesOf(opt, 3), (Entries{{0, 30}, {1, 3}, {1, 7}}));
  EXPECT_EQ(entriesOf(opt, 7), (Entries{{1, 7}}));
}

// Steps: p declares a pair, a supplies arrays, e computes the energy (and so
// packs the pairs declared). Only supplied arrays may be replaced.
TEST(GeneralGraphTest, NeighbourhoodIsDeclaredOnce) {
  static int counts[4] = {0};
  static int* none[4] = {nullptr};
  for (std::string steps : {"ep", "pa", "ea", "ap", "aa"}) {
    TwoLabels opt(4);
    std::string message = messageOf([&] {
      for (char c : steps) {
        if (c == 'p') opt.setNeighbors(0, 1, 1);
        if (c == 'a') opt.setAllNeighbors(counts, none, none);
        if (c == 'e') opt.compute_energy();
      }
    });
    EXPECT_EQ(message, steps == "aa" ? "no exception" : "Already set up neighborhood system") << steps;
  }
  Optimizer opt(3, 2);
  EXPECT_DEATH(opt.setNeighbors(0, 3, 1),
               "site1 < m_num_sites && site1 >= 0 && site2 < m_num_sites && site2 >= 0");
}

TEST(GeneralGraphTest, PacksOnceAndOnlyAfterTheBaseCheckPasses) {
  Optimizer opt(3, 2);
  std::vector<int> data = {0, 0, 5, 0, 0, 0}, smooth = {0, 1, 1, 0};
  opt.setDataCost(data.data());
  opt.setNeighbors(0, 1, 1);
  EXPECT_THROW(opt.compute_energy(), GCException);
  opt.setNeighbors(1, 2, 1);  // still declaring: nothing was packed
  opt.setSmoothCost(smooth.data());
  EXPECT_EQ(opt.compute_energy(), 5);
  EXPECT_EQ(opt.compute_energy(), 5);
  int site = 1;
  opt.alpha_expansion(1, &site, 1);
  EXPECT_EQ(opt.compute_energy(), 2) << "a second packing would have lost the pairs";
  EXPECT_EQ(entriesOf(opt, 1), (Entries{{0, 1}, {2, 1}}));
}

TEST(GeneralGraphTest, SuppliedArraysAreBorrowed) {
  std::vector<int> counts = {1, 2, 1}, n0 = {1}, n1 = {0, 2}, n2 = {1};
  std::vector<int> w0 = {3}, w1 = {3, 4}, w2 = {4}, data = {0, 9, 9, 0, 0, 9},
                   smooth = {0, 1, 1, 0};
  std::vector<int*> sites = {n0.data(), n1.data(), n2.data()};
  std::vector<int*> weights = {w0.data(), w1.data(), w2.data()};
  {
    Optimizer opt(3, 2);
    opt.setAllNeighbors(counts.data(), sites.data(), weights.data());
    opt.setDataCost(data.data());
    opt.setSmoothCost(smooth.data());
    EXPECT_EQ(opt.expansion(2), 7);  // only site 1 moves: 3 + 4
  }
  EXPECT_EQ(w1[1], 4);
}


// Random pairs (repeats and self-pairs included, more than fill the first
// chunks of declared pairs) are packed exactly as per-site linked block
// lists of the same declarations would be scanned.
TEST(GeneralGraphTest, PackedOrderIsTheLinkedBlockListScanOrder) {
  std::mt19937 rng(31337);
  for (int round = 0; round < 20; round++) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int sites = 2 + int(rng() % (round < 10 ? 12 : 400));
    const int pairs = int(rng() % (round < 10 ? 60 : 5000));
    TwoLabels opt(sites);
    std::vector<LinkedBlockList> lists(sites);
    std::vector<std::pair<int, int>> records;  // (neighbour, weight), addressed by the lists
    records.reserve(2 * pairs);
    for (int k = 0; k < pairs; k++) {
      int a = int(rng() % sites), b = rng() % 8 ? int(rng() % sites) : a, w = int(rng() % 100) - 20;
      opt.setNeighbors(a, b, w);
      records.push_back({b, w});
      lists[a].addFront(&records.back());
      records.push_back({a, w});
      lists[b].addFront(&records.back());
    }
    opt.compute_energy();
    for (int s = 0; s < sites; s++) {
      Entries expected;
      if (!lists[s].empty()) {
        for (lists[s].rewind(); lists[s].hasNext();)
          expected.push_back(*static_cast<std::pair<int, int>*>(lists[s].next()));
      }
      ASSERT_EQ(entriesOf(opt, s), expected) << "site " << s;
    }
  }
}

}  // namespace
