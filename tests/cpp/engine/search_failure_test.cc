#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "core/search_engine.h"
#include "search_engine_fixture.h"

namespace veltra::core {
namespace {

using testing::Actions;
using testing::child_actions;
using testing::config_with;
using testing::Engine;
using testing::FloatNode;
using testing::live_allocations;
using testing::nth_child;
using testing::SearchEngineTest;

// Callbacks that are missing or throw: the exception reaches the caller and the tree keeps every
// completed simulation.
using SearchFailureTest = SearchEngineTest;

// A callback's own exception type, to check it arrives unchanged.
struct CallbackFailure {
  int simulation;
};

TEST_F(SearchFailureTest, EmptyLegalActionsCallbackFailsBeforeTouchingTheTree) {
  EXPECT_THROW(
      Engine(config_with(1)).search(tree, Engine::LegalActionsFn(), transition(), rollout()),
      std::bad_function_call);
  EXPECT_EQ(rollout_calls, 0);
  EXPECT_FALSE(root().is_expanded());
  EXPECT_EQ(root().visit_count(), 0);
}

TEST_F(SearchFailureTest, EmptyRolloutCallbackFailsAfterTheExpansion) {
  EXPECT_THROW(Engine(config_with(1)).search(tree, legal(), transition(), Engine::RolloutFn()),
               std::bad_function_call);
  EXPECT_EQ(child_actions(root()), (Actions{10, 20, 30}));
  for (const FloatNode& child : root().children()) EXPECT_EQ(child.visit_count(), 0);
  EXPECT_EQ(root().visit_count(), 0);
  EXPECT_EQ(root().total_value(), 0.0f);
}

TEST_F(SearchFailureTest, RolloutFailureKeepsTheEarlierSimulations) {
  on_rollout = [](int call) {
    if (call == 3) throw CallbackFailure{call};
  };
  try {
    run(5);
    FAIL() << "the rollout's exception did not propagate";
  } catch (const CallbackFailure& failure) {
    EXPECT_EQ(failure.simulation, 3);
  }
  EXPECT_EQ(rollout_calls, 3);
  EXPECT_EQ(root().visit_count(), 2);
  EXPECT_EQ(root().total_value(), 0.0f);
  const FloatNode& child30 = nth_child(root(), 2);
  EXPECT_EQ(nth_child(root(), 0).visit_count(), 1);
  EXPECT_EQ(nth_child(root(), 1).visit_count(), 1);
  EXPECT_EQ(child30.visit_count(), 0);
  EXPECT_EQ(child_actions(child30), (Actions{10, 20, 30}));
  EXPECT_EQ(nth_child(child30, 0).visit_count(), 0);
}

TEST_F(SearchFailureTest, LegalActionsFailureLeavesTheFailingSimulationWithoutEffect) {
  on_legal = [](int call) {
    if (call == 2) throw CallbackFailure{call};
  };
  EXPECT_THROW(run(3), CallbackFailure);
  EXPECT_EQ(rollout_calls, 1);
  EXPECT_EQ(root().visit_count(), 1);
  EXPECT_FALSE(nth_child(root(), 1).is_expanded());
  EXPECT_EQ(tree->total_nodes(), 4);
}

TEST_F(SearchFailureTest, FailedSearchReleasesEveryNode) {
  const std::int64_t baseline = fresh_tree_baseline();
  on_rollout = [this](int call) {
    if (call == 2) {
      tree->clear();
      throw CallbackFailure{call};
    }
  };
  EXPECT_THROW(run(3), CallbackFailure);
  EXPECT_THROW(Engine(config_with(1)).search(tree, legal(), transition(), Engine::RolloutFn()),
               std::bad_function_call);
  tree.reset();
  EXPECT_EQ(live_allocations(), baseline);
}

}  // namespace
}  // namespace veltra::core
