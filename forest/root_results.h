#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "forest/exact_values.h"
#include "forest/formulas.h"
#include "forest/node.h"
#include "forest/node_store.h"
#include "forest/random.h"

namespace veltra::forest {

// What a search reports about a root, from its children: each function writes num_actions
// entries, one per action. A root id of kNoNode (a pending root) reads as a root without children.

// Calls f(action, child or kNoNode) for every action in increasing order.
template <typename F>
void for_each_child_action(const NodeStore& store, NodeId root, std::size_t num_actions, F&& f) {
  NodeId c = root == kNoNode ? kNoNode : store[root].first_child;
  for (std::size_t a = 0; a < num_actions; ++a) {
    if (c != kNoNode && static_cast<std::size_t>(store[c].action) == a) {
      f(a, c);
      c = store[c].next_sibling;
    } else {
      f(a, kNoNode);
    }
  }
}

// Visits of each child (0 for absent ones).
template <typename Count>
void child_visit_counts(const NodeStore& store, NodeId root, std::size_t num_actions, Count* out) {
  for_each_child_action(store, root, num_actions, [&](std::size_t a, NodeId c) {
    out[a] = c == kNoNode ? 0 : static_cast<Count>(store[c].visits);
  });
}

// r + gamma * V of each child, NaN for absent ones.
inline void child_q_values(const NodeStore& store, NodeId root, std::size_t num_actions,
                           double* out) {
  for_each_child_action(store, root, num_actions, [&](std::size_t a, NodeId c) {
    out[a] = c == kNoNode ? std::numeric_limits<double>::quiet_NaN()
                          : edge_value(store[c].reward, store[c].discount, store[c].value);
  });
}

// The children's visit counts normalised to sum to 1; zeros without visits.
inline void visit_distribution(const NodeStore& store, NodeId root, std::size_t num_actions,
                               double* out) {
  std::int64_t total = 0;
  for_each_child_action(store, root, num_actions, [&](std::size_t, NodeId c) {
    total += c == kNoNode ? 0 : store[c].visits;
  });
  for_each_child_action(store, root, num_actions, [&](std::size_t a, NodeId c) {
    out[a] = total == 0 || c == kNoNode
                 ? 0.0
                 : static_cast<double>(store[c].visits) / static_cast<double>(total);
  });
}

// The legal action with the most visits, lowest on ties; -1 without legal action.
inline std::int64_t most_visited(const float* priors, const std::int32_t* visits,
                                 std::size_t num_actions) noexcept {
  std::int64_t best = -1;
  for (std::size_t a = 0; a < num_actions; ++a) {
    if (!is_legal(priors[a])) continue;
    if (best < 0 || visits[a] > visits[best]) best = static_cast<std::int64_t>(a);
  }
  return best;
}

// A legal action drawn with probability proportional to visits^(1/temperature), temperature > 0;
// the most visited one when those weights sum to 0 or overflow.
inline std::int64_t sample_by_visits(const float* priors, const std::int32_t* visits,
                                     std::size_t num_actions, double temperature,
                                     Generator& generator) {
  const double exponent = 1.0 / temperature;
  double total = 0.0;
  for (std::size_t a = 0; a < num_actions; ++a) {
    if (is_legal(priors[a])) total += std::pow(static_cast<double>(visits[a]), exponent);
  }
  if (total == 0.0 || !std::isfinite(total)) return most_visited(priors, visits, num_actions);
  const double u = generator.uniform() * total;
  double running = 0.0;
  std::int64_t last_legal = -1;
  for (std::size_t a = 0; a < num_actions; ++a) {
    if (!is_legal(priors[a])) continue;
    running += std::pow(static_cast<double>(visits[a]), exponent);
    if (running > u) return static_cast<std::int64_t>(a);
    last_legal = static_cast<std::int64_t>(a);
  }
  return last_legal;
}

// The move of a root (Forest::select): for temperature 0, the move a solved root proves, or
// `final_action` (the Gumbel policy's, if >= 0), else the most visited legal action (lowest on
// ties); otherwise a legal action sampled by visits. -1 for a pending root or one without legal
// action. `visits` is num_actions scratch.
inline std::int64_t root_move(const NodeStore& store, NodeId root, std::int64_t final_action,
                              double temperature, std::int32_t* visits, std::size_t num_actions,
                              Generator& generator) {
  if (root == kNoNode || !store.has_legal_action(root)) return -1;
  if (temperature == 0.0 && store.solved(root)) return proven_move(store, root);
  if (temperature == 0.0 && final_action >= 0) return final_action;
  child_visit_counts(store, root, num_actions, visits);
  const float* priors = store.priors(root);
  return temperature == 0.0 ? most_visited(priors, visits, num_actions)
                            : sample_by_visits(priors, visits, num_actions, temperature, generator);
}

}  // namespace veltra::forest
