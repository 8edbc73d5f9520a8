#pragma once

#include <cstdint>
#include <utility>

#include "core/node.h"
#include "core/ucb.h"

namespace veltra::core {

namespace detail {

// The running winner of a best-child scan: a candidate replaces it only when strictly greater.
template <typename State>
struct BestSoFar {
  float score = kLowestScore;
  Node<State>* node = nullptr;

  void offer(Node<State>* candidate, float candidate_score) noexcept {
    const bool better = candidate_score > score;
    score = better ? candidate_score : score;
    node = better ? candidate : node;
  }

#if VELTRA_PACKED_UCB1
  // offer() of first[0] to first[3] with these scores, in that order. The group's best is found
  // with packed maxima rather than four offers in a row, which would make one long chain of
  // dependent comparisons per descent step.
  void offer_four(Node<State>* first, __m128 scores) noexcept {
    // NaN and -infinity never win an offer; as the lowest score they cannot win here either.
    // (maxps returns its second operand when the first is NaN.)
    scores = _mm_max_ps(scores, _mm_set1_ps(kLowestScore));
    __m128 top = _mm_max_ps(scores, _mm_shuffle_ps(scores, scores, _MM_SHUFFLE(2, 3, 0, 1)));
    top = _mm_max_ps(top, _mm_shuffle_ps(top, top, _MM_SHUFFLE(1, 0, 3, 2)));
    // Ties go to the earliest lane, as consecutive strict offers would give them.
    static constexpr std::uint8_t kFirstLane[16] = {0, 0, 1, 0, 2, 0, 1, 0, 3, 0, 1, 0, 2, 0, 1, 0};
    const int equal_lanes = _mm_movemask_ps(_mm_cmpeq_ps(scores, top));
    offer(first + kFirstLane[equal_lanes], _mm_cvtss_f32(top));
  }
#endif
};

}  // namespace detail

// The first child whose score is strictly greater than every earlier one, starting from the
// lowest finite float; null if no child beats it (no children, or only NaN / -infinity scores).
// score_of(const Node&) sees each child read-only.
template <typename State, typename ScoreFn>
Node<State>* best_child(Node<State>& node, ScoreFn&& score_of) {
  detail::BestSoFar<State> best;
  node.for_each_child([&](Node<State>& child) {
    const float score = score_of(std::as_const(child));
    best.offer(&child, score);
    // Nothing is strictly greater than +infinity: the scan can stop there.
    return score == kUnvisitedScore;
  });
  return best.node;
}

// best_child by each child's UCB1 score, exactly as Node::ucb_score computes it, with the
// logarithm of the parent's visits taken once for the whole scan. Where the platform has packed
// single-precision arithmetic, four siblings are scored at once (same IEEE results per lane).
template <typename State>
Node<State>* best_ucb_child(Node<State>& node, float exploration) {
  const float log_parent_visits = log_visits(node.visit_count());
  detail::BestSoFar<State> best;
  node.for_each_child_run([&](Node<State>* first, std::uint32_t count) {
    Node<State>* const end = first + count;
    for (Node<State>* child = first; child != end;) {
#if VELTRA_PACKED_UCB1
      if (end - child >= 4) {
        // The packed path takes four visited children that still have their parent; any other
        // group goes one child at a time below.
        const Node<State>& a = child[0];
        const Node<State>& b = child[1];
        const Node<State>& c = child[2];
        const Node<State>& d = child[3];
        // Counted rather than combined with && so that the group costs one branch, not eight.
        const int excluded = (a.visit_count() == 0) + (b.visit_count() == 0) +
                             (c.visit_count() == 0) + (d.visit_count() == 0) + a.is_detached() +
                             b.is_detached() + c.is_detached() + d.is_detached();
        if (excluded == 0) {
          best.offer_four(child,
                          ucb1_scores_of_four(
                              {a.total_value(), b.total_value(), c.total_value(), d.total_value()},
                              {a.visit_count(), b.visit_count(), c.visit_count(), d.visit_count()},
                              log_parent_visits, exploration));
          child += 4;
          continue;
        }
      }
#endif
      // A child listed here was created under `node`, unless a tree promoted it to its root.
      const float score = !child->is_detached()
                              ? ucb1_score(child->total_value(), child->visit_count(),
                                           log_parent_visits, exploration)
                              : child->ucb_score(exploration);
      best.offer(child, score);
      // Nothing is strictly greater than +infinity: the scan can stop there. (An earlier packed
      // group may already hold +infinity from an infinite total; offer keeps that one.)
      if (score == kUnvisitedScore) return true;
      ++child;
    }
    return false;
  });
  return best.node;
}

}  // namespace veltra::core
