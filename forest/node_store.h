#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "forest/evaluation.h"
#include "forest/formulas.h"
#include "forest/node.h"

namespace veltra::forest {

// Every node of a forest in one array, with a row of num_actions priors per node beside it. Each
// tree takes its nodes from chunks of its own, so that the nodes of one tree, and above all the
// siblings near its root, which every descent reads, lie close together; a tree's chunks grow
// with it (as many nodes as it has, from 1 up to kChunk), so a small tree holds few spare rows.
// A tree's freed nodes go on its own free list, threaded through next_sibling, and are reused
// first, so a tree that keeps advancing stops growing once it reaches its working size. Children
// of a node form a list in increasing action order. Nothing here recurses, and freeing allocates
// nothing: whole subtrees are freed through a list threaded through the nodes themselves. With
// `with_logits`, each node also has a row of num_actions doubles for its shifted logits; with
// `with_solved`, a flag that says its value is exact (see exact_values.h).
class NodeStore {
 public:
  static constexpr std::size_t kChunk = 16;

  NodeStore(std::size_t num_actions, std::size_t num_trees, bool with_logits = false,
            bool with_solved = false)
      : num_actions_(num_actions),
        logit_width_(with_logits ? num_actions : 0),
        solved_width_(with_solved ? 1 : 0),
        free_heads_(num_trees, kNoNode),
        tree_sizes_(num_trees, 0) {}

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

  // Whether node id's value is exact and final; always false without solved flags.
  bool solved(NodeId id) const noexcept {
    return solved_width_ > 0 && solved_[static_cast<std::size_t>(id)] != 0;
  }
  bool tracks_solved() const noexcept { return solved_width_ > 0; }
  // Makes node id solved with V = `value` (a store with solved flags only).
  void mark_solved(NodeId id, double value) noexcept {
    solved_[static_cast<std::size_t>(id)] = 1;
    (*this)[id].value = value;
  }

  // Makes node id the position of row `row` of `evaluation`, reached by `action`, with one
  // visit and no children; with solved flags, solved if it has no legal action.
  void fill(NodeId id, const Evaluations& evaluation, std::size_t row, std::int32_t action) {
    Node& n = (*this)[id];
    n.value = evaluation.values[row];
    n.raw_value = evaluation.values[row];
    n.reward = evaluation.rewards[row];
    n.discount = evaluation.discounts[row];
    n.visits = 1;
    n.action = action;
    n.first_child = kNoNode;
    n.next_sibling = kNoNode;
    const float* source = evaluation.priors.data() + row * num_actions_;
    std::copy(source, source + num_actions_, priors(id));
    if (logit_width_ > 0) {
      const double* shifted = evaluation.logits.data() + row * num_actions_;
      std::copy(shifted, shifted + num_actions_, logits(id));
    }
    if (solved_width_ > 0) solved_[static_cast<std::size_t>(id)] = has_legal_action(id) ? 0 : 1;
  }

  bool has_legal_action(NodeId id) const noexcept {
    const float* p = priors(id);
    for (std::size_t a = 0; a < num_actions_; ++a) {
      if (is_legal(p[a])) return true;
    }
    return false;
  }

  std::size_t live() const noexcept { return live_; }
  std::size_t capacity() const noexcept { return nodes_.size(); }
  // Nodes `tree` has taken and not freed.
  std::size_t tree_size(std::size_t tree) const noexcept { return tree_sizes_[tree]; }
  // The first node on the free list of `tree` (kNoNode if it is empty).
  NodeId free_head(std::size_t tree) const noexcept { return free_heads_[tree]; }

  // A node for `tree` whose fields and priors the caller fills in.
  NodeId allocate(std::size_t tree) {
    NodeId& head = free_heads_[tree];
    if (head == kNoNode) add_chunk(head, std::clamp<std::size_t>(tree_sizes_[tree], 1, kChunk));
    const NodeId id = head;
    head = (*this)[id].next_sibling;
    ++live_;
    ++tree_sizes_[tree];
    return id;
  }

