#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/assert.h"
#include "forest/formulas.h"
#include "forest/node.h"
#include "forest/node_store.h"

namespace veltra::forest {

// Checks, with VELTRA_ASSERT, what a broken forest would otherwise turn into wrong numbers
// silently:
//   - ownership: every node reached from root i is reached once, from no other root, and tree i's
//     live count is the number reached;
//   - structure: children are in increasing action order, each by a legal action of its parent;
//   - visit sums: a node with a legal action has exactly one visit more than its children
//     together (its own evaluation plus one per backup into a child; at least one more if it is
//     solved, or with `repeated_leaves`, where a new leaf that several descents of a step reach
//     takes a visit from each), a node without one has no child;
//   - free lists: every free node is on its tree's list once, linked to no tree, and live plus
//     free nodes are the store's capacity.
// Walks the whole forest: compiled in only where assertions are on (sanitizer and fuzz builds).
inline void check_forest_invariants(const NodeStore& store, const std::vector<NodeId>& roots,
                                    std::size_t num_actions, bool repeated_leaves = false) {
#if VELTRA_ASSERTIONS_ENABLED
  constexpr std::int64_t kUnseen = -1;
  constexpr std::int64_t kFree = -2;
  const std::size_t capacity = store.capacity();
  const auto in_store = [capacity](NodeId id) {
    return id >= 0 && static_cast<std::size_t>(id) < capacity;
  };
  std::vector<std::int64_t> owner(capacity, kUnseen);
  std::vector<NodeId> stack;
  std::size_t live = 0;
  for (std::size_t tree = 0; tree < roots.size(); ++tree) {
    std::size_t reached = 0;
    if (roots[tree] != kNoNode) stack.push_back(roots[tree]);
    while (!stack.empty()) {
      const NodeId id = stack.back();
      stack.pop_back();
      VELTRA_ASSERT(in_store(id) && owner[static_cast<std::size_t>(id)] == kUnseen);
      owner[static_cast<std::size_t>(id)] = static_cast<std::int64_t>(tree);
      ++reached;
      const Node& node = store[id];
      const float* priors = store.priors(id);
      bool any_legal = false;
      for (std::size_t a = 0; a < num_actions; ++a) any_legal = any_legal || is_legal(priors[a]);
      std::int64_t child_visits = 0;
      std::int32_t previous_action = -1;
      for (NodeId c = node.first_child; c != kNoNode; c = store[c].next_sibling) {
        VELTRA_ASSERT(in_store(c));
        const std::int32_t action = store[c].action;
        VELTRA_ASSERT(action > previous_action && static_cast<std::size_t>(action) < num_actions);
        VELTRA_ASSERT(is_legal(priors[action]));
        previous_action = action;
        child_visits += store[c].visits;
        stack.push_back(c);
      }
      VELTRA_ASSERT(node.visits >= 1);
      // A descent that reaches a solved node visits it and ends there.
      if (!any_legal) {
        VELTRA_ASSERT(node.first_child == kNoNode);
      } else if (store.solved(id) || repeated_leaves) {
        VELTRA_ASSERT(node.visits >= 1 + child_visits);
      } else {
        VELTRA_ASSERT(node.visits == 1 + child_visits);
      }
    }
    VELTRA_ASSERT(reached == store.tree_size(tree));
    live += reached;
  }
  VELTRA_ASSERT(live == store.live());
  std::size_t free = 0;
  for (std::size_t tree = 0; tree < roots.size(); ++tree) {
    for (NodeId id = store.free_head(tree); id != kNoNode; id = store[id].next_sibling) {
      VELTRA_ASSERT(in_store(id) && owner[static_cast<std::size_t>(id)] == kUnseen);
      owner[static_cast<std::size_t>(id)] = kFree;
      ++free;
    }
  }
  VELTRA_ASSERT(live + free == capacity);
#else
  static_cast<void>(store);
  static_cast<void>(roots);
  static_cast<void>(num_actions);
  static_cast<void>(repeated_leaves);
#endif
}

}  // namespace veltra::forest
