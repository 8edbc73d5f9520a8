#include <gtest/gtest.h>

#include <cstdint>

#include "core/search_engine.h"
#include "search_engine_fixture.h"

namespace veltra::core {
namespace {

using testing::Actions;
using testing::child_actions;
using testing::expect_result;
using testing::FloatHandle;
using testing::live_allocations;
using testing::nth_child;
using testing::SearchEngineTest;

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
