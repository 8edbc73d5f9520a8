#pragma once

#include <vector>

#include "core/node.h"

namespace veltra::policies {

// Grows a node from a list of legal actions and returns the node the caller continues from.
template <typename State>
class ExpansionPolicy {
 public:
  using Handle = core::NodeHandle<State>;

  virtual ~ExpansionPolicy() = default;

  Handle apply(Handle node, const std::vector<int>& actions) { return expand(node, actions); }
  virtual Handle expand(Handle node, const std::vector<int>& actions) = 0;

 protected:
  ExpansionPolicy() = default;
  ExpansionPolicy(const ExpansionPolicy&) = default;
  ExpansionPolicy& operator=(const ExpansionPolicy&) = default;
};

}  // namespace veltra::policies
