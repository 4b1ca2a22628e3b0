// Alpha-expansion against enumeration on small random problems, the
// iteration loop, agreement between cost sources, and the state left behind
// when a move fails.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "optimizer/GCoptimization.h"
#include "tests/optimizer/reference.h"

using reference::Installer;
using reference::Optimizer;
using reference::Problem;
using reference::Source;

namespace {

const unsigned kFirstSeed = 1000;
const unsigned kSeeds = 300;

TEST(ExpansionTest, EachMoveReachesTheBestExpansionLabeling) {
  for (unsigned seed = kFirstSeed; seed < kFirstSeed + kSeeds; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Installer in(reference::randomProblem(rng));
    const Problem& p = in.p;
    Optimizer opt(p.sites, p.labels);
    opt.declare(p);
    in.install(opt, Source::kTable);
    for (int move = 0; move < 8; move++) {
      std::vector<int> before = opt.labels();
      int alpha = std::uniform_int_distribution<int>(0, p.labels - 1)(rng);
      std::vector<bool> free(p.sites, true);
      if (move % 2) {  // restricted to a random subset
        std::vector<int> sites;
        for (int s = 0; s < p.sites; s++) {
          free[s] = rng() % 2;
          if (free[s]) sites.push_back(s);
        }
        std::shuffle(sites.begin(), sites.end(), rng);
        opt.alpha_expansion(alpha, sites.data(), static_cast<int>(sites.size()));
      } else {
        opt.alpha_expansion(alpha);
      }
      std::vector<int> after = opt.labels();
      for (int s = 0; s < p.sites; s++)
        ASSERT_TRUE(after[s] == before[s] || (after[s] == alpha && free[s])) << "site " << s;
      EXPECT_EQ(reference::energyOf(p, after), reference::bestExpansion(p, before, alpha, free));
      EXPECT_EQ(opt.compute_energy(), reference::energyOf(p, after));
      EXPECT_TRUE(opt.noActiveSites());
    }
  }
}

// Runs the loop rule by hand on a twin optimizer: iterate while the energy
// falls strictly, at most `limit` times.
TEST(ExpansionTest, IterationsNeverRaiseTheEnergyAndStopByTheLoopRule) {
  for (unsigned seed = kFirstSeed; seed < kFirstSeed + kSeeds; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Installer in(reference::randomProblem(rng));
    int limit = static_cast<int>(rng() % 4) - 1;
    Optimizer opt(in.p.sites, in.p.labels), twin(in.p.sites, in.p.labels);
    for (Optimizer* o : {&opt, &twin}) {
      o->declare(in.p);
      in.install(*o, Source::kTable);
    }
    int energy = twin.compute_energy(), iterations = 0;
    while (iterations < limit) {
      int next = twin.oneExpansionIteration();
      ASSERT_LE(next, energy);
      iterations++;
      if (next == energy) break;
      energy = next;
    }
    EXPECT_EQ(opt.expansion(limit), twin.compute_energy());
    EXPECT_EQ(opt.labels(), twin.labels());
    // One check per compute_energy, plus one per move of each iteration.
    EXPECT_EQ(opt.ready_calls, 1 + iterations * (in.p.labels + 1));
  }
}

TEST(ExpansionTest, EveryKindOfSourceGivesTheSameLabelsAndEnergies) {
  for (unsigned seed = kFirstSeed; seed < kFirstSeed + 60; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    Installer in(reference::randomProblem(rng));
    std::vector<int> labels, energies;
    for (Source kind : reference::kAllSources) {
      Optimizer opt(in.p.sites, in.p.labels);
      opt.declare(in.p);
      in.install(opt, kind);
      std::vector<int> got = {opt.compute_energy(), opt.oneExpansionIteration(), opt.expansion(3),
                              opt.giveDataEnergy(), opt.giveSmoothEnergy()};
      if (energies.empty()) {
        energies = got;
        labels = opt.labels();
      }
      EXPECT_EQ(got, energies) << "source " << static_cast<int>(kind);
      EXPECT_EQ(opt.labels(), labels) << "source " << static_cast<int>(kind);
    }
  }
}

// Logs every cost evaluation; data: site 0 wants label 2, the others label 0.
struct LoggingCosts : GCoptimization::DataCostFunctor, GCoptimization::SmoothCostFunctor {
  std::vector<std::string> log;
  int computeCost(int s, int l) override {
    log.push_back("D" + std::to_string(s) + std::to_string(l));
    return (s == 0) == (l == 2) ? 0 : 9;
  }
  int computeCost(int s1, int s2, int l1, int l2) override {
    log.push_back("V" + std::to_string(s1) + std::to_string(s2) + std::to_string(l1) +
                  std::to_string(l2));
    return l1 == l2 ? 0 : 1;
  }
};

TEST(ExpansionTest, EvaluatesCostsInTheSpecifiedOrder) {
  Optimizer opt(3, 3);
  LoggingCosts costs;
  opt.setDataCostFunctor(&costs);
  opt.setSmoothCostFunctor(&costs);
  opt.setNeighbors(0, 1, 1);
  opt.setNeighbors(1, 2, 1);
  opt.setNeighbors(0, 2, 1);
  opt.alpha_expansion(2);
  ASSERT_EQ(opt.labels(), (std::vector<int>{2, 0, 0}));
  costs.log.clear();
  int sites[] = {2, 0};  // site 1 stays out of the move
  opt.alpha_expansion(1, sites, 2);
  // Unary terms in list order, alpha first; then sites from the list's end:
  // site 0 folds its fixed neighbour 1, site 2 folds 1 and pairs with 0.
  EXPECT_EQ(costs.log, (std::vector<std::string>{"D21", "D20", "D01", "D02", "V0110", "V0120",
                                                 "V2110", "V2100", "V2011", "V2012", "V2001",
                                                 "V2002"}));
  costs.log.clear();
  opt.compute_energy();
  EXPECT_EQ(costs.log, (std::vector<std::string>{"D02", "D10", "D20", "V1002", "V2100", "V2002"}));
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

TEST(ExpansionTest, AFailedMoveLeavesNoActiveSiteAndNoLabelChanged) {
  std::vector<int> data = {5, 0, 5, 0, 5, 0, 5, 0};
  Optimizer opt(4, 2);
  ThrowingSmooth smooth;
  smooth.opt = &opt;
  opt.setDataCost(data.data());
  opt.setSmoothCostFunctor(&smooth);
  for (int s = 1; s < 4; s++) opt.setNeighbors(s - 1, s, 1);
  EXPECT_EQ(opt.compute_energy(), 20);

  smooth.countdown = 3;  // inside the pairwise terms of the move for label 1
  EXPECT_THROW(opt.alpha_expansion(1), GCException);
  EXPECT_TRUE(opt.noActiveSites());
  EXPECT_EQ(opt.labels(), std::vector<int>(4, 0));

  int sites[] = {2, 0, 3};
  opt.ready = false;
  try {
    opt.alpha_expansion(1, sites, 3);
    ADD_FAILURE() << "move ran without readiness";
  } catch (GCException& e) {
    EXPECT_STREQ(e.message, "Set up data and smoothness terms first. ");
  }
  EXPECT_TRUE(opt.noActiveSites());

  opt.ready = true;
  smooth.countdown = 1 << 30;
  EXPECT_EQ(opt.expansion(1), 0);  // the optimizer is still usable
  EXPECT_DEATH(opt.alpha_expansion(2), "alpha_label >= 0 && alpha_label < m_num_labels");
}

TEST(ExpansionTest, RestrictedMoveWithoutCostsResetsItsSites) {
  Optimizer opt(5, 3);
  std::vector<int> data(15, 0);
  opt.setDataCost(data.data());
  int sites[] = {4, 1, 2};
  try {
    opt.alpha_expansion(2, sites, 3);
    ADD_FAILURE() << "move ran without a smoothness cost";
  } catch (GCException& e) {
    EXPECT_STREQ(e.message, "Smoothness term is not set up yet!");
  }
  EXPECT_TRUE(opt.noActiveSites());
  int bad[] = {1, 5};
  EXPECT_DEATH(opt.alpha_expansion(2, bad, 2), "site >= 0 && site < m_num_sites");
}

}  // namespace
