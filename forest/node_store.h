#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "forest/node.h"

namespace veltra::forest {

// Every node of a forest in one array, with a row of num_actions priors per node beside it. Freed
// nodes go on a free list threaded through next_sibling and are reused first, so a forest that
// keeps advancing stops growing once it reaches its working size. Children of a node form a list
// in increasing action order. Nothing here recurses: whole subtrees are freed with an explicit
// stack.
class NodeStore {
 public:
  explicit NodeStore(std::size_t num_actions) : num_actions_(num_actions) {}

  Node& operator[](NodeId id) noexcept { return nodes_[static_cast<std::size_t>(id)]; }
  const Node& operator[](NodeId id) const noexcept { return nodes_[static_cast<std::size_t>(id)]; }

  float* priors(NodeId id) noexcept { return priors_.data() + row_offset(id); }
  const float* priors(NodeId id) const noexcept { return priors_.data() + row_offset(id); }

  std::size_t live() const noexcept { return live_; }
  std::size_t capacity() const noexcept { return nodes_.size(); }

  // A node whose fields and priors the caller fills in.
  NodeId allocate() {
    ++live_;
    if (free_head_ != kNoNode) {
      const NodeId id = free_head_;
      free_head_ = (*this)[id].next_sibling;
      return id;
    }
    if (nodes_.size() >= static_cast<std::size_t>(std::numeric_limits<NodeId>::max())) {
      --live_;
      throw std::length_error("the forest cannot hold more nodes");
    }
    nodes_.emplace_back();
    priors_.resize(priors_.size() + num_actions_);
    return static_cast<NodeId>(nodes_.size() - 1);
  }

  // Returns one node to the free list; it must not be linked into a tree.
  void free(NodeId id) noexcept {
    (*this)[id].next_sibling = free_head_;
    free_head_ = id;
    --live_;
  }

  NodeId child(NodeId parent, std::int32_t action) const noexcept {
    for (NodeId c = (*this)[parent].first_child; c != kNoNode; c = (*this)[c].next_sibling) {
      if ((*this)[c].action == action) return c;
      if ((*this)[c].action > action) break;
    }
    return kNoNode;
  }

  // Inserts `child` (whose action is set and not yet taken) among parent's children.
  void link_child(NodeId parent, NodeId child) noexcept {
    const std::int32_t action = (*this)[child].action;
    NodeId* link = &(*this)[parent].first_child;
    while (*link != kNoNode && (*this)[*link].action < action) link = &(*this)[*link].next_sibling;
    (*this)[child].next_sibling = *link;
    *link = child;
  }

  // Frees `top` and everything below it except the subtree of `keep` (kNoNode to keep nothing),
  // calling release(id) for each freed node. `keep` is left without siblings.
  template <typename Release>
  void free_tree(NodeId top, NodeId keep, Release&& release) {
    stack_.clear();
    stack_.push_back(top);
    while (!stack_.empty()) {
      const NodeId id = stack_.back();
      stack_.pop_back();
      for (NodeId c = (*this)[id].first_child; c != kNoNode; c = (*this)[c].next_sibling) {
        if (c != keep) stack_.push_back(c);
      }
      release(id);
      free(id);
    }
    if (keep != kNoNode) (*this)[keep].next_sibling = kNoNode;
  }

 private:
  std::size_t row_offset(NodeId id) const noexcept {
    return static_cast<std::size_t>(id) * num_actions_;
  }

  std::size_t num_actions_;
  std::vector<Node> nodes_;
  std::vector<float> priors_;
  NodeId free_head_ = kNoNode;
  std::size_t live_ = 0;
  std::vector<NodeId> stack_;
};

}  // namespace veltra::forest
