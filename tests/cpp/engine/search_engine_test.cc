#include "core/search_engine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "search_engine_fixture.h"

namespace veltra::core {
namespace {

using testing::Actions;
using testing::child_actions;
using testing::config_with;
using testing::Engine;
using testing::expect_result;
using testing::FloatNode;
using testing::FloatTree;
using testing::nth_child;
using testing::SearchEngineTest;

TEST_F(SearchEngineTest, OneSimulationExpandsTheRootAndBacksUpItsFirstChild) {
  const SearchResult result = run(1);
  expect_result(result, 10, {10, 20, 30}, {1, 0, 0}, -1.0f, 1);
  EXPECT_EQ(legal_states, std::vector<float>{0.0f});
  EXPECT_EQ(rollout_calls, 1);
  EXPECT_EQ(transition_calls, 0);
  EXPECT_EQ(root().visit_count(), 1);
  EXPECT_EQ(root().total_value(), -1.0f);
  EXPECT_EQ(nth_child(root(), 0).total_value(), 1.0f);
  EXPECT_FALSE(nth_child(root(), 0).is_expanded());
}

TEST_F(SearchEngineTest, SecondSimulationExpandsTheFirstUnvisitedChild) {
  const SearchResult result = run(2);
  expect_result(result, 10, {10, 20, 30}, {1, 1, 0}, 0.0f, 2);
  const FloatNode& child20 = nth_child(root(), 1);
  EXPECT_EQ(child_actions(child20), (Actions{10, 20, 30}));
  EXPECT_EQ(child20.total_value(), -1.0f);
  EXPECT_EQ(nth_child(child20, 0).visit_count(), 1);
  EXPECT_EQ(nth_child(child20, 0).total_value(), 1.0f);
  EXPECT_EQ(nth_child(child20, 1).visit_count(), 0);
  EXPECT_EQ(root().total_value(), 0.0f);
  EXPECT_EQ(root().visit_count(), 2);
}

TEST_F(SearchEngineTest, FourSimulationsReturnToTheBestChild) {
  const SearchResult result = run(4);
  expect_result(result, 10, {10, 20, 30}, {2, 1, 1}, 0.5f, 4);
  EXPECT_EQ(legal_states, std::vector<float>(4, 0.0f));
  EXPECT_EQ(rollout_calls, 4);
  EXPECT_EQ(transition_calls, 0);
  EXPECT_TRUE(nth_child(root(), 0).is_expanded());
  EXPECT_EQ(tree->total_nodes(), 13);
}

TEST_F(SearchEngineTest, SecondSearchContinuesFromTheFirst) {
  run(1);
  const SearchResult result = run(1);
  expect_result(result, 10, {10, 20, 30}, {1, 1, 0}, 0.0f, 1);
  EXPECT_EQ(legal_states.size(), 2u);
  EXPECT_EQ(child_actions(root()), (Actions{10, 20, 30}));
  EXPECT_TRUE(nth_child(root(), 1).is_expanded());
}

TEST_F(SearchEngineTest, EmptyTransitionCallbackIsNeverNeeded) {
  const SearchResult result =
      Engine(config_with(4)).search(tree, legal(), Engine::TransitionFn(), rollout());
  expect_result(result, 10, {10, 20, 30}, {2, 1, 1}, 0.5f, 4);
}

TEST_F(SearchEngineTest, NoLegalActionsKeepsRollingOutAtTheRoot) {
  actions.clear();
  rollout_value = 2.0f;
  const SearchResult result = run(5);
  expect_result(result, -1, {}, {}, 2.0f, 5);
  EXPECT_EQ(legal_states, std::vector<float>(5, 0.0f));
  EXPECT_EQ(root().visit_count(), 5);
  EXPECT_EQ(root().total_value(), 10.0f);
  EXPECT_FALSE(root().is_expanded());
}

TEST_F(SearchEngineTest, DuplicateActionsGiveSeparateChildren) {
  actions = {5, 5};
  const SearchResult result = run(2);
  expect_result(result, 5, {5, 5}, {1, 1}, 0.0f, 2);
  EXPECT_NE(&nth_child(root(), 0), &nth_child(root(), 1));
}

TEST_F(SearchEngineTest, NullTreeGivesTheEmptyResultWithoutCallbacks) {
  const SearchResult result =
      Engine(config_with(5))
          .search(nullptr, Engine::LegalActionsFn(), Engine::TransitionFn(), Engine::RolloutFn());
  expect_result(result, -1, {}, {}, 0.0f, 0);
}

TEST_F(SearchEngineTest, EngineKeepsTheConfigurationItWasBuiltWith) {
  SearchConfig config = config_with(1);
  const Engine engine(config);
  config.num_simulations = 4;
  const SearchResult result = engine.search(tree, legal(), transition(), rollout());
  expect_result(result, 10, {10, 20, 30}, {1, 0, 0}, -1.0f, 1);
}

TEST_F(SearchEngineTest, SeedDoesNotChangeTheSearch) {
  SearchConfig other_seed = config_with(6);
  other_seed.seed = 12345;
  const SearchResult first = run(6);
  tree = std::make_shared<FloatTree>();
  const SearchResult second = Engine(other_seed).search(tree, legal(), transition(), rollout());
  EXPECT_EQ(second.best_action, first.best_action);
  EXPECT_EQ(second.visit_counts, first.visit_counts);
  EXPECT_EQ(second.root_value, first.root_value);
}

class NonPositiveSimulationsTest : public SearchEngineTest,
                                   public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(NonPositiveSimulationsTest, RunNothingOnAFreshTree) {
  const SearchResult result = run(GetParam());
  expect_result(result, -1, {}, {}, 0.0f, GetParam());
  EXPECT_TRUE(legal_states.empty());
  EXPECT_EQ(rollout_calls, 0);
}

TEST_P(NonPositiveSimulationsTest, DescribeAnAlreadySearchedRoot) {
  run(4);
  const SearchResult result = run(GetParam());
  expect_result(result, 10, {10, 20, 30}, {2, 1, 1}, 0.5f, GetParam());
  EXPECT_EQ(legal_states.size(), 4u);
  EXPECT_EQ(tree->total_nodes(), 13);
}

INSTANTIATE_TEST_SUITE_P(ZeroAndNegative, NonPositiveSimulationsTest, ::testing::Values(0, -3));

// Every expanded node in the tree has exactly the three children of one expansion.
void expect_each_node_expanded_once(const FloatNode& root) {
  std::vector<const FloatNode*> pending{&root};
  while (!pending.empty()) {
    const FloatNode* node = pending.back();
    pending.pop_back();
    if (!node->is_expanded()) continue;
    EXPECT_EQ(child_actions(*node), (Actions{10, 20, 30}));
    for (const FloatNode& child : node->children()) pending.push_back(&child);
  }
}

class NonFiniteRolloutTest : public SearchEngineTest,
                             public ::testing::WithParamInterface<float> {};

TEST_P(NonFiniteRolloutTest, DescentStillReachesALeafEverySimulation) {
  rollout_value = GetParam();
  run(8);
  EXPECT_EQ(root().visit_count(), 8);
  EXPECT_EQ(tree->total_nodes(), 1 + 3 * 8);
  expect_each_node_expanded_once(root());
}

INSTANTIATE_TEST_SUITE_P(NaNAndInfinities, NonFiniteRolloutTest,
                         ::testing::Values(std::numeric_limits<float>::quiet_NaN(),
                                           std::numeric_limits<float>::infinity(),
                                           -std::numeric_limits<float>::infinity()));

TEST_F(SearchEngineTest, WithoutAQualifyingChildTheDescentTakesTheFirst) {
  // After three simulations every root child has a NaN score.
  rollout_value = std::numeric_limits<float>::quiet_NaN();
  run(4);
  EXPECT_TRUE(nth_child(root(), 0).is_expanded());
  EXPECT_EQ(nth_child(root(), 0).visit_count(), 2);
}

TEST_F(SearchEngineTest, NaNExplorationConstantStillDescends) {
  run(8, std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(root().visit_count(), 8);
  EXPECT_EQ(tree->total_nodes(), 1 + 3 * 8);
  expect_each_node_expanded_once(root());
}

}  // namespace
}  // namespace veltra::core
