#pragma once

#include "core/child_selection.h"
#include "policies/selection_policy.h"

namespace veltra::policies {

// UCB1: the child maximising sqrt(ln N / n) * c + W / n; unvisited children score +infinity.
template <typename State>
class UCBSelection : public SelectionPolicy<State> {
 public:
  using typename SelectionPolicy<State>::Handle;

  explicit UCBSelection(float c = 1.414f) : c_(c) {}

  Handle select(Handle node) const override {
    if (!node || !node->is_expanded()) return node;
    core::Node<State>* chosen = core::best_ucb_child(*node, c_);
    return this->chosen_or_self(std::move(node), chosen);
  }

 private:
  float c_;
};

}  // namespace veltra::policies
