#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "allocation_counter.h"
#include "core/search_config.h"
#include "core/search_engine.h"
#include "core/search_result.h"
#include "core/search_tree.h"
#include "node_helpers.h"

namespace veltra::testing {

using Engine = core::SearchEngine<float>;
using FloatTree = core::SearchTree<float>;
using Actions = std::vector<std::int32_t>;

inline SearchConfig config_with(std::int32_t simulations, float exploration = 1.414f) {
  SearchConfig config;
  config.num_simulations = simulations;
  config.exploration_constant = exploration;
  return config;
}

inline void expect_result(const SearchResult& result, std::int32_t best_action,
                          const Actions& actions, const Actions& visit_counts, float root_value,
                          std::int32_t num_simulations) {
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

}  // namespace veltra::testing
