#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "forest/node.h"

namespace veltra::forest {

// A position the search needs evaluated: the one reached by `action` from `parent` in tree
// `root`. `parent` is kNoNode for a pending root: one advanced to a child that did not exist yet
// (the caller keeps that parent's state), or, with `action` kOwnState, a root whose own state
// the caller keeps and evaluates. `node` is the id the new node will have.
struct Expansion {
  static constexpr std::int32_t kOwnState = -1;

  std::int32_t root;
  NodeId parent;
  std::int32_t action;
  NodeId node;
};

// Validated evaluations of a batch of positions, one row each: the reward and discount of the
// edge into the position, its value and its encoded priors (see encode_priors).
struct Evaluations {
  std::vector<double> rewards;
  std::vector<double> discounts;
  std::vector<double> values;
  std::vector<float> priors;            // rows x num_actions
  std::vector<double> logits;           // rows x num_actions shifted logits (shift_logits), or
                                        // empty: kept only for the Gumbel policy
  std::vector<double> softmax_scratch;  // num_actions doubles for encode_priors

  void resize(std::size_t rows, std::size_t num_actions, bool with_logits = false) {
    rewards.resize(rows);
    discounts.resize(rows);
    values.resize(rows);
    priors.resize(rows * num_actions);
    logits.resize(with_logits ? rows * num_actions : 0);
    softmax_scratch.resize(num_actions);
  }
  std::size_t rows() const noexcept { return values.size(); }
};

}  // namespace veltra::forest
