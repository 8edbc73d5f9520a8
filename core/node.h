#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "common/assert.h"
#include "core/ucb.h"
#include "core/visit_statistics.h"

namespace veltra::core {

template <typename State>
class Node;
template <typename State>
class SimulationPath;
template <typename State>
class SearchTree;

namespace detail {

// The children made by one expansion live side by side in one allocation: this header followed
// by `size` nodes. The header holds the parent they were created under, so nodes need no parent
// field of their own. The blocks of one parent form a circular list through `next`; the parent
// points at the newest block, whose `next` is the oldest, so appending and iterating in
// insertion order are both O(1) per step. A block is freed when its last node is destroyed.
template <typename State>
struct ChildBlock {
  Node<State>* parent;
  ChildBlock* next;
  std::uint32_t size;
  std::uint32_t live;

  Node<State>* nodes() noexcept { return std::launder(reinterpret_cast<Node<State>*>(this + 1)); }
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

  // Walks the children of one node in insertion order; NodeT is Node, or const Node for the
  // children of a const node.
  template <typename NodeT>
  class BasicChildIterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Node;
    using difference_type = std::ptrdiff_t;
    using pointer = NodeT*;
    using reference = NodeT&;

    BasicChildIterator() noexcept = default;
    BasicChildIterator(Block* first, Block* last) noexcept : block_(first), last_(last) {}

    // The analyzer does not follow the end comparison that guards every dereference.
    NodeT& operator*() const noexcept {
      return block_->nodes()[index_];  // NOLINT(clang-analyzer-core.CallAndMessage)
    }
    NodeT* operator->() const noexcept { return block_->nodes() + index_; }
    BasicChildIterator& operator++() noexcept {
      if (++index_ == block_->size) {
        block_ = block_ == last_ ? nullptr : block_->next;
        index_ = 0;
      }
      return *this;
    }
    BasicChildIterator operator++(int) noexcept {
      BasicChildIterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const BasicChildIterator& other) const noexcept {
      return block_ == other.block_ && index_ == other.index_;
    }
    bool operator!=(const BasicChildIterator& other) const noexcept { return !(*this == other); }

   private:
    Block* block_ = nullptr;
    Block* last_ = nullptr;
    std::uint32_t index_ = 0;
  };
  using ChildIterator = BasicChildIterator<Node>;
  using ConstChildIterator = BasicChildIterator<const Node>;

  template <typename Iterator>
  struct BasicChildRange {
    Iterator first;
    Iterator begin() const noexcept { return first; }
    Iterator end() const noexcept { return {}; }
  };
  using ChildRange = BasicChildRange<ChildIterator>;
  using ConstChildRange = BasicChildRange<ConstChildIterator>;

  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  // Nodes live in blocks and are destroyed by the ownership scheme above, never with delete. The
  // destructor stays public because binding libraries name it; the Python bindings make sure that
  // a node reaches Python only through a handle.
  ~Node() = default;

  // A parentless node held by the returned handle.
  static Handle make_root(std::int32_t action, float prior_prob = 0.0f) {
    return Handle(allocate_block(nullptr, &action, 1, prior_prob)->nodes());
  }

  std::int32_t action() const noexcept { return action_; }
  float prior_prob() const noexcept { return prior_prob_; }
  // A visit offset added by prior-weighted selection. No operation changes it, so it is not
  // stored.
  std::int32_t extra_visits() const noexcept { return 0; }
  std::int32_t visit_count() const noexcept { return stats_.visit_count; }
  float total_value() const noexcept { return stats_.total_value; }
  // The node this one was created under; null for a root and for a node promoted by reroot.
  Node* parent() noexcept { return detached_ ? nullptr : home_block()->parent; }
  const Node* parent() const noexcept { return detached_ ? nullptr : home_block()->parent; }
  // True once a tree promoted this node to its root; it still sits in its former parent's child
  // list, which is the only list a node ever appears in.
  bool is_detached() const noexcept { return detached_ != 0; }
  bool is_expanded() const noexcept { return last_block_ != nullptr; }

  ChildRange children() noexcept { return {first_child_iterator<ChildIterator>()}; }
  ConstChildRange children() const noexcept { return {first_child_iterator<ConstChildIterator>()}; }
  // The node must be expanded.
  Node& first_child() noexcept { return *last_block_->next->nodes(); }
  const Node& first_child() const noexcept { return *last_block_->next->nodes(); }

