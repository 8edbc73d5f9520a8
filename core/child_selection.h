#pragma once

#include "core/node.h"
#include "core/ucb.h"

namespace veltra::core {

// The first child whose score is strictly greater than every earlier one, starting from the
// lowest finite float; null if no child beats it (no children, or only NaN / -infinity scores).
template <typename State, typename ScoreFn>
Node<State>* best_child(const Node<State>& node, ScoreFn&& score_of) {
  float best_score = kLowestScore;
  Node<State>* best = nullptr;
  for (Node<State>& child : node.children()) {
    const float score = score_of(child);
    if (score > best_score) {
      // Nothing is strictly greater than +infinity: the scan can stop.
      if (score == kUnvisitedScore) return &child;
      best_score = score;
      best = &child;
    }
  }
  return best;
}

// best_child by each child's UCB1 score, exactly as Node::ucb_score computes it, with the
// logarithm of the parent's visits taken once for the whole scan.
template <typename State>
Node<State>* best_ucb_child(const Node<State>& node, float exploration) {
  const float log_parent_visits = log_visits(node.visit_count());
  return best_child(node, [&](const Node<State>& child) {
    // A child listed here was created under `node`, unless a tree promoted it to its root.
    return child.parent() == &node ? ucb1_score(child.total_value(), child.visit_count(),
                                                log_parent_visits, exploration)
                                   : child.ucb_score(exploration);
  });
}

}  // namespace veltra::core
