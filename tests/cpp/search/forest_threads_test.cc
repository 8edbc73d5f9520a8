#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "forest/forest.h"
#include "forest/thread_pool.h"
#include "forest_helpers.h"

namespace veltra::testing {
namespace {

using forest::Forest;
using forest::Policy;
using forest::SearchConfig;
using forest::ThreadPool;

TEST(ThreadPoolTest, RunsEveryWorkerOncePerTaskAndRethrows) {
  ThreadPool pool(3);
  std::vector<std::atomic<int>> runs(3);
  for (int task = 0; task < 50; ++task) pool.run([&](std::size_t w) { ++runs[w]; });
  for (const auto& r : runs) EXPECT_EQ(r.load(), 50);
  EXPECT_THROW(pool.run([](std::size_t w) {
    if (w == 2) throw std::runtime_error("worker");
  }),
               std::runtime_error);
  pool.run([&](std::size_t w) { ++runs[w]; });  // still serves after a failure
  EXPECT_EQ(runs[2].load(), 51);
}

// Two searches and a sampled move per root on `roots` trees, on `threads` threads.
std::vector<RootResults> play(Policy policy, std::int32_t threads, std::size_t roots,
                              std::vector<std::int64_t>& moves) {
  SearchConfig config;
  config.num_actions = 5;
  config.num_simulations = 40;
  config.policy = policy;
  config.num_threads = threads;
  config.seed = 11;
  HashGame game(5, 0.1, policy == Policy::kGumbel);
  std::vector<std::uint64_t> keys;
  for (std::uint64_t k = 0; k < roots; ++k) keys.push_back(k + 1);
  Forest f(config, game.roots(keys));
  game.adopt_roots(f, keys);
  f.search(game.evaluator());
  f.search(game.evaluator());
  moves.resize(roots);
  f.select(1.0, moves.data());
  std::vector<RootResults> results;
  for (std::size_t i = 0; i < roots; ++i) results.push_back(results_of(f, i));
  return results;
}

class ForestThreadsTest : public ::testing::TestWithParam<Policy> {};

TEST_P(ForestThreadsTest, ResultsDoNotDependOnTheNumberOfThreads) {
  for (const std::size_t roots : {1U, 2U, 9U}) {
    std::vector<std::int64_t> one_moves;
    const auto one = play(GetParam(), 1, roots, one_moves);
    for (const std::int32_t threads : {2, 3, 8}) {
      std::vector<std::int64_t> moves;
      EXPECT_EQ(play(GetParam(), threads, roots, moves), one) << threads << " threads";
      EXPECT_EQ(moves, one_moves);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Policies, ForestThreadsTest,
                         ::testing::Values(Policy::kPuct, Policy::kGumbel));

}  // namespace
}  // namespace veltra::testing
