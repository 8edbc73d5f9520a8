#pragma once

#include <cassert>
#include <cstddef>
#include <vector>

#include "core/node.h"

namespace veltra::core {

// The nodes one simulation went through, from the tree's root down to the node it works on (the
// leaf), kept so that holding the leaf and backing a value up walk an array instead of chasing
// parent links through the child blocks.
//
// The path is a chain of parent links while it is recorded. Once the leaf is held, callbacks may
// change the tree; the only change a parent link can see is that a node becomes detached (a tree
// promoted it to its root), so every walk up stops after a detached node, as parent() would.
// One path is reused by every simulation of a search, so recording it allocates only when the
// tree grows deeper than before.
template <typename State>
class SimulationPath {
 public:
  using NodeType = Node<State>;

  SimulationPath() = default;
  SimulationPath(const SimulationPath&) = delete;
  SimulationPath& operator=(const SimulationPath&) = delete;
  // A simulation cut short by an exception still gives its hold back.
  ~SimulationPath() {
    if (held_) NodeType::unhold(leaf());
  }

  // Starts a new path at a node without a parent.
  void start(NodeType* root) {
    assert(!held_ && root->parent() == nullptr);
    nodes_.clear();
    nodes_.push_back(root);
  }
  // Records a step down to a child of the leaf, before the leaf is held.
  void descend(NodeType* child) {
    assert(!held_ && child->parent() == leaf());
    nodes_.push_back(child);
  }
  NodeType* leaf() const noexcept { return nodes_.back(); }

  // Takes the hold a NodeHandle to the leaf would take: the leaf, and each ancestor up to the
  // first one already held, gain one hold. The path then stays alive whatever callbacks do.
  void hold_leaf() noexcept {
    assert(!held_);
    held_ = true;
    for (std::size_t i = nodes_.size(); i-- > 0;) {
      NodeType* node = nodes_[i];
      if (node->holds_++ != 0 || node->detached_) return;
    }
  }

  // Moves the hold from the held leaf to `child`, a node the leaf has just created and that
  // nothing holds yet, which becomes the leaf. The old leaf keeps one hold: its child's.
  void pass_hold_to_new_child(NodeType* child) {
    assert(held_ && child->holds_ == 0 && child->parent() == leaf());
    nodes_.push_back(child);
    child->holds_ = 1;
  }

  // Adds `value` to the leaf, -value to its parent and so on up to the top of its chain, and
  // gives the hold back on the way, as Node::unhold would, so nodes that callbacks cut loose are
  // freed after their update.
  void backpropagate(float value) noexcept {
    assert(held_);
    held_ = false;
    for (std::size_t i = nodes_.size(); i-- > 0;) {
      NodeType* node = nodes_[i];
      node->update(value);
      value = -value;
      const bool has_parent = i > 0 && !node->detached_;
      if (node->holds_ > 1) {
        // Someone else holds this node too, so it keeps holding its parent: our hold moves up.
        --node->holds_;
        if (has_parent) ++nodes_[i - 1]->holds_;
      } else {
        // Ours was the last hold: the node's own hold on its parent becomes ours.
        node->holds_ = 0;
        if (node->owners_ == 0) NodeType::destroy(node);
      }
      if (!has_parent) return;
    }
  }

 private:
  std::vector<NodeType*> nodes_;
  bool held_ = false;
};

}  // namespace veltra::core
