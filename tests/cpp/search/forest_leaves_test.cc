#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "forest/forest.h"
#include "forest_helpers.h"

namespace veltra::testing {
namespace {

using forest::Forest;
using forest::Policy;
using forest::SearchConfig;

struct LeavesRun {
  std::vector<RootResults> results;
  std::int32_t simulations;
  int calls;
  std::size_t rows;
};

// Two searches of 10 simulations, 4 leaves per step, on 3 trees and `threads` threads.
LeavesRun search_leaves(Policy policy, std::int32_t threads, bool solve) {
  SearchConfig config;
  config.num_actions = 5;
  config.num_simulations = 10;
  config.leaves_per_step = 4;
  config.policy = policy;
  config.num_threads = threads;
  config.solve = solve;
  HashGame game(5, solve ? 0.4 : 0.1, policy == Policy::kGumbel, solve);
  const std::vector<std::uint64_t> keys{3, 5, 8};
  Forest f(config, game.roots(keys));
  game.adopt_roots(f, keys);
  LeavesRun run{{}, f.search(game.evaluator()), 0, 0};
  run.simulations += f.search(game.evaluator());
  run.calls = game.calls;
  run.rows = game.rows;
  for (std::size_t i = 0; i < keys.size(); ++i) run.results.push_back(results_of(f, i));
  return run;
}

class ForestLeavesTest : public ::testing::TestWithParam<Policy> {};

TEST_P(ForestLeavesTest, StepsOfSeveralLeavesCountEveryDescentAndIgnoreThreads) {
  const LeavesRun one = search_leaves(GetParam(), 1, false);
  // 4 + 4 + 2 descents per search: one evaluation per step, up to 4 leaves per tree in each.
  EXPECT_EQ(one.simulations, 20);
  EXPECT_EQ(one.calls, 6);
  EXPECT_LE(one.rows, 3U * 20U);
  EXPECT_GT(one.rows, 3U * 6U);  // the descents of a step spread over several leaves
  for (const RootResults& root : one.results) EXPECT_EQ(root.root_visits, 1 + 20);
  for (const bool solve : {false, true}) {
    const LeavesRun alone = search_leaves(GetParam(), 1, solve);
    const LeavesRun threads = search_leaves(GetParam(), 2, solve);
    EXPECT_EQ(threads.results, alone.results) << "solve " << solve;
    EXPECT_EQ(threads.rows, alone.rows);
  }
}

INSTANTIATE_TEST_SUITE_P(Policies, ForestLeavesTest,
                         ::testing::Values(Policy::kPuct, Policy::kGumbel));

}  // namespace
}  // namespace veltra::testing
