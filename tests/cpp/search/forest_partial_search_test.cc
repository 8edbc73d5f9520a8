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

// Roots pending on their own states are evaluated in one batch before the first step, and then
// grow as roots given at construction do; a reset to a pending root is evaluated the same way.
TEST(ForestOwnStateRootsTest, EvaluatedFirstInOneBatchThenAsGivenRoots) {
  HashGame game(5, 0.2);
  Forest lazy(puct_config(12), kKeys.size());
  game.pend_roots(kKeys);
  EXPECT_TRUE(lazy.pending_on_own_state(2));
  std::vector<std::size_t> batches;
  const auto evaluate = game.evaluator();
  const auto recording = [&](const std::vector<forest::Expansion>& expansions, Evaluations& e) {
    batches.push_back(expansions.size());
    evaluate(expansions, e);
  };
  lazy.search(recording);

  HashGame eager_game(5, 0.2);
  Forest eager(puct_config(12), eager_game.roots(kKeys));
  eager_game.adopt_roots(eager, kKeys);
  eager.search(eager_game.evaluator());
  ASSERT_EQ(batches.size(), 13U);
  EXPECT_EQ(batches[0], kKeys.size());
  for (std::size_t i = 0; i < kKeys.size(); ++i)
    EXPECT_EQ(results_of(lazy, i), results_of(eager, i));

  lazy.reset_pending(1, kKeepAll);
  game.pend_root(1, 99);
  EXPECT_TRUE(lazy.is_pending(1));
  batches.clear();
  lazy.search(recording);
  EXPECT_EQ(batches[0], 1U);
  HashGame fresh_game(5, 0.2);
  Forest fresh(puct_config(12), fresh_game.roots({99}));
  fresh_game.adopt_roots(fresh, {99});
  fresh.search(fresh_game.evaluator());
  EXPECT_EQ(results_of(lazy, 1), results_of(fresh, 0));
}

TEST(TimeBudgetTest, ZeroIsSpentAtOnceAndInfinityNever) {
  EXPECT_TRUE(forest::TimeBudget(0.0).spent());
  EXPECT_FALSE(forest::TimeBudget(std::numeric_limits<double>::infinity()).spent());
  EXPECT_FALSE(forest::TimeBudget(1e9).spent());
}

}  // namespace
}  // namespace veltra::testing
