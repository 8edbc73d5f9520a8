#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "policies/expansion_policy.h"
#include "policies/uniform_index.h"

namespace veltra::policies {

// Widens a node by one child per call, for an action drawn uniformly with the policy's own
// MT19937 engine; the same action may be drawn again. An empty list draws nothing.
template <typename State>
class ProgressiveExpansion : public ExpansionPolicy<State> {
 public:
  using typename ExpansionPolicy<State>::Handle;

  explicit ProgressiveExpansion(std::uint32_t seed = 0) : rng_(seed) {}

  Handle expand(Handle node, const std::vector<int>& actions) override {
    if (!node || actions.empty()) return node;
    const std::uint32_t index = uniform_index(rng_, actions.size());
    return node->add_child(actions[index], 0.0f);
  }

 private:
  std::mt19937 rng_;
};

}  // namespace veltra::policies
