#pragma once

#include <vector>

#include "policies/expansion_policy.h"

namespace veltra::policies {

// One child per action, in list order (duplicates included), all with prior 0. Returns the
// node's first child, or the node itself if it still has none.
template <typename State>
class FullExpansion : public ExpansionPolicy<State> {
 public:
  using typename ExpansionPolicy<State>::Handle;

  Handle expand(Handle node, const std::vector<int>& actions) override {
    if (!node) return {};
    node->append_children(actions.data(), actions.size(), 0.0f);
    if (!node->is_expanded()) return node;
    return Handle(&node->first_child());
  }
};

}  // namespace veltra::policies
