// Alpha-beta swap against enumeration on small random problems, with every
// kind of cost source; the iteration loop and its pair order, and the order
// of cost evaluations.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "optimizer/GCoptimization.h"
#include "tests/optimizer/reference.h"

using namespace reference;

namespace {

TEST(SwapTest, EachMoveReachesTheBestSwapLabeling) {
  forRandomProblems(300, [](Installer& in, std::mt19937& rng) {
    const Problem& p = in.p;
    Optimizer opt(in, kAllSources[rng() % 5]);  // every kind of source, against enumeration
    opt.expansion(1);  // start from a labeling with several labels
    for (int move = 0; move < 8; move++) {
      std::vector<int> before = opt.labels(), alpha_sites, beta_sites;
      int alpha = static_cast<int>(rng() % p.labels), beta = static_cast<int>(rng() % p.labels);
      std::vector<std::vector<int>> options;
      for (int s = 0; s < p.sites; s++) {
        bool active = (before[s] == alpha || before[s] == beta) && (move % 2 == 0 || rng() % 2);
        options.push_back(active ? std::vector<int>{alpha, beta} : std::vector<int>{before[s]});
        if (active) (before[s] == alpha ? alpha_sites : beta_sites).push_back(s);
      }
      if (move % 2) {
        opt.alpha_beta_swap(alpha, beta, alpha_sites.data(), static_cast<int>(alpha_sites.size()),
                            beta_sites.data(), static_cast<int>(beta_sites.size()));
      } else {
        opt.alpha_beta_swap(alpha, beta);
      }
      checkMove(opt, p, options);
    }
  });
}

TEST(SwapTest, IterationsStopByTheLoopRule) { checkLoopRule(&GCoptimization::swap, 1); }

// With one site per label and data costs that keep every label in place,
// each move logs D(alpha site, alpha), D(alpha site, beta), D(beta site, ...).
TEST(SwapTest, AnIterationVisitsPairsByTablePositions) {
  Optimizer opt(3, 3);
  LoggingCosts costs;
  costs.wanted = {0, 1, 2};
  opt.setDataCostFunctor(&costs);
  opt.setSmoothCostFunctor(&costs);
  opt.expansion(1);
  auto pairsOfOneIteration = [&] {
    costs.log.clear();
    opt.oneSwapIteration();
    std::vector<std::pair<char, char>> pairs;
    for (std::size_t k = 0; k + 4 <= costs.log.size() - 3; k += 4)
      pairs.push_back({costs.log[k][2], costs.log[k + 1][2]});
    return pairs;
  };
  typedef std::vector<std::pair<char, char>> Pairs;
  EXPECT_EQ(pairsOfOneIteration(), (Pairs{{'0', '2'}, {'0', '1'}, {'1', '2'}}));
  opt.m_label_table[0] = 2, opt.m_label_table[1] = 0, opt.m_label_table[2] = 1;
  EXPECT_EQ(pairsOfOneIteration(), (Pairs{{'0', '1'}, {'0', '2'}, {'1', '2'}}));
  EXPECT_EQ(opt.labels(), (std::vector<int>{0, 1, 2}));
}

TEST(SwapTest, EvaluatesCostsInAFixedOrder) {
  LoggedTriangle t;
  Optimizer& opt = t.opt;
  std::vector<std::string>& log = t.costs.log;
  ASSERT_EQ(opt.labels(), (std::vector<int>{2, 0, 0}));
  int alpha_sites[] = {2}, beta_sites[] = {0};  // site 1 stays out of the move
  opt.alpha_beta_swap(0, 2, alpha_sites, 1, beta_sites, 1);
  EXPECT_EQ(log, (std::vector<std::string>{"D20", "D22", "D00", "D02", "V0100", "V0120", "V2100",
                                           "V2120", "V2000", "V2002", "V2020", "V2022"}));
  EXPECT_DEATH(opt.alpha_beta_swap(0, 3),
               "alpha_label >= 0 && alpha_label < m_num_labels && beta_label >= 0 && "
               "beta_label < m_num_labels");
  EXPECT_DEATH(opt.alpha_beta_swap(-1, 2, alpha_sites, 1, beta_sites, 1),
               "!\\(alpha_label < 0 \\|\\| alpha_label >= m_num_labels");
  EXPECT_DEATH(opt.alpha_beta_swap(2, 0, alpha_sites, 1, beta_sites, 1),
               "m_labeling\\[site\\] == alpha_label");
  EXPECT_DEATH(opt.alpha_beta_swap(0, 1, alpha_sites, 1, beta_sites, 1),
               "m_labeling\\[site\\] == beta_label");
  int outside[] = {3};
  EXPECT_DEATH(opt.alpha_beta_swap(0, 2, outside, 1, beta_sites, 0),
               "site >= 0 && site < m_num_sites");
  opt.alpha_beta_swap(0, 0);  // one label on both sides: its sites stay
  EXPECT_EQ(opt.labels(), (std::vector<int>{2, 0, 0}));
}

}  // namespace
