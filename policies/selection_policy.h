#pragma once

#include "core/node.h"

namespace veltra::policies {

// Picks the child a descent should move to next. Policies only read the tree.
template <typename State>
class SelectionPolicy {
 public:
  using Handle = core::NodeHandle<State>;

  virtual ~SelectionPolicy() = default;
  // The chosen child; the node itself when no child is chosen (a leaf, or no child whose score
  // beats the lowest finite float); an empty handle for an empty handle.
  virtual Handle select(Handle node) const = 0;

 protected:
  SelectionPolicy() = default;
  SelectionPolicy(const SelectionPolicy&) = default;
  SelectionPolicy& operator=(const SelectionPolicy&) = default;

  // The shared tail of every rule: the chosen child, or the node itself when none was chosen.
  static Handle chosen_or_self(Handle node, core::Node<State>* chosen) {
    return chosen != nullptr ? Handle(chosen) : node;
  }
};

}  // namespace veltra::policies
