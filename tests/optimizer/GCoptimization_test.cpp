// Optimizer core and cost sources: construction, readiness, installation
// rules, ownership, the label shuffle and error reporting.
#include "optimizer/GCoptimization.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/optimizer/reference.h"

using reference::Installer;
using reference::Optimizer;
using reference::Problem;
using reference::Source;

namespace {

// Two sites joined by one pair of weight 3, three labels.
Problem twoSites() {
  Problem p;
  p.sites = 2;
  p.labels = 3;
  p.data = {0, 4, 9, 5, 1, 2};
  p.smooth = {0, 1, 2, 1, 0, 1, 2, 1, 0};
  p.pairs = {{0, 1, 3}};
  return p;
}

std::string messageOf(void (*action)(Optimizer&, Installer&)) {
  Optimizer opt(2, 3);
  Installer in(twoSites());
  try {
    action(opt, in);
  } catch (GCException& e) {
    return e.message;
  }
  return "no exception";
}

TEST(CoreTest, SizesBelowTheMinimumFailTheirAssertion) {
  EXPECT_DEATH(Optimizer(0, 2), "nLabels > 1 && nSites > 0");
  EXPECT_DEATH(Optimizer(3, 1), "nLabels > 1 && nSites > 0");
  EXPECT_DEATH(Optimizer(1, 2), "num_sites > 1 && num_labels > 1");
}

TEST(CoreTest, FreshObjectHasLabelZeroAndIdentityTable) {
  Optimizer opt(5, 4);
  for (int s = 0; s < 5; s++) EXPECT_EQ(opt.whatLabel(s), 0);
  for (int l = 0; l < 4; l++) EXPECT_EQ(opt.m_label_table[l], l);
  EXPECT_TRUE(opt.noActiveSites());
  EXPECT_DEATH(opt.whatLabel(5), "site >= 0 && site < m_num_sites");
  EXPECT_DEATH(opt.whatLabel(-1), "site >= 0 && site < m_num_sites");
}

TEST(CoreTest, ShuffleMakesTwoRandExchangesPerLabel) {
  Optimizer opt(2, 5);
  srand(7);
  std::vector<int> expected = {0, 1, 2, 3, 4};
  for (int round = 0; round < 3; round++) {  // shuffles build on one another
    for (int k = 0; k < 5; k++) {
      int i = rand() % 5;
      int j = rand() % 5;
      std::swap(expected[i], expected[j]);
    }
  }
  srand(7);
  for (int round = 0; round < 3; round++) opt.scramble_label_table();
  EXPECT_EQ(std::vector<int>(opt.m_label_table, opt.m_label_table + 5), expected);
}

TEST(CoreTest, ReadinessNamesTheMissingSource) {
  EXPECT_EQ(messageOf([](Optimizer& o, Installer&) { o.compute_energy(); }),
            "Smoothness term is not set up yet!");
  EXPECT_EQ(messageOf([](Optimizer& o, Installer& in) {
              in.installData(o, Source::kTable);
              o.compute_energy();
            }),
            "Smoothness term is not set up yet!");
  EXPECT_EQ(messageOf([](Optimizer& o, Installer& in) {
              in.installSmooth(o, Source::kTable);
              o.giveDataEnergy();
            }),
            "Data term is not set up yet!");
  EXPECT_EQ(messageOf([](Optimizer& o, Installer& in) {
              in.install(o, Source::kTable);
              o.ready = false;
              o.compute_energy();
            }),
            "Not ready to optimize yet. Set up data and smooth costs first");
  EXPECT_EQ(messageOf([](Optimizer& o, Installer& in) {
              in.install(o, Source::kTable);
              o.expansion(0);
              o.ready = false;
              o.expansion(0);
            }),
            "Not ready to optimize yet. Set up data and smooth costs first");
}

TEST(CostSourceTest, SecondInstallationOnEitherSideIsRefusedAndChangesNothing) {
  for (Source first : reference::kAllSources) {
    for (Source second : reference::kAllSources) {
      if (first == Source::kEntries && second == Source::kEntries) continue;  // same own table
      Problem other = twoSites();
      for (int& d : other.data) d += 100;
      for (int& v : other.smooth) v += 100;
      Optimizer opt(2, 3);
      Installer in(twoSites()), again(other);
      in.install(opt, first);
      opt.declare(in.p);
      try {
        again.installData(opt, second);
        ADD_FAILURE() << "data installed twice";
      } catch (GCException& e) {
        EXPECT_STREQ(e.message, "Data Costs are already initialized");
      }
      try {
        again.installSmooth(opt, second);
        ADD_FAILURE() << "smoothness installed twice";
      } catch (GCException& e) {
        EXPECT_STREQ(e.message, "Smoothness Costs are already initialized");
      }
      EXPECT_EQ(opt.compute_energy(), 5 + 0) << "first source replaced";
    }
  }
}

TEST(CostSourceTest, EntrySettersStartFromZeroAndWriteOneEntry) {
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
}

TEST(CostSourceTest, CallerTablesAreReadAtEveryUse) {
  Optimizer opt(2, 3);
  Installer in(twoSites());
  in.install(opt, Source::kTable);
  opt.declare(in.p);
  EXPECT_EQ(opt.compute_energy(), 5);
  in.p.data[0] = 40;  // D(0, 0)
  EXPECT_EQ(opt.giveDataEnergy(), 45);
}

struct CountedData : GCoptimization::DataCostFunctor {
  static int destroyed;
  int computeCost(int, int) override { return 1; }
  ~CountedData() override { destroyed++; }
};
struct CountedSmooth : GCoptimization::SmoothCostFunctor {
  static int destroyed;
  int computeCost(int, int, int, int) override { return 0; }
  ~CountedSmooth() override { destroyed++; }
};
int CountedData::destroyed = 0;
int CountedSmooth::destroyed = 0;

TEST(CostSourceTest, CallerFunctorsAndTablesAreNeverFreed) {
  CountedData* data = new CountedData;
  CountedSmooth* smooth = new CountedSmooth;
  std::vector<int> table = {1, 2, 3, 4, 5, 6};
  std::vector<int> smooth_table = {0, 1, 1, 0};
  {
    Optimizer a(3, 2), b(3, 2);
    a.setDataCostFunctor(data);
    a.setSmoothCostFunctor(smooth);
    b.setDataCost(table.data());
    b.setSmoothCost(smooth_table.data());
    EXPECT_EQ(a.compute_energy(), 3);
    EXPECT_EQ(b.compute_energy(), 1 + 3 + 5);
  }
  EXPECT_EQ(CountedData::destroyed, 0);
  EXPECT_EQ(CountedSmooth::destroyed, 0);
  EXPECT_EQ(table[5], 6);  // a freed table would also trip the sanitizer build
  delete data;
  delete smooth;
}

TEST(ReportTest, PrintsTheMessageAndExitsWithFailure) {
  auto report = [] {
    dup2(2, 1);  // the message goes to stdout; let the death test see it
    GCException("Data term is not set up yet!").Report();
  };
  EXPECT_EXIT(report(), testing::ExitedWithCode(1), "\nData term is not set up yet!\n");
}

}  // namespace
