// General neighbourhood: declared pairs, packing order and limits, the
// declaring/packed/supplied states, and borrowed arrays.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "optimizer/GCoptimization.h"
#include "tests/optimizer/reference.h"

using reference::Optimizer;

namespace {

typedef std::vector<std::pair<int, int>> Entries;  // (neighbour, weight) in packed order

Entries entriesOf(GCoptimization& opt, int site) {
  int n;
  int* sites;
  int* weights;
  opt.giveNeighborInfo(site, &n, &sites, &weights);
  Entries out;
  for (int k = 0; k < n; k++) out.push_back({sites[k], weights[k]});
  return out;
}

// Zero data costs and V = 1 for different labels, 0 for equal ones.
struct Costs {
  std::vector<int> data, smooth = {0, 1, 1, 0};
  explicit Costs(int sites) : data(2 * sites, 0) {}
  void install(GCoptimization& opt) {
    opt.setDataCost(data.data());
    opt.setSmoothCost(smooth.data());
  }
};

std::string refusal(void (*action)(Optimizer&)) {
  Optimizer opt(8, 2);
  Costs costs(8);
  costs.install(opt);
  try {
    action(opt);
  } catch (GCException& e) {
    return e.message;
  }
  return "accepted";
}

TEST(GeneralGraphTest, PairsArePackedNewestBlockFirst) {
  Optimizer opt(8, 2);
  Costs costs(8);
  costs.install(opt);
  for (int t = 1; t <= 6; t++) opt.setNeighbors(0, t, 10 * t);  // site 0: e1..e6
  for (int t = 3; t <= 7; t++) opt.setNeighbors(t, 1, t);       // site 1: (0,10), then 3..7
  opt.setNeighbors(3, 1, 7);
  opt.compute_energy();
  EXPECT_EQ(entriesOf(opt, 0), (Entries{{5, 50}, {6, 60}, {1, 10}, {2, 20}, {3, 30}, {4, 40}}));
  EXPECT_EQ(entriesOf(opt, 1), (Entries{{6, 6}, {7, 7}, {3, 7}, {0, 10}, {3, 3}, {4, 4}, {5, 5}}));
  EXPECT_EQ(entriesOf(opt, 3), (Entries{{0, 30}, {1, 3}, {1, 7}}));
  EXPECT_EQ(entriesOf(opt, 7), (Entries{{1, 7}}));
}

TEST(GeneralGraphTest, RepeatsAndSelfPairsAreKeptBeyondTheSiteCount) {
  Optimizer opt(3, 2);
  Costs costs(3);
  costs.install(opt);
  for (int k = 0; k < 4; k++) opt.setNeighbors(0, 1, 5);
  opt.setNeighbors(2, 2, 4);
  opt.compute_energy();
  EXPECT_EQ(entriesOf(opt, 0).size(), 4u);  // more entries than m_num_sites
  EXPECT_EQ(entriesOf(opt, 2), (Entries{{2, 4}, {2, 4}}));
  int site = 1;
  opt.alpha_expansion(1, &site, 1);  // free of data cost but 4 x 5 x V(1,0) against it
  EXPECT_EQ(opt.whatLabel(1), 0);
  costs.data[2 * 1 + 0] = 21;  // now leaving label 0 pays
  opt.alpha_expansion(1, &site, 1);
  EXPECT_EQ(opt.whatLabel(1), 1);
  EXPECT_EQ(opt.compute_energy(), 20) << "the repeated pair counts four times";
  costs.smooth[0] = costs.smooth[3] = 7;  // a self-pair would now cost 2 x 4 x 7
  site = 2;
  opt.alpha_expansion(1, &site, 1);
  EXPECT_EQ(opt.compute_energy(), 20) << "self-pairs are ignored";
}

TEST(GeneralGraphTest, NoPairsGiveDataEnergyOnly) {
  Optimizer opt(4, 2);
  Costs costs(4);
  costs.data = {3, 0, 1, 0, 4, 0, 2, 0};
  costs.install(opt);
  EXPECT_EQ(opt.compute_energy(), 10);
  for (int s = 0; s < 4; s++) EXPECT_TRUE(entriesOf(opt, s).empty());
}

TEST(GeneralGraphTest, NeighbourhoodIsDeclaredOnce) {
  static int counts[8] = {0};
  static int* none[8] = {nullptr};
  EXPECT_EQ(refusal([](Optimizer& o) {
              o.compute_energy();
              o.setNeighbors(0, 1, 1);
            }),
            "Already set up neighborhood system");
  EXPECT_EQ(refusal([](Optimizer& o) {
              o.setNeighbors(0, 1, 1);
              o.setAllNeighbors(counts, none, none);
            }),
            "Already set up neighborhood system");
  EXPECT_EQ(refusal([](Optimizer& o) {
              o.compute_energy();  // packs with no pair declared
              o.setAllNeighbors(counts, none, none);
            }),
            "Already set up neighborhood system");
  EXPECT_EQ(refusal([](Optimizer& o) {
              o.setAllNeighbors(counts, none, none);
              o.setNeighbors(0, 1, 1);
            }),
            "Already set up neighborhood system");
  EXPECT_EQ(refusal([](Optimizer& o) {
              o.setAllNeighbors(counts, none, none);
              o.setAllNeighbors(counts, none, none);
            }),
            "accepted");
  Optimizer opt(3, 2);
  EXPECT_DEATH(opt.setNeighbors(0, 3, 1),
               "site1 < m_num_sites && site1 >= 0 && site2 < m_num_sites && site2 >= 0");
}

TEST(GeneralGraphTest, PacksOnceAndOnlyAfterTheBaseCheckPasses) {
  Optimizer opt(3, 2);
  Costs costs(3);
  opt.setDataCost(costs.data.data());
  opt.setNeighbors(0, 1, 1);
  EXPECT_THROW(opt.compute_energy(), GCException);
  opt.setNeighbors(1, 2, 1);  // still declaring: nothing was packed
  opt.setSmoothCost(costs.smooth.data());
  EXPECT_EQ(opt.compute_energy(), 0);
  int site = 1;
  costs.data[2 * 1] = 5;
  opt.alpha_expansion(1, &site, 1);
  ASSERT_EQ(opt.whatLabel(1), 1);
  EXPECT_EQ(opt.compute_energy(), 2);
  EXPECT_EQ(opt.compute_energy(), 2) << "a second packing would have lost the pairs";
  EXPECT_EQ(entriesOf(opt, 1), (Entries{{0, 1}, {2, 1}}));
}

TEST(GeneralGraphTest, SuppliedArraysAreBorrowed) {
  std::vector<int> counts = {1, 2, 1};
  std::vector<int> n0 = {1}, n1 = {0, 2}, n2 = {1}, w0 = {3}, w1 = {3, 4}, w2 = {4};
  std::vector<int*> sites = {n0.data(), n1.data(), n2.data()};
  std::vector<int*> weights = {w0.data(), w1.data(), w2.data()};
  Costs costs(3);
  costs.data = {0, 9, 9, 0, 0, 9};  // site 1 prefers label 1
  {
    Optimizer opt(3, 2);
    opt.setAllNeighbors(counts.data(), sites.data(), weights.data());
    costs.install(opt);
    EXPECT_EQ(opt.expansion(2), 7);  // site 1 moves: 3 + 4
    EXPECT_EQ(entriesOf(opt, 1), (Entries{{0, 3}, {2, 4}}));
  }
  EXPECT_EQ(w1[1], 4);
}

}  // namespace
