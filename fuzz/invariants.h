#pragma once

// What the fuzz target checks after its operations (core_fuzzer.cc):
//   - total_nodes() equals a recount made here, and every reachable child links to its parent;
//   - in a tree whose nodes were only ever updated by the engine, a node has at least as many
//     visits as its children together;
//   - a search that nothing re-entered adds visits as whole backups: each completed simulation
//     adds one visit to every node on one path ending at the root, and nothing else;
//   - the search result describes the root (actions, visits, most visited action, mean);
//   - every held node's chain of ancestors is alive and readable.
// A failed check prints its place and condition and aborts, in every build type.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <vector>

#include "core/node.h"
#include "core/search_result.h"
#include "core/search_tree.h"

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace veltra::fuzz {

using Node = core::Node<float>;
using Tree = core::SearchTree<float>;
// Visit counts of the nodes of a tree, by address.
using VisitCounts = std::unordered_map<const Node*, std::int32_t>;

// Equal as IEEE values, with NaN equal to NaN and 0.0 different from -0.0.
inline bool same_float(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

// Calls fn(node) for the root and every node reachable from it, with an explicit stack.
template <typename Fn>
void walk(const Node& root, Fn&& fn) {
  std::vector<const Node*> pending{&root};
  while (!pending.empty()) {
    const Node* node = pending.back();
    pending.pop_back();
    fn(*node);
    node->for_each_child([&](const Node& child) { pending.push_back(&child); });
  }
}

inline VisitCounts visit_counts(const Node& root) {
  VisitCounts counts;
  walk(root, [&](const Node& node) { counts[&node] = node.visit_count(); });
  return counts;
}

// `engine_only`: no node of the tree was updated other than by the engine's backups.
inline void check_tree(const Tree& tree, bool engine_only) {
  const Node& root = *tree.root_node();
  FUZZ_CHECK(root.parent() == nullptr);
  std::int64_t count = 0;
  walk(root, [&](const Node& node) {
    ++count;
    std::int64_t child_visits = 0;
    node.for_each_child([&](const Node& child) {
      FUZZ_CHECK(child.parent() == &node);
      child_visits += child.visit_count();
    });
    if (engine_only) FUZZ_CHECK(node.visit_count() >= child_visits);
  });
  FUZZ_CHECK(tree.total_nodes() == count);
}

// The whole chain of ancestors of a held node is alive and readable.
inline void check_held_chain(const Node& held) {
  std::int64_t visits = 0;
  for (const Node* node = &held; node != nullptr; node = node->parent()) {
    visits += node->visit_count();
    FUZZ_CHECK(node->is_expanded() == (node->children().begin() != node->children().end()));
  }
  FUZZ_CHECK(visits >= 0);
}

inline void check_result(const SearchResult& result, const Node& root, int num_simulations) {
  FUZZ_CHECK(result.num_simulations == num_simulations);
  FUZZ_CHECK(same_float(result.root_value, root.mean_value()));
  FUZZ_CHECK(result.actions.size() == result.visit_counts.size());
  std::size_t i = 0;
  std::int32_t best_visits = -1;
  std::int32_t best_action = -1;
  for (const Node& child : root.children()) {
    FUZZ_CHECK(i < result.actions.size());
    FUZZ_CHECK(result.actions[i] == child.action());
    FUZZ_CHECK(result.visit_counts[i] == child.visit_count());
    if (child.visit_count() > best_visits) {
      best_visits = child.visit_count();
      best_action = child.action();
    }
    ++i;
  }
  FUZZ_CHECK(i == result.actions.size());
  FUZZ_CHECK(result.best_action == best_action);
}

// The visits a search added must decompose into `completed` backups, each a path from some
// node up to the root: no node gained fewer visits than its children together, the surplus
// (backups that started at the node) sums to `completed`, and the root gained `completed`.
inline void check_backups(const Node& root, const VisitCounts& before, int completed) {
  auto added = [&](const Node& node) {
    const auto it = before.find(&node);
    return std::int64_t{node.visit_count()} - (it == before.end() ? 0 : it->second);
  };
  std::int64_t started = 0;
  walk(root, [&](const Node& node) {
    std::int64_t through_children = 0;
    node.for_each_child([&](const Node& child) { through_children += added(child); });
    const std::int64_t starts_here = added(node) - through_children;
    FUZZ_CHECK(starts_here >= 0);
    started += starts_here;
  });
  FUZZ_CHECK(started == completed);
  FUZZ_CHECK(added(root) == completed);
}

}  // namespace veltra::fuzz
