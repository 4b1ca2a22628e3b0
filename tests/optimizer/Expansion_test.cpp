// Alpha-expansion against enumeration on small random problems, with every
// kind of cost source; the iteration loop and the order of cost evaluations.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "optimizer/GCoptimization.h"
#include "tests/optimizer/reference.h"

using namespace reference;

namespace {

TEST(ExpansionTest, EachMoveReachesTheBestExpansionLabeling) {
  forRandomProblems(300, [](Installer& in, std::mt19937& rng) {
    const Problem& p = in.p;
    Optimizer opt(in, kAllSources[rng() % 5]);  // every kind of source, against enumeration
    for (int move = 0; move < 8; move++) {
      int alpha = static_cast<int>(rng() % p.labels);
      std::vector<int> sites;
      std::vector<std::vector<int>> options;
      for (int s = 0; s < p.sites; s++) {
        options.push_back({opt.whatLabel(s)});
        if (move % 2 && rng() % 2) continue;  // outside the restricted move
        sites.push_back(s);
        if (opt.whatLabel(s) != alpha) options.back().push_back(alpha);
      }
      std::shuffle(sites.begin(), sites.end(), rng);
      if (move % 2)
        opt.alpha_expansion(alpha, sites.data(), static_cast<int>(sites.size()));
      else
        opt.alpha_expansion(alpha);
      checkMove(opt, p, options);
    }
  });
}

TEST(ExpansionTest, IterationsStopByTheLoopRule) { checkLoopRule(&GCoptimization::expansion, 2); }

TEST(ExpansionTest, EvaluatesCostsInAFixedOrder) {
  LoggedTriangle t;
  Optimizer& opt = t.opt;
  std::vector<std::string>& log = t.costs.log;
  ASSERT_EQ(opt.labels(), (std::vector<int>{2, 0, 0}));
  int sites[] = {2, 0};  // site 1 stays out of the move
  opt.alpha_expansion(1, sites, 2);
  // Unary terms in list order, alpha first; then sites from the list's end:
  // site 0 folds its fixed neighbour 1, site 2 folds 1 and pairs with 0.
  EXPECT_EQ(log, (std::vector<std::string>{"D21", "D20", "D01", "D02", "V0110", "V0120", "V2110",
                                           "V2100", "V2011", "V2012", "V2001", "V2002"}));
  log.clear();
  opt.compute_energy();  // each pair at its larger site, that site first
  EXPECT_EQ(log, (std::vector<std::string>{"D02", "D10", "D20", "V1002", "V2100", "V2002"}));
  EXPECT_DEATH(opt.alpha_expansion(3), "alpha_label >= 0 && alpha_label < m_num_labels");
  int bad[] = {1, 3};
  EXPECT_DEATH(opt.alpha_expansion(1, bad, 2), "site >= 0 && site < m_num_sites");
}

}  // namespace
