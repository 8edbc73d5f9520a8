#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "forest/evaluation.h"
#include "forest/formulas.h"
#include "forest/node.h"
#include "forest/node_store.h"
#include "forest/search_config.h"

namespace veltra::forest {

// Solved positions (SearchConfig::solve). A node's value is exact, and the node solved, when:
//   - it has no legal action: its evaluated value;
//   - a solved child's backed-up value q = r + gamma * V reaches value_high, the best value any
//     position can have, so that move is proven best: the highest such q;
//   - every legal action has a child and every child is solved: the highest q.
// Values are from the view of the side to move at each node, as the backups treat them; each side
// maximises, so these hold for single-agent discounts in [0, 1] and for two-player games with
// discount -1 (value_bounds then symmetric) alike. A solved node's value never changes again, and
// whether its parent is solved can change only when one of its children becomes solved, so after a
// backup that created a solved leaf, solve_path tries the path upwards from the leaf's parent and
// stops at the first node that stays unsolved.

// Whether node id is now solved by the rules above, marking it so.
inline bool solve_node(NodeStore& store, NodeId id, std::size_t num_actions, double value_high) {
  double best = -std::numeric_limits<double>::infinity();
  bool every_child_solved = true;
  std::size_t children = 0;
  for (NodeId c = store[id].first_child; c != kNoNode; c = store[c].next_sibling) {
    ++children;
    const Node& child = store[c];
    if (!store.solved(c)) {
      every_child_solved = false;
      continue;
    }
    const double q = edge_value(child.reward, child.discount, child.value);
    if (q > best) best = q;
  }
  if (!(best >= value_high)) {
    if (!every_child_solved) return false;
    const float* priors = store.priors(id);
    std::size_t legal = 0;
    for (std::size_t a = 0; a < num_actions; ++a) legal += is_legal(priors[a]) ? 1 : 0;
    if (children != legal) return false;
  }
  store.mark_solved(id, best);
  return true;
}

// After the backup of `path` (root first) into a solved new leaf: solves its nodes from the
// bottom up while they become solved, stopping below a node an earlier backup of the same step
// solved already (several leaves per step), whose value stays as it is.
inline void solve_path(NodeStore& store, const NodeId* path, std::size_t length,
                       std::size_t num_actions, double value_high) {
  for (std::size_t j = length; j-- > 0;) {
    if (store.solved(path[j]) || !solve_node(store, path[j], num_actions, value_high)) return;
  }
}

// The move a solved node proves: the action of its solved child with the highest backed-up value,
// lowest on ties; -1 if no child is solved.
inline std::int64_t proven_move(const NodeStore& store, NodeId id) noexcept {
  std::int64_t move = -1;
  double best = 0.0;
  for (NodeId c = store[id].first_child; c != kNoNode; c = store[c].next_sibling) {
    if (!store.solved(c)) continue;
    const Node& child = store[c];
    const double q = edge_value(child.reward, child.discount, child.value);
    if (move < 0 || q > best) {
      move = child.action;
      best = q;
    }
  }
  return move;
}

// The shortest decimal text that reads back as x.
inline std::string shortest(double x) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, x).ptr;
  return std::string(text, end);
}

// Refuses evaluation rows of positions without legal action that cannot be taken as exact: a
// value, or for a position reached by a move (one of `expansions` with a parent; null: roots)
// the backed-up r + gamma * v, outside value_bounds, where the proof that a move is best would
// not hold.
inline void check_exact_values(const SearchConfig& config, const Evaluations& evaluation,
                               const std::vector<Expansion>* expansions) {
  const auto num_actions = static_cast<std::size_t>(config.num_actions);
  const auto outside = [&](double v) { return !(v >= config.value_low && v <= config.value_high); };
  for (std::size_t row = 0; row < evaluation.rows(); ++row) {
    const float* priors = evaluation.priors.data() + row * num_actions;
    bool any_legal = false;
    for (std::size_t a = 0; a < num_actions; ++a) any_legal = any_legal || is_legal(priors[a]);
    if (any_legal) continue;
    const double v = evaluation.values[row];
    const bool moved = expansions != nullptr && (*expansions)[row].parent != kNoNode;
    const double q = moved ? edge_value(evaluation.rewards[row], evaluation.discounts[row], v) : v;
    if (!outside(v) && !outside(q)) continue;
    std::string message =
        "solve=True takes the values of positions without legal action as exact and needs them "
        "within value_bounds [" +
        shortest(config.value_low) + ", " + shortest(config.value_high) + "]: row " +
        std::to_string(row) + " has value " + shortest(v);
    if (moved) message += " and reward + discount * value " + shortest(q);
    throw std::invalid_argument(message);
  }
}

}  // namespace veltra::forest
