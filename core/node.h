#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "core/ucb.h"

namespace veltra::core {

template <typename State>
class Node;

namespace detail {

// The children made by one expansion live side by side in one allocation: this header followed
// by `size` nodes. The blocks of one parent form a circular list through `next`; the parent
// points at the newest block, whose `next` is the oldest, so appending and iterating in
// insertion order are both O(1) per step. A block is freed when its last node is destroyed.
template <typename State>
struct ChildBlock {
  ChildBlock* next;
  std::uint32_t size;
  std::uint32_t live;

  Node<State>* nodes() noexcept {
    return std::launder(reinterpret_cast<Node<State>*>(this + 1));
  }
};

}  // namespace detail

// Owning handle to a node. While any handle to a node exists the node is "held": it keeps its
// parent held in turn, so the whole chain of ancestors stays alive with its statistics. Handles
// are what the rest of the system and Python receive; the tree structure itself owns nodes
// downward only (see Node).
template <typename State>
class NodeHandle {
 public:
  using NodeType = Node<State>;

  NodeHandle() noexcept = default;
  explicit NodeHandle(NodeType* node) noexcept : node_(node) {
    if (node_ != nullptr) NodeType::hold(node_);
  }
  NodeHandle(const NodeHandle& other) noexcept : NodeHandle(other.node_) {}
  NodeHandle(NodeHandle&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  NodeHandle& operator=(NodeHandle other) noexcept {
    std::swap(node_, other.node_);
    return *this;
  }
  ~NodeHandle() {
    if (node_ != nullptr) NodeType::unhold(node_);
  }

  // Takes over a hold that was detached with release().
  static NodeHandle adopt(NodeType* node) noexcept {
    NodeHandle handle;
    handle.node_ = node;
    return handle;
  }
  // Gives up the handle without dropping its hold; pair with adopt().
  NodeType* release() noexcept { return std::exchange(node_, nullptr); }

  NodeType* get() const noexcept { return node_; }
  NodeType* operator->() const noexcept { return node_; }
  NodeType& operator*() const noexcept { return *node_; }
  explicit operator bool() const noexcept { return node_ != nullptr; }

 private:
  NodeType* node_ = nullptr;
};

// One node of a search tree: the action leading to it, its prior, its visit statistics, a link
// to its parent and its children in insertion order.
//
// Ownership. A parent owns its children (`owners_` counts the child lists and trees that hold the
// node). The parent link owns only while the node is held from outside the structure, by a
// NodeHandle or by a held child (`holds_`). A node is destroyed when both counts are zero, so a
// tree nobody refers to is freed at once, while any handle keeps its ancestors usable. Destroying
// a subtree and propagating holds are loops, never recursion, so depth is unbounded.
//
// Nodes are not thread-safe; callers serialise access (the Python bindings run under the GIL).
template <typename State>
class Node {
  using Block = detail::ChildBlock<State>;

 public:
  using Handle = NodeHandle<State>;

  class ChildIterator {
   public:
    ChildIterator() noexcept = default;
    ChildIterator(Block* first, Block* last) noexcept : block_(first), last_(last) {}

    Node& operator*() const noexcept { return block_->nodes()[index_]; }
    Node* operator->() const noexcept { return block_->nodes() + index_; }
    ChildIterator& operator++() noexcept {
      if (++index_ == block_->size) {
        block_ = block_ == last_ ? nullptr : block_->next;
        index_ = 0;
      }
      return *this;
    }
    bool operator==(const ChildIterator& other) const noexcept {
      return block_ == other.block_ && index_ == other.index_;
    }
    bool operator!=(const ChildIterator& other) const noexcept { return !(*this == other); }

   private:
    Block* block_ = nullptr;
    Block* last_ = nullptr;
    std::uint32_t index_ = 0;
  };

  struct ChildRange {
    ChildIterator first;
    ChildIterator begin() const noexcept { return first; }
    ChildIterator end() const noexcept { return {}; }
  };

  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  // Public only because binding libraries name it; nodes live in blocks and are destroyed by the
  // ownership scheme above, never with delete.
  ~Node() = default;

