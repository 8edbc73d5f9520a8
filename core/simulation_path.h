#pragma once

#include <cstddef>
#include <vector>

#include "common/assert.h"
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
    VELTRA_ASSERT(!held_ && root->parent() == nullptr);
    nodes_.clear();
    nodes_.push_back(root);
  }
  // Records a step down to a child of the leaf, before the leaf is held.
  void descend(NodeType* child) {
    VELTRA_ASSERT(!held_ && child->parent() == leaf());
    nodes_.push_back(child);
  }
  NodeType* leaf() const noexcept { return nodes_.back(); }

  // Takes the hold a NodeHandle to the leaf would take: the leaf, and each ancestor up to the
  // first one already held, gain one hold. The path then stays alive whatever callbacks do.
  void hold_leaf() noexcept {
    VELTRA_ASSERT(!held_);
    held_ = true;
    // A node taking its first hold passes one on to its parent, the node before it on the path.
    for (std::size_t i = nodes_.size(); i-- > 0;) {
      if (!NodeType::take_hold(nodes_[i])) return;
    }
  }

  // Moves the hold from the held leaf to `child`, a node the leaf has just created and that
  // nothing holds yet, which becomes the leaf: the child's first hold is one on the leaf, and
  // that is the hold the path had there.
  void pass_hold_to_new_child(NodeType* child) {
    VELTRA_ASSERT(held_ && child->parent() == leaf());
    nodes_.push_back(child);
    const bool first_hold = NodeType::take_hold(child);
    VELTRA_ASSERT(first_hold);
  }

  // Adds `value` to the leaf, -value to its parent and so on up to the top of its chain, and
  // gives the hold back on the way, as Node::unhold would, so nodes that callbacks cut loose are
  // freed after their update.
  void backpropagate(float value) noexcept {
    VELTRA_ASSERT(held_);
    held_ = false;
    bool releasing = true;  // the path still holds nodes_[i]
    for (std::size_t i = nodes_.size(); i-- > 0;) {
      NodeType* node = nodes_[i];
      node->update(value);
      value = -value;
      const bool top = i == 0 || node->is_detached();  // read before the node may be freed
      if (releasing) releasing = NodeType::drop_hold(node);
      if (top) return;
    }
  }

 private:
  std::vector<NodeType*> nodes_;
  bool held_ = false;
};

}  // namespace veltra::core