  // Calls fn(first, count) for each run of children that sit side by side in memory, in child
  // order; true from fn stops the walk. A const node passes const children.
  template <typename Fn>
  void for_each_child_run(Fn&& fn) {
    walk_child_runs(*this, fn);
  }
  template <typename Fn>
  void for_each_child_run(Fn&& fn) const {
    walk_child_runs(*this, fn);
  }

  // Calls fn(child) for each child in order. If fn returns bool, true stops the walk.
  template <typename Fn>
  void for_each_child(Fn&& fn) {
    walk_children(*this, fn);
  }
  template <typename Fn>
  void for_each_child(Fn&& fn) const {
    walk_children(*this, fn);
  }

  float mean_value() const noexcept { return stats_.mean(); }

  // UCB1 as seen from the parent; a parentless node scores its mean.
  float ucb_score(float exploration) const noexcept {
    const std::int32_t visits = stats_.visit_count;
    if (visits == 0) return kUnvisitedScore;
    const Node* parent = this->parent();
    if (parent == nullptr) return mean_value();
    return ucb1_score(stats_.total_value, visits, log_visits(parent->visit_count()), exploration);
  }

  // Adds `value` to the total and one visit (see VisitStatistics::add).
  void update(float value) noexcept { stats_.add(value); }

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

 private:
  friend class NodeHandle<State>;
  friend class SimulationPath<State>;
  friend class SearchTree<State>;

  static constexpr std::uint32_t kSlotBits = 29;
  static constexpr std::uint32_t kOwnerBits = 2;
  // The child list a node was created in and the tree whose root it was promoted to. Two trees
  // never share a root (each starts from a fresh one and promotes only its own root's children),
  // so no node has a second tree.
  static constexpr std::uint32_t kMaxOwners = 2;
  static_assert(kMaxOwners < (1u << kOwnerBits), "the owner count must not wrap");

  // -- The holding protocol: a node's first hold makes it hold its parent; losing its last hold
  // makes it let go of the parent and, when nothing owns it, destroys it. Everything that holds
  // nodes goes through take_hold and drop_hold, one node at a time.

  // Adds one hold. True when it was the node's first and the node still has its parent link:
  // the node now holds its parent, and the caller must add that hold next.
  static bool take_hold(Node* node) noexcept { return node->holds_++ == 0 && !node->detached_; }

  // Removes one hold. True when it was the node's last and the node still had its parent link:
  // the node no longer holds its parent, and the caller must remove that hold next. A node left
  // with neither holds nor owners is destroyed here, so callers read its parent beforehand.
  static bool drop_hold(Node* node) noexcept {
    if (--node->holds_ != 0) return false;
    const bool held_parent = !node->detached_;
    if (node->owners_ == 0) destroy(node);
    return held_parent;
  }

  // A whole hold as a NodeHandle takes it: the node and each ancestor up to the first one
  // already held.
  static void hold(Node* node) noexcept {
    while (take_hold(node)) {
      node = node->home_block()->parent;
      if (node == nullptr) return;
    }
  }

  static void unhold(Node* node) noexcept {
    while (node != nullptr) {
      Node* parent = node->home_block()->parent;
      if (!drop_hold(node)) return;
      node = parent;
    }
  }

  // -- Ownership by a tree's root slot (SearchTree only).

  static Node* create_owned_root(std::int32_t action) {
    Node* node = allocate_block(nullptr, &action, 1, 0.0f)->nodes();
    node->owners_ = 1;
    return node;
  }
  static void add_owner(Node* node) noexcept {
    VELTRA_ASSERT(node->owners_ < kMaxOwners);
    ++node->owners_;
  }
  static void release_owner(Node* node) noexcept {
    if (--node->owners_ == 0 && node->holds_ == 0) destroy(node);
  }
  // Empties the parent link (the node becomes a root), dropping the hold it had on the parent.
  void detach_from_parent() noexcept {
    Node* parent = this->parent();
    detached_ = 1;
    if (parent != nullptr && holds_ > 0) unhold(parent);
  }

  // `slot` is below 2^kSlotBits (allocate_block checks the block size); a node made in a child
  // list is owned by it.
  Node(std::int32_t action, float prior_prob, std::uint32_t slot, bool in_child_list) noexcept
      : action_(action),
        prior_prob_(prior_prob),
        slot_(slot & ((1u << kSlotBits) - 1)),
        owners_(in_child_list ? 1u : 0u),
        detached_(0) {}

