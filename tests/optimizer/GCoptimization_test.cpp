// Optimizer core and cost sources: construction, the label shuffle,
// readiness, installation rules, the state a failed move leaves, and error
// reporting. (That the optimizer
// never frees a caller's table or functor, the move suites show: they
// install stack objects and vectors through every kind of source.)
#include "optimizer/GCoptimization.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/optimizer/reference.h"

using namespace reference;

namespace {

// Two sites joined by one pair of weight 3, three labels; energy 5 at labels 0.
Problem twoSites() {
  Problem p;
  p.sites = 2;
  p.labels = 3;
  p.data = {0, 4, 9, 5, 1, 2};
  p.smooth = {0, 1, 2, 1, 0, 1, 2, 1, 0};
  p.pairs = {{0, 1, 3}};
  return p;
}

TEST(CoreTest, ConstructionChecksSizesAndStartsFromLabelZeroAndTheIdentityOrder) {
  EXPECT_DEATH(Optimizer(0, 2), "nLabels > 1 && nSites > 0");
  EXPECT_DEATH(Optimizer(3, 1), "nLabels > 1 && nSites > 0");
  EXPECT_DEATH(Optimizer(1, 2), "num_sites > 1 && num_labels > 1");
  Optimizer opt(5, 4);
  const std::vector<int> identity = {0, 1, 2, 3};
  EXPECT_EQ(opt.labels(), std::vector<int>(5, 0));
  EXPECT_EQ(std::vector<int>(opt.m_label_table, opt.m_label_table + 4), identity);
  EXPECT_TRUE(opt.noActiveSites());
  EXPECT_DEATH(opt.whatLabel(5), "site >= 0 && site < m_num_sites");
  srand(7);
  for (int round = 0; round < 3; round++) opt.scramble_label_table();
  std::vector<int> shuffled(opt.m_label_table, opt.m_label_table + 4);
  EXPECT_NE(shuffled, identity);
  std::sort(shuffled.begin(), shuffled.end());
  EXPECT_EQ(shuffled, identity) << "a shuffle keeps every label once";
}

TEST(CoreTest, ReadinessNamesWhatIsMissing) {
  Installer in(twoSites());
  Optimizer none(2, 3), smooth_only(2, 3), refusing(in, Source::kTable);
  in.installSmooth(smooth_only, Source::kTable);
  refusing.ready = false;
  EXPECT_EQ(messageOf([&] { none.compute_energy(); }), "Smoothness term is not set up yet!");
  EXPECT_EQ(messageOf([&] { smooth_only.giveDataEnergy(); }), "Data term is not set up yet!");
  EXPECT_EQ(messageOf([&] { refusing.expansion(0); }),
            "Not ready to optimize yet. Set up data and smooth costs first");
}

TEST(CostSourceTest, SecondInstallationOnEitherSideIsRefusedAndChangesNothing) {
  for (Source first : kAllSources) {
    for (Source second : kAllSources) {
      if (first == Source::kEntries && second == Source::kEntries) continue;  // same own table
      Installer in(twoSites()), again(twoSites());
      for (int& d : again.p.data) d += 100;
      for (int& v : again.p.smooth) v += 100;
      Optimizer opt(in, first);
      EXPECT_EQ(messageOf([&] { again.installData(opt, second); }),
                "Data Costs are already initialized");
      EXPECT_EQ(messageOf([&] { again.installSmooth(opt, second); }),
                "Smoothness Costs are already initialized");
      EXPECT_EQ(opt.compute_energy(), 5) << "first source replaced";
    }
  }
}

TEST(CostSourceTest, EntrySettersStartFromZeroAndCallerTablesAreReadAtEveryUse) {
  Optimizer opt(2, 3);
  opt.setDataCost(1, 0, 7);
  opt.setSmoothCost(0, 1, 5);  // V(0,1) only
  opt.setNeighbors(0, 1, 2);
  EXPECT_EQ(opt.compute_energy(), 7);
  int site = 1;
  opt.alpha_expansion(1, &site, 1);  // label 1 costs D(1,1) + 2 V(1,0) = 0, not 7
  EXPECT_EQ(opt.whatLabel(1), 1);
  EXPECT_EQ(opt.giveSmoothEnergy(), 0) << "V(1,0) must stay 0";
  EXPECT_DEATH(opt.setDataCost(2, 0, 1), "site >= 0 && site < m_num_sites");
  EXPECT_DEATH(opt.setSmoothCost(0, 3, 1), "l2 < m_num_labels");

  Installer in(twoSites());
  Optimizer table(in, Source::kTable);
  EXPECT_EQ(table.compute_energy(), 5);
  in.p.data[0] = 40;  // D(0, 0)
  EXPECT_EQ(table.giveDataEnergy(), 45);
}

// Throws from inside a move once `countdown` evaluations have passed.
struct ThrowingSmooth : GCoptimization::SmoothCostFunctor {
  GCoptimization* opt = nullptr;
  int countdown = 1 << 30;
  int computeCost(int, int, int l1, int l2) override {
    if (--countdown == 0) opt->handleError("smoothness failed");
    return l1 == l2 ? 0 : 1;
  }
};

// A move that fails (a cost throws, readiness refused, a source missing)
// frees what it built, leaves m_site_to_var at -1 and changes no label, and
// the optimizer stays usable. Each kind of move runs once over all sites and
// once over the sites {2, 0, 3}, to label 1.
TEST(MoveTest, AFailedMoveLeavesNoTrace) {
  int sites[] = {2, 0, 3};
  const std::function<void(Optimizer&)> moves[][2] = {
      {[](Optimizer& o) { o.alpha_expansion(1); },
       [&](Optimizer& o) { o.alpha_expansion(1, sites, 3); }},
      {[](Optimizer& o) { o.alpha_beta_swap(0, 1); },
       [&](Optimizer& o) { o.alpha_beta_swap(0, 1, sites, 3, nullptr, 0); }}};
  std::vector<int> data = {5, 0, 5, 0, 5, 0, 5, 0};
  for (const auto& move : moves) {
    Optimizer opt(4, 2);
    ThrowingSmooth smooth;
    smooth.opt = &opt;
    opt.setDataCost(data.data());
    opt.setSmoothCostFunctor(&smooth);
    for (int s = 1; s < 4; s++) opt.setNeighbors(s - 1, s, 1);
    ASSERT_EQ(opt.compute_energy(), 20);
    smooth.countdown = 3;  // inside the pairwise terms
    EXPECT_THROW(move[0](opt), GCException);
    EXPECT_TRUE(opt.noActiveSites());
    EXPECT_EQ(opt.labels(), std::vector<int>(4, 0));
    opt.ready = false;
    EXPECT_EQ(messageOf([&] { move[1](opt); }), "Set up data and smoothness terms first. ");
    EXPECT_TRUE(opt.noActiveSites());
    opt.ready = true;
    smooth.countdown = 1 << 30;
    move[0](opt);
    EXPECT_EQ(opt.compute_energy(), 0);
    Optimizer bare(4, 2);
    bare.setDataCost(data.data());
    EXPECT_THROW(move[1](bare), GCException);  // no smoothness cost
    EXPECT_TRUE(bare.noActiveSites());
  }
}

TEST(ReportTest, PrintsTheMessageAndExitsWithFailure) {
  auto report = [] {
    dup2(2, 1);  // the message goes to stdout; let the death test see it
    GCException("Data term is not set up yet!").Report();
  };
  EXPECT_EXIT(report(), testing::ExitedWithCode(1), "\nData term is not set up yet!\n");
}

}  // namespace