  // A parentless node held by the returned handle.
  static Handle make_root(std::int32_t action, float prior_prob = 0.0f) {
    return Handle(allocate_block(nullptr, &action, 1, prior_prob)->nodes());
  }

  std::int32_t action() const noexcept { return action_; }
  float prior_prob() const noexcept { return prior_prob_; }
  std::int32_t extra_visits() const noexcept { return extra_visits_; }
  std::int32_t visit_count() const noexcept { return visit_count_; }
  float total_value() const noexcept { return total_value_; }
  // The node this one was created under; null for a root and for a node promoted by reroot.
  Node* parent() const noexcept { return parent_; }
  bool is_expanded() const noexcept { return last_block_ != nullptr; }

  ChildRange children() const noexcept {
    return {last_block_ == nullptr ? ChildIterator() : ChildIterator(last_block_->next, last_block_)};
  }
  Node& first_child() const noexcept { return *last_block_->next->nodes(); }

  // Calls fn(child) for each child in order; the tightest loop over children.
  template <typename Fn>
  void for_each_child(Fn&& fn) const {
    if (last_block_ == nullptr) return;
    Block* block = last_block_->next;
    for (;;) {
      Node* nodes = block->nodes();
      for (std::uint32_t i = 0; i < block->size; ++i) fn(nodes[i]);
      if (block == last_block_) return;
      block = block->next;
    }
  }

  float mean_value() const noexcept {
    return visit_count_ == 0 ? 0.0f : total_value_ / static_cast<float>(visit_count_);
  }

  // UCB1 as seen from the parent; a parentless node scores its mean.
  float ucb_score(float exploration) const noexcept {
    if (visit_count_ == 0) return kUnvisitedScore;
    if (parent_ == nullptr) return total_value_ / static_cast<float>(visit_count_);
    return ucb1_score(total_value_, visit_count_, log_visits(parent_->visit_count_), exploration);
  }

  // Adds `value` to the total and one visit; the count saturates at its maximum.
  void update(float value) noexcept {
    total_value_ = value + total_value_;
    if (visit_count_ != std::numeric_limits<std::int32_t>::max()) ++visit_count_;
  }

  Handle add_child(std::int32_t action, float prior_prob) {
    return Handle(append_children(&action, 1, prior_prob));
  }

  // Appends one child per action, all in one allocation, and returns the first new child (null
  // for an empty list). The new children are owned by this node and not held.
  Node* append_children(const std::int32_t* actions, std::size_t count, float prior_prob) {
    if (count == 0) return nullptr;
    Block* block = allocate_block(this, actions, count, prior_prob);
    link_block(block);
    return block->nodes();
  }

  void clear_children() noexcept {
    Block* last = std::exchange(last_block_, nullptr);
    Node* doomed = nullptr;
    release_child_list(last, doomed);
    destroy_chain(doomed);
  }

  // Backs `value` up from the held node to the root of its chain, negating it at every level,
  // and drops the hold on the way (one pass instead of a backup followed by a release).
  static void backpropagate(Handle leaf, float value) noexcept {
    Node* node = leaf.release();
    while (node != nullptr) {
      node->update(value);
      value = -value;
      Node* parent = node->parent_;
      if (node->holds_ > 1) {
        --node->holds_;
        if (parent != nullptr) ++parent->holds_;
      } else {
        // Our hold was the last: the node's own hold on its parent becomes ours.
        node->holds_ = 0;
        if (node->owners_ == 0) destroy(node);
      }
      node = parent;
    }
  }

  // Ownership by a container (a tree's root slot). Trees use these; nothing else should.
  static Node* create_owned_root(std::int32_t action) {
    Node* node = allocate_block(nullptr, &action, 1, 0.0f)->nodes();
    node->owners_ = 1;
    return node;
  }
  static void add_owner(Node* node) noexcept { ++node->owners_; }
  static void release_owner(Node* node) noexcept {
    if (--node->owners_ == 0 && node->holds_ == 0) destroy(node);
  }
  // Empties the parent link (the node becomes a root), dropping the hold it had on the parent.
  void detach_from_parent() noexcept {
    Node* parent = std::exchange(parent_, nullptr);
    if (parent != nullptr && holds_ > 0) unhold(parent);
  }

