#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/child_selection.h"
#include "policies/selection_policy.h"

namespace veltra::policies {

// Prior-weighted UCB: Q + (sqrt(max(N, 1)) / (n + extra_visits + 1)) * (prior * c), where N is
// the visits of the node being selected from and Q is the child's mean (0 when unvisited).
template <typename State>
class PolicyWeightedUCB : public SelectionPolicy<State> {
 public:
  using typename SelectionPolicy<State>::Handle;

  explicit PolicyWeightedUCB(float c = 1.414f) : c_(c) {}

  Handle select(Handle node) const override {
    if (!node || !node->is_expanded()) return node;
    const float sqrt_visits = std::sqrt(static_cast<float>(std::max(node->visit_count(), 1)));
    core::Node<State>* chosen = core::best_child(*node, [&](const core::Node<State>& child) {
      const std::int32_t visits = child.visit_count();
      // The counts add as 32-bit integers; wrap instead of overflowing.
      const auto effective_visits = static_cast<std::int32_t>(
          static_cast<std::uint32_t>(visits) + static_cast<std::uint32_t>(child.extra_visits()));
      const float denominator = static_cast<float>(effective_visits) + 1.0f;
      return (sqrt_visits / denominator) * (child.prior_prob() * c_) + child.mean_value();
    });
    return this->chosen_or_self(std::move(node), chosen);
  }

 private:
  float c_;
};

}  // namespace veltra::policies
