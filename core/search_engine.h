#pragma once

// Monte Carlo tree search over a SearchTree whose nodes carry all statistics.
//
// Each simulation starts at the tree's current root and
//   1. descends while the node has children, to the child with the highest UCB1 score
//        Q(child) + c * sqrt(ln N(node) / N(child)),   Q = total value / visits,
//      where unvisited children score +infinity and ties go to the earliest child;
//   2. asks the legal-actions callback for the actions at the leaf (the state is always 0.0:
//      the problem lives with the caller) and adds one child per action, moving to the first;
//   3. takes the rollout callback's value v;
//   4. adds v to the node it reached, -v to its parent, and so on up to the root.
// The result lists the root's children with their visit counts, the most visited action (first
// one on ties) and the root's mean value. The transition callback is accepted but not called.
//
// Callbacks may re-enter the tree (read it, reroot or clear it, even search it again). The
// simulation in flight holds the node it works on, which keeps the path to its root alive, and
// the next simulation reads the tree's root afresh.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "core/child_selection.h"
#include "core/node.h"
#include "core/search_config.h"
#include "core/search_result.h"
#include "core/search_tree.h"
#include "core/simulation_path.h"

namespace veltra::core {

template <typename State>
class SearchEngine {
 public:
  using NodeType = Node<State>;
  using LegalActionsFn = std::function<std::vector<int>(const State&)>;
  using TransitionFn = std::function<std::vector<float>(const State&, int)>;
  using RolloutFn = std::function<float()>;

  explicit SearchEngine(const SearchConfig& config) : config_(config) {}

  SearchResult search(std::shared_ptr<SearchTree<State>> tree, LegalActionsFn legal_actions_fn,
                      TransitionFn transition_fn, RolloutFn rollout_fn) const {
    return search(std::move(tree), std::move(legal_actions_fn), std::move(transition_fn),
                  std::move(rollout_fn), [] {});
  }

  // The same search, calling `after_simulation()` after every completed simulation, when no
  // simulation is in flight. It may throw to end the search there, the tree consistent.
  template <typename AfterSimulation>
  SearchResult search(std::shared_ptr<SearchTree<State>> tree, LegalActionsFn legal_actions_fn,
                      TransitionFn transition_fn, RolloutFn rollout_fn,
                      AfterSimulation&& after_simulation) const {
    (void)transition_fn;  // held for the call, never invoked
    if (tree == nullptr) return empty_result();
    // One path per call, not per engine: a callback may start another search with this engine.
    SimulationPath<State> path;
    for (std::int32_t i = 0; i < config_.num_simulations; ++i) {
      simulate(*tree, path, legal_actions_fn, rollout_fn);
      after_simulation();
    }
    return describe_root(*tree->root_node());
  }

 private:
  void simulate(SearchTree<State>& tree, SimulationPath<State>& path,
                const LegalActionsFn& legal_actions_fn, const RolloutFn& rollout_fn) const {
    NodeType* leaf = tree.root_node();
    path.start(leaf);
    while (leaf->is_expanded()) {
      NodeType* next = best_ucb_child(*leaf, config_.exploration_constant);
      // With NaN or infinite statistics no child may qualify; the descent still goes down.
      leaf = next != nullptr ? next : &leaf->first_child();
      path.descend(leaf);
    }

    // From here on Python code runs and may change the tree: hold the node we work on.
    path.hold_leaf();
    const State state{};
    const std::vector<int> actions = legal_actions_fn(state);
    if (!actions.empty()) {
      path.pass_hold_to_new_child(leaf->append_children(actions.data(), actions.size(), 0.0f));
    }
    path.backpropagate(rollout_fn());
  }

  static SearchResult empty_result() {
    SearchResult result;
    result.best_action = -1;
    return result;
  }

  SearchResult describe_root(const NodeType& root) const {
    SearchResult result;
    result.root_value = root.mean_value();
    result.num_simulations = config_.num_simulations;
    result.best_action = -1;
    const auto children = root.children();
    const auto count = static_cast<std::size_t>(std::distance(children.begin(), children.end()));
    result.actions.reserve(count);
    result.visit_counts.reserve(count);
    std::int32_t best_visits = -1;
    for (const NodeType& child : children) {
      result.actions.push_back(child.action());
      result.visit_counts.push_back(child.visit_count());
      if (child.visit_count() > best_visits) {
        best_visits = child.visit_count();
        result.best_action = child.action();
      }
    }
    return result;
  }

  SearchConfig config_;
};

}  // namespace veltra::core
