#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/node.h"

namespace veltra::core {

// Owns the root of a search tree across searches. The root is never empty.
template <typename State>
class SearchTree {
 public:
  using NodeType = Node<State>;
  using Handle = NodeHandle<State>;

  explicit SearchTree(std::int32_t root_action = -1)
      : root_(NodeType::create_owned_root(root_action)) {}
  SearchTree(const SearchTree&) = delete;
  SearchTree& operator=(const SearchTree&) = delete;
  ~SearchTree() { NodeType::release_owner(root_); }

  Handle root() const noexcept { return Handle(root_); }
  // The root without taking a hold; valid until the tree changes its root.
  NodeType* root_node() const noexcept { return root_; }

  // Number of nodes reachable from the root, root included. Walks with an explicit stack of
  // child iterators, so memory grows with depth and the call stack does not.
  std::int64_t total_nodes() const {
    using Iterator = typename NodeType::ChildIterator;
    std::int64_t count = 1;
    std::vector<Iterator> pending;
    pending.push_back(root_->children().begin());
    while (!pending.empty()) {
      Iterator& top = pending.back();
      if (top == Iterator()) {
        pending.pop_back();
        continue;
      }
      NodeType& child = *top;
      ++top;
      ++count;
      if (child.is_expanded()) pending.push_back(child.children().begin());
    }
    return count;
  }

  // Promotes the first root child with this action to be the root, keeping its statistics and
  // subtree; without such a child the root becomes a fresh node with this action.
  void reroot(std::int32_t action) {
    NodeType* promoted = nullptr;
    for (NodeType& child : root_->children()) {
      if (child.action() == action) {
        promoted = &child;
        break;
      }
    }
    if (promoted == nullptr) {
      replace_root(NodeType::create_owned_root(action));
      return;
    }
    NodeType::add_owner(promoted);
    promoted->detach_from_parent();
    replace_root(promoted);
  }

  void clear() { replace_root(NodeType::create_owned_root(-1)); }

 private:
  void replace_root(NodeType* new_root) noexcept {
    NodeType::release_owner(std::exchange(root_, new_root));
  }

  NodeType* root_;
};

}  // namespace veltra::core