  static Block* allocate_block(Node* parent, const std::int32_t* actions, std::size_t count,
                               float prior_prob) {
    static_assert(sizeof(Block) % alignof(Node) == 0, "nodes must follow the header aligned");
    static_assert(alignof(Node) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    if (count > (std::size_t{1} << kSlotBits)) {
      throw std::length_error("too many children in one expansion");
    }
    void* memory = ::operator new(sizeof(Block) + count * sizeof(Node));
    auto* block = ::new (memory) Block{parent, nullptr, static_cast<std::uint32_t>(count),
                                       static_cast<std::uint32_t>(count)};
    auto* slots = reinterpret_cast<unsigned char*>(block + 1);
    for (std::size_t i = 0; i < count; ++i) {
      ::new (slots + i * sizeof(Node))
          Node(actions[i], prior_prob, static_cast<std::uint32_t>(i), parent != nullptr);
    }
    return block;
  }

  void link_block(Block* block) noexcept {
    block->next = last_block_ == nullptr ? block : last_block_->next;
    if (last_block_ != nullptr) last_block_->next = block;
    last_block_ = block;
  }

  template <typename Iterator>
  Iterator first_child_iterator() const noexcept {
    return last_block_ == nullptr ? Iterator() : Iterator(last_block_->next, last_block_);
  }

  template <typename Self, typename Fn>
  static void walk_child_runs(Self& self, Fn&& fn) {
    Block* const last = self.last_block_;
    if (last == nullptr) return;
    // Most nodes have one block. Testing for that with a branch rather than loading `next`
    // first lets the processor fetch the children while the block header is still on its way.
    if (last->next == last) {
      fn(static_cast<Self*>(last->nodes()), last->size);
      return;
    }
    Block* block = last->next;
    while (!fn(static_cast<Self*>(block->nodes()), block->size) && block != last) {
      block = block->next;
    }
  }

  template <typename Self, typename Fn>
  static void walk_children(Self& self, Fn&& fn) {
    walk_child_runs(self, [&fn](Self* first, std::uint32_t count) {
      for (Self* child = first; child != first + count; ++child) {
        if constexpr (std::is_same_v<std::invoke_result_t<Fn&, Self&>, bool>) {
          if (fn(*child)) return true;
        } else {
          fn(*child);
        }
      }
      return false;
    });
  }

  Block* home_block() const noexcept {
    const Node* first = this - slot_;
    return reinterpret_cast<Block*>(
        const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(first)) - sizeof(Block));
  }

  // Drops the child list's ownership of every child in the list ending at `last`; children left
  // with no owner and no hold are pushed on `doomed`.
  static void release_child_list(Block* last, Node*& doomed) noexcept {
    if (last == nullptr) return;
    Block* block = last->next;
    for (;;) {
      Block* next = block->next;
      Node* nodes = block->nodes();
      for (std::uint32_t i = 0; i < block->size; ++i) {
        Node* child = nodes + i;
        if (--child->owners_ == 0 && child->holds_ == 0) {
          child->next_doomed_ = doomed;
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
    node->next_doomed_ = nullptr;
    destroy_chain(node);
  }

  // Destroys the linked nodes, and every descendant that loses its last owner on the way.
  static void destroy_chain(Node* doomed) noexcept {
    while (doomed != nullptr) {
      Node* node = doomed;
      doomed = node->next_doomed_;
      release_child_list(node->last_block_, doomed);
      Block* block = node->home_block();
      node->~Node();
      if (--block->live == 0) ::operator delete(block);
    }
  }

  // Fields the descent reads come first. A node is 32 bytes, so four share a cache line.
  union {
    VisitStatistics stats_{};
    Node* next_doomed_;  // once the node is being destroyed: the next node to destroy
  };
  Block* last_block_ = nullptr;
  std::int32_t action_;
  float prior_prob_;
  std::uint32_t holds_ = 0;            // handles to this node plus held children
  std::uint32_t slot_ : kSlotBits;     // index in the home block, to find the block from the node
  std::uint32_t owners_ : kOwnerBits;  // child lists and trees that contain this node
  // NOLINTNEXTLINE(modernize-use-default-member-init): bit-field initializers need C++20.
  std::uint32_t detached_ : 1;  // promoted to a tree's root: no longer has a parent
};

}  // namespace veltra::core
