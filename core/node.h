#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "core/ucb.h"

namespace veltra::core {

template <typename State>
class Node;
template <typename State>
class SimulationPath;

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

  class ChildIterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Node;
    using difference_type = std::ptrdiff_t;
    using pointer = Node*;
    using reference = Node&;

    ChildIterator() noexcept = default;
    ChildIterator(Block* first, Block* last) noexcept : block_(first), last_(last) {}

    // The analyzer does not follow the end comparison that guards every dereference.
    Node& operator*() const noexcept {
      return block_->nodes()[index_];  // NOLINT(clang-analyzer-core.CallAndMessage)
    }
    Node* operator->() const noexcept { return block_->nodes() + index_; }
    ChildIterator& operator++() noexcept {
      if (++index_ == block_->size) {
        block_ = block_ == last_ ? nullptr : block_->next;
        index_ = 0;
      }
      return *this;
    }
    ChildIterator operator++(int) noexcept {
      ChildIterator before = *this;
      ++*this;
      return before;
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
  // A visit offset added by prior-weighted selection. No operation changes it, so it is not
  // stored.
  std::int32_t extra_visits() const noexcept { return 0; }
  std::int32_t visit_count() const noexcept { return stats_.visit_count; }
  float total_value() const noexcept { return stats_.total_value; }
  // The node this one was created under; null for a root and for a node promoted by reroot.
  Node* parent() const noexcept { return detached_ ? nullptr : home_block()->parent; }
  // True once a tree promoted this node to its root; it still sits in its former parent's child
  // list, which is the only list a node ever appears in.
  bool is_detached() const noexcept { return detached_ != 0; }
  bool is_expanded() const noexcept { return last_block_ != nullptr; }

  ChildRange children() const noexcept {
    return {last_block_ == nullptr ? ChildIterator()
                                   : ChildIterator(last_block_->next, last_block_)};
  }
  Node& first_child() const noexcept { return *last_block_->next->nodes(); }

  // Calls fn(first, count) for each run of children that sit side by side in memory, in child
  // order; true from fn stops the walk.
  template <typename Fn>
  void for_each_child_run(Fn&& fn) const {
    if (last_block_ == nullptr) return;
    // Most nodes have one block. Testing for that with a branch rather than loading `next`
    // first lets the processor fetch the children while the block header is still on its way.
    if (last_block_->next == last_block_) {
      fn(last_block_->nodes(), last_block_->size);
      return;
    }
    Block* block = last_block_->next;
    while (!fn(block->nodes(), block->size) && block != last_block_) block = block->next;
  }

  // Calls fn(child) for each child in order. If fn returns bool, true stops the walk.
  template <typename Fn>
  void for_each_child(Fn&& fn) const {
    for_each_child_run([&fn](Node* first, std::uint32_t count) {
      for (Node* child = first; child != first + count; ++child) {
        if constexpr (std::is_same_v<std::invoke_result_t<Fn&, Node&>, bool>) {
          if (fn(*child)) return true;
        } else {
          fn(*child);
        }
      }
      return false;
    });
  }

  float mean_value() const noexcept {
    const std::int32_t visits = stats_.visit_count;
    return visits == 0 ? 0.0f : stats_.total_value / static_cast<float>(visits);
  }

  // UCB1 as seen from the parent; a parentless node scores its mean.
  float ucb_score(float exploration) const noexcept {
    const std::int32_t visits = stats_.visit_count;
    if (visits == 0) return kUnvisitedScore;
    const Node* parent = this->parent();
    if (parent == nullptr) return stats_.total_value / static_cast<float>(visits);
    return ucb1_score(stats_.total_value, visits, log_visits(parent->visit_count()), exploration);
  }

  // Adds `value` to the total and one visit; the count saturates at its maximum.
  void update(float value) noexcept {
    stats_.total_value = value + stats_.total_value;
    if (stats_.visit_count != std::numeric_limits<std::int32_t>::max()) ++stats_.visit_count;
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

  // Ownership by a container (a tree's root slot). Trees use these; nothing else should.
  static Node* create_owned_root(std::int32_t action) {
    Node* node = allocate_block(nullptr, &action, 1, 0.0f)->nodes();
    node->owners_ = 1;
    return node;
  }
  // A node has at most two owners: the child list it was created in and the tree whose root it
  // was promoted to.
  static void add_owner(Node* node) noexcept {
    assert(node->owners_ < kMaxOwners);
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

 private:
  friend class NodeHandle<State>;
  friend class SimulationPath<State>;

  static constexpr std::uint32_t kSlotBits = 29;
  static constexpr std::uint32_t kMaxOwners = 3;

  Node(std::int32_t action, float prior_prob, std::uint32_t slot, std::uint32_t owners) noexcept
      : action_(action), prior_prob_(prior_prob), slot_(slot), owners_(owners), detached_(0) {}

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
    const std::uint32_t owners = parent != nullptr ? 1 : 0;
    for (std::size_t i = 0; i < count; ++i) {
      ::new (slots + i * sizeof(Node))
          Node(actions[i], prior_prob, static_cast<std::uint32_t>(i), owners);
    }
    return block;
  }

  void link_block(Block* block) noexcept {
    block->next = last_block_ == nullptr ? block : last_block_->next;
    if (last_block_ != nullptr) last_block_->next = block;
    last_block_ = block;
  }

  Block* home_block() const noexcept {
    const Node* first = this - slot_;
    return reinterpret_cast<Block*>(
        const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(first)) - sizeof(Block));
  }

  static void hold(Node* node) noexcept {
    // A node that becomes held starts holding its parent; stop at the first node already held.
    while (node->holds_++ == 0) {
      Node* parent = node->parent();
      if (parent == nullptr) return;
      node = parent;
    }
  }

  static void unhold(Node* node) noexcept {
    while (node != nullptr && --node->holds_ == 0) {
      Node* parent = node->parent();
      if (node->owners_ == 0) destroy(node);
      node = parent;
    }
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

  struct Statistics {
    std::int32_t visit_count = 0;
    float total_value = 0.0f;
  };

  // Fields the descent reads come first. A node is 32 bytes, so four share a cache line.
  union {
    Statistics stats_{};
    Node* next_doomed_;  // once the node is being destroyed: the next node to destroy
  };
  Block* last_block_ = nullptr;
  std::int32_t action_;
  float prior_prob_;
  std::uint32_t holds_ = 0;         // handles to this node plus held children
  std::uint32_t slot_ : kSlotBits;  // index in the home block, to find the block from the node
  std::uint32_t owners_ : 2;        // child lists and trees that contain this node
  std::uint32_t detached_ : 1;      // promoted to a tree's root: no longer has a parent
};

}  // namespace veltra::core
