#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/node.h"

namespace veltra::testing {

using FloatNode = core::Node<float>;
using FloatHandle = core::NodeHandle<float>;

// Records `visits` updates on a fresh node whose values sum exactly to `total` (the whole total
// first, then zeros), so a test can set up any statistics through the public interface.
inline void record_visits(FloatNode& node, std::int32_t visits, float total) {
  node.update(total);
  for (std::int32_t i = 1; i < visits; ++i) node.update(0.0f);
}

// root(-1) -> a(1) -> b(2) -> c(3), plus a sibling s(9) of a; only the handles kept here hold
// nodes.
struct Chain {
  FloatHandle root = FloatNode::make_root(-1);
  FloatHandle a = root->add_child(1, 0.1f);
  FloatHandle b = a->add_child(2, 0.2f);
  FloatHandle c = b->add_child(3, 0.3f);
  FloatHandle s = root->add_child(9, 0.9f);
};

inline std::vector<std::int32_t> child_actions(const FloatNode& node) {
  std::vector<std::int32_t> actions;
  for (const FloatNode& child : node.children()) actions.push_back(child.action());
  return actions;
}

inline std::vector<const FloatNode*> child_addresses(const FloatNode& node) {
  std::vector<const FloatNode*> addresses;
  for (const FloatNode& child : node.children()) addresses.push_back(&child);
  return addresses;
}

// The child at `index` in child order; the node must have more than `index` children. NodeT is
// FloatNode or const FloatNode.
template <typename NodeT>
NodeT& nth_child(NodeT& node, std::size_t index) {
  auto it = node.children().begin();
  for (std::size_t i = 0; i < index; ++i) ++it;
  return *it;
}

}  // namespace veltra::testing