 private:
  friend class NodeHandle<State>;

  Node(std::int32_t action, float prior_prob, Node* parent, std::uint32_t slot) noexcept
      : action_(action), prior_prob_(prior_prob), block_slot_(slot), parent_(parent) {}

  static Block* allocate_block(Node* parent, const std::int32_t* actions, std::size_t count,
                               float prior_prob) {
    static_assert(sizeof(Block) % alignof(Node) == 0, "nodes must follow the header aligned");
    static_assert(alignof(Node) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    if (count > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many children");
    void* memory = ::operator new(sizeof(Block) + count * sizeof(Node));
    Block* block = ::new (memory) Block{nullptr, static_cast<std::uint32_t>(count),
                                        static_cast<std::uint32_t>(count)};
    auto* slots = reinterpret_cast<unsigned char*>(block + 1);
    for (std::size_t i = 0; i < count; ++i) {
      Node* child = ::new (slots + i * sizeof(Node))
          Node(actions[i], prior_prob, parent, static_cast<std::uint32_t>(i));
      child->owners_ = parent != nullptr ? 1 : 0;
    }
    return block;
  }

  void link_block(Block* block) noexcept {
    block->next = last_block_ == nullptr ? block : last_block_->next;
    if (last_block_ != nullptr) last_block_->next = block;
    last_block_ = block;
  }

  Block* home_block() noexcept {
    return reinterpret_cast<Block*>(reinterpret_cast<unsigned char*>(this - block_slot_) -
                                    sizeof(Block));
  }

  static void hold(Node* node) noexcept {
    // A node that becomes held starts holding its parent; stop at the first node already held.
    while (node->holds_++ == 0 && node->parent_ != nullptr) node = node->parent_;
  }

  static void unhold(Node* node) noexcept {
    while (node != nullptr && --node->holds_ == 0) {
      Node* parent = node->parent_;
      if (node->owners_ == 0) destroy(node);
      node = parent;
    }
  }

  // Drops the child list's ownership of every child in the list ending at `last`; children left
  // with no owner and no hold are pushed on `doomed`, linked through their parent field.
  static void release_child_list(Block* last, Node*& doomed) noexcept {
    if (last == nullptr) return;
    Block* block = last->next;
    for (;;) {
      Block* next = block->next;
      Node* nodes = block->nodes();
      for (std::uint32_t i = 0; i < block->size; ++i) {
        Node* child = nodes + i;
        if (--child->owners_ == 0 && child->holds_ == 0) {
          child->parent_ = doomed;
          doomed = child;
        }
      }
      if (block == last) return;
      block = next;
    }
  }

  // Destroys a node that has neither owners nor holds, with every descendant that loses its last
  // owner on the way.
  static void destroy(Node* node) noexcept {
    node->parent_ = nullptr;
    destroy_chain(node);
  }

  // Destroys the nodes linked through their parent field, and every descendant that loses its
  // last owner on the way.
  static void destroy_chain(Node* doomed) noexcept {
    while (doomed != nullptr) {
      Node* node = doomed;
      doomed = node->parent_;
      release_child_list(node->last_block_, doomed);
      Block* block = node->home_block();
      node->~Node();
      if (--block->live == 0) ::operator delete(block);
    }
  }

  std::int32_t action_;
  float prior_prob_;
  std::int32_t extra_visits_ = 0;
  std::int32_t visit_count_ = 0;
  float total_value_ = 0.0f;
  std::uint32_t block_slot_;  // index in the home block, to find the block from the node
  std::uint32_t holds_ = 0;   // handles to this node plus held children
  std::uint32_t owners_ = 0;  // child lists and trees that contain this node
  Node* parent_;
  Block* last_block_ = nullptr;
};

}  // namespace veltra::core
