#include "core/search_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "allocation_counter.h"
#include "core/search_config.h"
#include "core/search_result.h"
#include "core/search_tree.h"
#include "node_helpers.h"

namespace veltra::core {
namespace {

using testing::child_actions;
using testing::FloatHandle;
using testing::FloatNode;
using testing::live_allocations;
using testing::nth_child;
using Engine = SearchEngine<float>;
using FloatTree = SearchTree<float>;
using Actions = std::vector<std::int32_t>;

SearchConfig config_with(std::int32_t simulations, float exploration = 1.414f) {
  SearchConfig config;
  config.num_simulations = simulations;
  config.exploration_constant = exploration;
  return config;
}

void expect_result(const SearchResult& result, std::int32_t best_action, const Actions& actions,
                   const Actions& visit_counts, float root_value, std::int32_t num_simulations) {
  EXPECT_EQ(result.best_action, best_action);
  EXPECT_EQ(result.actions, actions);
  EXPECT_EQ(result.visit_counts, visit_counts);
  EXPECT_FLOAT_EQ(result.root_value, root_value);
  EXPECT_EQ(result.num_simulations, num_simulations);
}

// A search over a fresh tree whose callbacks record their calls. By default every leaf has the
// actions {10, 20, 30} and every rollout is worth 1.0; tests replace `on_legal` or `on_rollout`
// to run code inside the callbacks (which may throw or change the tree).
class SearchEngineTest : public ::testing::Test {
 protected:
  // Reserved up front so that tests counting live allocations see no growth of their own.
  SearchEngineTest() { legal_states.reserve(64); }

  SearchResult run(std::int32_t simulations, float exploration = 1.414f) {
    return Engine(config_with(simulations, exploration))
        .search(tree, legal(), transition(), rollout());
  }

  Engine::LegalActionsFn legal() {
    return [this](const float& state) {
      legal_states.push_back(state);
      if (on_legal) on_legal(static_cast<int>(legal_states.size()));
      return actions;
    };
  }
  Engine::TransitionFn transition() {
    return [this](const float&, int) {
      ++transition_calls;
      return std::vector<float>{};
    };
  }
  Engine::RolloutFn rollout() {
    return [this] {
      ++rollout_calls;
      if (on_rollout) on_rollout(rollout_calls);
      return rollout_value;
    };
  }

  FloatNode& root() const { return *tree->root_node(); }

  // Replaces the tree by a fresh one and returns the number of live allocations without any
  // tree, for tests that check that every node is freed once the tree is dropped.
  std::int64_t fresh_tree_baseline() {
    tree.reset();
    const std::int64_t baseline = live_allocations();
    tree = std::make_shared<FloatTree>();
    return baseline;
  }