  // A node for `tree` from its free list without growing the store, or kNoNode if the list is
  // empty; several threads may take nodes of different trees at once. It counts as live only
  // once count_taken has counted it.
  NodeId take_free(std::size_t tree) noexcept {
    NodeId& head = free_heads_[tree];
    const NodeId id = head;
    if (id == kNoNode) return kNoNode;
    head = (*this)[id].next_sibling;
    ++tree_sizes_[tree];
    return id;
  }
  void count_taken(std::size_t taken) noexcept { live_ += taken; }

  // Returns one node of `tree` to its free list; it must not be linked into a tree.
  void free(NodeId id, std::size_t tree) noexcept {
    (*this)[id].next_sibling = free_heads_[tree];
    free_heads_[tree] = id;
    --live_;
    --tree_sizes_[tree];
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

  // Frees `top` (a root) and everything below it in `tree` except the subtree of `keep` (kNoNode to
  // keep nothing), calling release(id) for each freed node. `keep` is left without siblings.
  //
  // The nodes still to free form one list threaded through next_sibling: freeing a node splices
  // its children (a sibling list already) in front of the rest, so nothing is allocated and
  // nothing can fail half-way unless release does.
  template <typename Release>
  void free_tree(std::size_t tree, NodeId top, NodeId keep, Release&& release) {
    if (keep != kNoNode) {
      NodeId* link = &(*this)[top].first_child;
      while (*link != keep) link = &(*this)[*link].next_sibling;
      *link = (*this)[keep].next_sibling;
      (*this)[keep].next_sibling = kNoNode;
    }
    (*this)[top].next_sibling = kNoNode;
    for (NodeId next = top; next != kNoNode;) {
      const NodeId id = next;
      next = (*this)[id].next_sibling;
      if (const NodeId first = (*this)[id].first_child; first != kNoNode) {
        NodeId last = first;
        while ((*this)[last].next_sibling != kNoNode) last = (*this)[last].next_sibling;
        (*this)[last].next_sibling = next;
        next = first;
      }
      release(id);
      free(id, tree);
    }
  }

 private:
  std::size_t row_offset(NodeId id) const noexcept {
    return static_cast<std::size_t>(id) * num_actions_;
  }

  // Appends `count` nodes to the store and puts them on a free list, lowest id first. Throws
  // (length_error, bad_alloc) with nothing changed.
  void add_chunk(NodeId& head, std::size_t count) {
    const std::size_t first = nodes_.size();
    if (first + count > static_cast<std::size_t>(std::numeric_limits<NodeId>::max())) {
      throw std::length_error("the forest cannot hold more nodes");
    }
    priors_.resize((first + count) * num_actions_);
    try {
      logits_.resize((first + count) * logit_width_);
      solved_.resize((first + count) * solved_width_);
      nodes_.resize(first + count);
    } catch (...) {
      solved_.resize(first * solved_width_);
      logits_.resize(first * logit_width_);
      priors_.resize(first * num_actions_);
      throw;
    }
    for (std::size_t k = count; k-- > 0;) {
      nodes_[first + k].next_sibling = head;
      head = static_cast<NodeId>(first + k);
    }
  }

  std::size_t num_actions_;
  std::vector<Node> nodes_;
  std::vector<float> priors_;
  std::size_t logit_width_;              // num_actions_ with logits, else 0
  std::vector<double> logits_;           // by node, logit_width_ each
  std::size_t solved_width_;             // 1 with solved flags, else 0
  std::vector<std::uint8_t> solved_;     // by node, solved_width_ each
  std::vector<NodeId> free_heads_;       // by tree
  std::vector<std::size_t> tree_sizes_;  // by tree: its live nodes
  std::size_t live_ = 0;
};

}  // namespace veltra::forest
