#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "forest/node.h"

namespace veltra::forest {

// Every node of a forest in one array, with a row of num_actions priors per node beside it. Each
// tree takes its nodes from chunks of its own, so that the nodes of one tree, and above all the
// siblings near its root, which every descent reads, lie close together. A tree's freed nodes go
// on its own free list, threaded through next_sibling, and are reused first, so a tree that keeps
// advancing stops growing once it reaches its working size. Children of a node form a list in
// increasing action order. Nothing here recurses: whole subtrees are freed with an explicit stack.
// With `with_logits`, each node also has a row of num_actions doubles for its shifted logits.
class NodeStore {
 public:
  static constexpr std::size_t kChunk = 16;

  NodeStore(std::size_t num_actions, std::size_t num_trees, bool with_logits = false)
      : num_actions_(num_actions),
        logit_width_(with_logits ? num_actions : 0),
        free_heads_(num_trees, kNoNode) {}

  Node& operator[](NodeId id) noexcept { return nodes_[static_cast<std::size_t>(id)]; }
  const Node& operator[](NodeId id) const noexcept { return nodes_[static_cast<std::size_t>(id)]; }

  float* priors(NodeId id) noexcept { return priors_.data() + row_offset(id); }
  const float* priors(NodeId id) const noexcept { return priors_.data() + row_offset(id); }

  double* logits(NodeId id) noexcept {
    return logits_.data() + static_cast<std::size_t>(id) * logit_width_;
  }
  const double* logits(NodeId id) const noexcept {
    return logits_.data() + static_cast<std::size_t>(id) * logit_width_;
  }

  std::size_t live() const noexcept { return live_; }
  std::size_t capacity() const noexcept { return nodes_.size(); }

  // Makes room for `count` nodes at once, so that growing to that size copies nothing.
  void reserve(std::size_t count) {
    nodes_.reserve(count);
    priors_.reserve(count * num_actions_);
    logits_.reserve(count * logit_width_);
  }

  // A node for `tree` whose fields and priors the caller fills in.
  NodeId allocate(std::size_t tree) {
    NodeId& head = free_heads_[tree];
    if (head == kNoNode) add_chunk(head);
    const NodeId id = head;
    head = (*this)[id].next_sibling;
    ++live_;
    return id;
  }

  // Returns one node of `tree` to its free list; it must not be linked into a tree.
  void free(NodeId id, std::size_t tree) noexcept {
    (*this)[id].next_sibling = free_heads_[tree];
    free_heads_[tree] = id;
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

  // Frees `top` and everything below it in `tree` except the subtree of `keep` (kNoNode to keep
  // nothing), calling release(id) for each freed node. `keep` is left without siblings.
  template <typename Release>
  void free_tree(std::size_t tree, NodeId top, NodeId keep, Release&& release) {
    stack_.clear();
    stack_.push_back(top);
    while (!stack_.empty()) {
      const NodeId id = stack_.back();
      stack_.pop_back();
      for (NodeId c = (*this)[id].first_child; c != kNoNode; c = (*this)[c].next_sibling) {
        if (c != keep) stack_.push_back(c);
      }
      release(id);
      free(id, tree);
    }
    if (keep != kNoNode) (*this)[keep].next_sibling = kNoNode;
  }

 private:
  std::size_t row_offset(NodeId id) const noexcept {
    return static_cast<std::size_t>(id) * num_actions_;
  }

  // Appends kChunk nodes to the store and puts them on a free list, lowest id first.
  void add_chunk(NodeId& head) {
    const std::size_t first = nodes_.size();
    if (first + kChunk > static_cast<std::size_t>(std::numeric_limits<NodeId>::max())) {
      throw std::length_error("the forest cannot hold more nodes");
    }
    nodes_.resize(first + kChunk);
    priors_.resize(nodes_.size() * num_actions_);
    logits_.resize(nodes_.size() * logit_width_);
    for (std::size_t k = kChunk; k-- > 0;) {
      nodes_[first + k].next_sibling = head;
      head = static_cast<NodeId>(first + k);
    }
  }

  std::size_t num_actions_;
  std::vector<Node> nodes_;
  std::vector<float> priors_;
  std::size_t logit_width_;         // num_actions_ with logits, else 0
  std::vector<double> logits_;      // by node, logit_width_ each
  std::vector<NodeId> free_heads_;  // by tree
  std::size_t live_ = 0;
  std::vector<NodeId> stack_;
};

}  // namespace veltra::forest