  std::shared_ptr<FloatTree> tree = std::make_shared<FloatTree>();
  std::vector<int> actions{10, 20, 30};
  float rollout_value = 1.0f;
  std::function<void(int)> on_legal;    // called with the 1-based number of the call
  std::function<void(int)> on_rollout;  // called with the 1-based number of the call
  std::vector<float> legal_states;
  int rollout_calls = 0;
  int transition_calls = 0;
};

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

// A callback's own exception type, to check it arrives unchanged.
struct CallbackFailure {
  int simulation;
};

TEST_F(SearchEngineTest, EmptyLegalActionsCallbackFailsBeforeTouchingTheTree) {
  EXPECT_THROW(
      Engine(config_with(1)).search(tree, Engine::LegalActionsFn(), transition(), rollout()),
      std::bad_function_call);
  EXPECT_EQ(rollout_calls, 0);
  EXPECT_FALSE(root().is_expanded());
  EXPECT_EQ(root().visit_count(), 0);
}

TEST_F(SearchEngineTest, EmptyRolloutCallbackFailsAfterTheExpansion) {
  EXPECT_THROW(Engine(config_with(1)).search(tree, legal(), transition(), Engine::RolloutFn()),
               std::bad_function_call);
  EXPECT_EQ(child_actions(root()), (Actions{10, 20, 30}));
  for (const FloatNode& child : root().children()) EXPECT_EQ(child.visit_count(), 0);
  EXPECT_EQ(root().visit_count(), 0);
  EXPECT_EQ(root().total_value(), 0.0f);
}

TEST_F(SearchEngineTest, RolloutFailureKeepsTheEarlierSimulations) {
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

TEST_F(SearchEngineTest, LegalActionsFailureLeavesTheFailingSimulationWithoutEffect) {
  on_legal = [](int call) {
    if (call == 2) throw CallbackFailure{call};
  };
  EXPECT_THROW(run(3), CallbackFailure);
  EXPECT_EQ(rollout_calls, 1);
  EXPECT_EQ(root().visit_count(), 1);
  EXPECT_FALSE(nth_child(root(), 1).is_expanded());
  EXPECT_EQ(tree->total_nodes(), 4);
}

TEST_F(SearchEngineTest, FailedSearchReleasesEveryNode) {
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

// Callbacks that change the tree while a simulation is working on it.
using SearchReentrancyTest = SearchEngineTest;

TEST_F(SearchReentrancyTest, ClearInRolloutBacksUpIntoTheFormerTree) {
  FloatHandle old_root = tree->root();
  on_rollout = [this](int call) {
    if (call == 1) tree->clear();
  };
  const SearchResult result = run(3);
  expect_result(result, 10, {10, 20, 30}, {1, 1, 0}, 0.0f, 3);
  EXPECT_NE(tree->root().get(), old_root.get());
  EXPECT_EQ(old_root->visit_count(), 1);
  EXPECT_EQ(old_root->total_value(), -1.0f);
  EXPECT_EQ(nth_child(*old_root, 0).total_value(), 1.0f);
  EXPECT_EQ(tree->total_nodes(), 7);
}

TEST_F(SearchReentrancyTest, ClearInLegalActionsExpandsTheHeldFormerRoot) {
  FloatHandle old_root = tree->root();
  on_legal = [this](int call) {
    if (call == 1) tree->clear();
  };
  const SearchResult result = run(3);
  expect_result(result, 10, {10, 20, 30}, {1, 1, 0}, 0.0f, 3);
  EXPECT_EQ(child_actions(*old_root), (Actions{10, 20, 30}));
  EXPECT_EQ(old_root->visit_count(), 1);
}

TEST_F(SearchReentrancyTest, ClearedTreeIsFreedOnceTheSimulationLetsGo) {
  const std::int64_t baseline = fresh_tree_baseline();
  on_rollout = [this](int) { tree->clear(); };
  run(4);
  EXPECT_EQ(tree->total_nodes(), 1);
  EXPECT_EQ(tree->root()->visit_count(), 0);
  tree.reset();
  EXPECT_EQ(live_allocations(), baseline);
}

TEST_F(SearchReentrancyTest, ClearInLegalActionsWhileOnlyTheSearchHoldsTheLeaf) {
  const std::int64_t baseline = fresh_tree_baseline();
  on_legal = [this](int call) {
    if (call == 1) tree->clear();
  };
  {
    const SearchResult result = run(2);
    expect_result(result, 10, {10, 20, 30}, {1, 0, 0}, -1.0f, 2);
  }
  tree.reset();
  EXPECT_EQ(live_allocations(), baseline);
}

TEST_F(SearchReentrancyTest, RerootAwayFromTheLeafInLegalActions) {
  const std::int64_t baseline = fresh_tree_baseline();
  on_legal = [this](int call) {
    if (call == 2) tree->reroot(30);  // the search is at child 20, which only it still holds
  };
  {
    const SearchResult result = run(3);
    // Simulation 3 expands the promoted child 30, which had no visits yet.
    expect_result(result, 10, {10, 20, 30}, {1, 0, 0}, -1.0f, 3);
    EXPECT_EQ(root().action(), 30);
    EXPECT_EQ(tree->total_nodes(), 4);
  }
  tree.reset();
  EXPECT_EQ(live_allocations(), baseline);
}

TEST_F(SearchReentrancyTest, RerootInRolloutMovesTheNextSimulations) {
  FloatHandle old_root = tree->root();
  on_rollout = [this](int call) {
    if (call == 2) tree->reroot(10);
  };
  const SearchResult result = run(3);
  // Simulation 3 expands the promoted child 10 and backs up from its first child.
  expect_result(result, 10, {10, 20, 30}, {1, 0, 0}, 0.0f, 3);
  EXPECT_EQ(root().action(), 10);
  EXPECT_EQ(root().parent(), nullptr);
  EXPECT_EQ(root().visit_count(), 2);
  // Simulation 2 still backed up through child 20 into the former root.
  EXPECT_EQ(old_root->visit_count(), 2);
  EXPECT_EQ(old_root->total_value(), 0.0f);
}

TEST_F(SearchReentrancyTest, RerootToTheLeafInLegalActionsCutsTheBackup) {
  FloatHandle old_root = tree->root();
  on_legal = [this](int call) {
    if (call == 2) tree->reroot(20);
  };
  const SearchResult result = run(3);
  expect_result(result, 10, {10, 20, 30}, {1, 1, 0}, 0.0f, 3);
  EXPECT_EQ(root().action(), 20);
  EXPECT_EQ(root().visit_count(), 2);
  EXPECT_EQ(old_root->visit_count(), 1);
  EXPECT_EQ(old_root->total_value(), -1.0f);
}

TEST_F(SearchReentrancyTest, ClearingChildrenOnThePathKeepsTheBackup) {
  FloatHandle child20;
  on_rollout = [this, &child20](int call) {
    if (call == 2) {
      child20 = FloatHandle(&nth_child(root(), 1));
      root().clear_children();
    }
  };
  const SearchResult result = run(3);
  // Simulation 3 finds the root without children and expands it afresh.
  expect_result(result, 10, {10, 20, 30}, {1, 0, 0}, -1.0f / 3.0f, 3);
  EXPECT_EQ(root().visit_count(), 3);
  EXPECT_EQ(child20->visit_count(), 1);
  EXPECT_EQ(child20->total_value(), -1.0f);
  EXPECT_EQ(child20->parent(), &root());
  EXPECT_EQ(nth_child(*child20, 0).total_value(), 1.0f);
}

TEST_F(SearchReentrancyTest, RemovingTheLeafFromItsParentInRollout) {
  on_rollout = [this](int call) {
    if (call == 1) root().clear_children();
  };
  const SearchResult result = run(2);
  expect_result(result, 10, {10, 20, 30}, {1, 0, 0}, -1.0f, 2);
  EXPECT_EQ(root().total_value(), -2.0f);
  EXPECT_EQ(tree->total_nodes(), 4);
}

TEST_F(SearchReentrancyTest, NestedSearchOnTheSameTree) {
  SearchResult inner;
  on_rollout = [this, &inner](int call) {
    if (call != 1) return;
    inner = run(2);
  };
  const SearchResult outer = run(3);
  // The nested search runs while child 10 is unvisited: it expands child 10 and then child 20.
  expect_result(inner, 10, {10, 20, 30}, {1, 1, 0}, 1.0f, 2);
  expect_result(outer, 10, {10, 20, 30}, {3, 1, 1}, 0.2f, 3);
  EXPECT_EQ(legal_states.size(), 5u);
  EXPECT_EQ(root().visit_count(), 5);
  EXPECT_EQ(nth_child(root(), 0).total_value(), 1.0f);
}

TEST_F(SearchReentrancyTest, NestedSearchThatClearsTheTree) {
  const std::int64_t baseline = fresh_tree_baseline();
  bool nested = false;
  on_rollout = [this, &nested](int call) {
    if (nested) {
      tree->clear();
    } else if (call == 2) {
      nested = true;
      run(2);
      nested = false;
    }
  };
  {
    const SearchResult result = run(3);
    // Simulation 3 of the outer search starts on the root left by the nested one.
    expect_result(result, 10, {10, 20, 30}, {1, 0, 0}, -1.0f, 3);
  }
  tree.reset();
  EXPECT_EQ(live_allocations(), baseline);
}

}  // namespace
}  // namespace veltra::core
