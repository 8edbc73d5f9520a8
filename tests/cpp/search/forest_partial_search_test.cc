#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "forest/forest.h"
#include "forest/root_set.h"
#include "forest/time_budget.h"
#include "forest_helpers.h"

namespace veltra::testing {
namespace {

using forest::Forest;
using forest::SearchConfig;

SearchConfig puct_config(std::int32_t num_simulations) {
  SearchConfig config;
  config.num_actions = 5;
  config.num_simulations = num_simulations;
  config.dirichlet_fraction = 0.0;
  return config;
}

const std::vector<std::uint64_t> kKeys{7, 8, 9, 10};

// A search stopped after k steps (the stop asked after each step, never before the first) is,
// under PUCT, the search of k simulations, and reports k.
TEST(ForestStopTest, StoppedSearchIsTheShorterSearch) {
  for (const std::int32_t k : {1, 3, 17}) {
    HashGame game(5, 0.2);
    Forest stopped(puct_config(40), game.roots(kKeys));
    game.adopt_roots(stopped, kKeys);
    std::int32_t asked = 0;
    EXPECT_EQ(stopped.search(
                  game.evaluator(), [] {}, [&] { return ++asked == k; }),
              k);
    EXPECT_EQ(asked, k);

    HashGame short_game(5, 0.2);
    Forest shorter(puct_config(k), short_game.roots(kKeys));
    short_game.adopt_roots(shorter, kKeys);
    EXPECT_EQ(shorter.search(short_game.evaluator()), k);
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
      EXPECT_EQ(results_of(stopped, i), results_of(shorter, i)) << "k " << k << " root " << i;
    }
  }
}

TEST(ForestStopTest, WithoutSimulationsTheStopIsNeverAsked) {
  HashGame game(5, 0.0);
  Forest f(puct_config(0), game.roots(kKeys));
  game.adopt_roots(f, kKeys);
  bool asked = false;
  EXPECT_EQ(f.search(
                game.evaluator(), [] {}, [&] { return asked = true; }),
            0);
  EXPECT_FALSE(asked);
}

// A search of some roots steps them as a forest of only them would, and leaves the others alone.
TEST(ForestRootSetTest, SearchedRootsStepAsAloneOthersStayAsTheyWere) {
  HashGame game(5, 0.2);
  Forest f(puct_config(12), game.roots(kKeys));
  game.adopt_roots(f, kKeys);
  const std::vector<RootResults> before{results_of(f, 0), results_of(f, 2)};
  f.search(
      game.evaluator(), [] {}, [] { return false; }, forest::RootSet({0, 1, 0, 1}));

  HashGame alone_game(5, 0.2);
  const std::vector<std::uint64_t> alone_keys{kKeys[1], kKeys[3]};
  Forest alone(puct_config(12), alone_game.roots(alone_keys));
  alone_game.adopt_roots(alone, alone_keys);
  alone.search(alone_game.evaluator());
  EXPECT_EQ(results_of(f, 1), results_of(alone, 0));
  EXPECT_EQ(results_of(f, 3), results_of(alone, 1));
  EXPECT_EQ(results_of(f, 0), before[0]);
  EXPECT_EQ(results_of(f, 2), before[1]);
  EXPECT_EQ(game.rows, alone_game.rows);
}

TEST(TimeBudgetTest, ZeroIsSpentAtOnceAndInfinityNever) {
  EXPECT_TRUE(forest::TimeBudget(0.0).spent());
  EXPECT_FALSE(forest::TimeBudget(std::numeric_limits<double>::infinity()).spent());
  EXPECT_FALSE(forest::TimeBudget(1e9).spent());
}

}  // namespace
}  // namespace veltra::testing
