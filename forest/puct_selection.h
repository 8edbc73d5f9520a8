#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "forest/formulas.h"
#include "forest/node.h"
#include "forest/node_store.h"
#include "forest/pending_visits.h"
#include "forest/search_config.h"

namespace veltra::forest {

// PUCT selection with min-max normalised values: the legal action with the highest score at a
// node, lowest action on ties. The priors are the node's own (float32) or, at a root during a
// search with Dirichlet noise, its noisy priors (double).
class PuctSelection {
 public:
  explicit PuctSelection(const SearchConfig& config)
      : num_actions_(static_cast<std::size_t>(config.num_actions)),
        pb_c_init_(config.pb_c_init),
        pb_c_base_(config.pb_c_base),
        unvisited_(config.unvisited_value),
        exploration_scales_(exploration_scales(config)) {}

  // A first walk of the sibling list gathers the min-max range and, from the gaps between the
  // children, the unvisited action with the highest prior; a second walk scores the children
  // (recomputing each Q, the same expression, is cheaper than storing and reloading it). An
  // unvisited action's score is scale * p, and for float32 priors p_a > p_b implies scale * p_a >
  // scale * p_b (the gap between two floats is far wider than a double's rounding, as long as the
  // product is a normal double), so that action is the best unvisited one and the only one scored;
  // ties among unvisited actions still go to the lowest index. With no NaN among the scores the
  // first highest score in action order is the one with the highest score and lowest index, which
  // the final comparison reproduces. Noisy root priors (double), a non-finite Q or range and an
  // exploration scale outside [2^-800, max] take the action-by-action scan instead, and so does
  // a node with pending visits (`pending`: see PendingVisits), whose children then score as if
  // those visits had been made: N + P at the node, N_a + P_a at a child, and the q̂ of a child
  // with pending visits as if each had returned the bottom of the node's range,
  // (q̂ N_a) / (N_a + P_a) (0 for an unexpanded edge); a solved child keeps its exact q̂.
  // kSolving: solved children (SearchConfig::solve) score their value alone (child_score).
  template <bool kSolving, typename Prior>
  [[gnu::always_inline]] Choice choose(const NodeStore& store, NodeId id, const Prior* priors,
                                       const PendingVisits* pending = nullptr) const noexcept {
    const Node& n = store[id];
    QRange range(n.value);
    double q_sum = 0.0;  // NaN or inf if any Q is not finite
    Unvisited unvisited{num_actions_, kIllegal};
    std::size_t gap_start = 0;
    for (NodeId c = n.first_child; c != kNoNode;) {
      const Node& child = store[c];
      if constexpr (std::is_same_v<Prior, float>) {
        const auto action = static_cast<std::size_t>(child.action);
        unvisited = scan_gap(priors, gap_start, action, unvisited);
        gap_start = action + 1;
      }
      const double q = edge_value(child.reward, child.discount, child.value);
      range.include(q);
      q_sum += q;
      c = child.next_sibling;
    }
    const std::int32_t node_pending = pending != nullptr ? pending->at(id) : 0;
    const double scale = exploration_scale_at(n.visits + node_pending);
    if constexpr (std::is_same_v<Prior, float>) {
      // Finite Qs and a finite high - low make every normalised Q, hence every score, finite.
      const bool finite_scores = std::isfinite(q_sum + (range.high - range.low));
      if (node_pending == 0 && finite_scores && scale >= 0x1p-800 && scale <= kMaxDouble) {
        unvisited = scan_gap(priors, gap_start, num_actions_, unvisited);
        return best_of<kSolving>(store, id, range, scale, priors, unvisited);
      }
    }
    return scan_actions<kSolving>(store, id, range, scale, priors,
                                  node_pending > 0 ? pending : nullptr);
  }

 private:
  static constexpr std::size_t kExplorationTableSize = 1024;
  static constexpr double kMaxDouble = std::numeric_limits<double>::max();

  struct Unvisited {
    std::size_t action;  // num_actions_ when there is none
    float prior;         // kIllegal when there is none
  };

  // `best`, or the action in [begin, end) with a higher float prior (the lowest of equal ones);
  // illegal actions (kIllegal) never are.
  static Unvisited scan_gap(const float* priors, std::size_t begin, std::size_t end,
                            Unvisited best) noexcept {
    for (std::size_t a = begin; a < end; ++a) {
      if (priors[a] > best.prior) best = {a, priors[a]};
    }
    return best;
  }

  // The choice among the gathered visited children and the best unvisited action, all scores
  // finite: highest score, lowest action on ties.
  template <bool kSolving>
  Choice best_of(const NodeStore& store, NodeId id, const QRange& range, double scale,
                 const float* priors, Unvisited unvisited) const noexcept {
    const Node& n = store[id];
    Choice best{-1, kNoNode};
    double best_score = 0.0;
    const double spread = range.spread();
    const double unvisited_q = unvisited_value(store, id, range, spread);
    for (NodeId c = n.first_child; c != kNoNode;) {
      const Node& child = store[c];
      const double q = edge_value(child.reward, child.discount, child.value);
      const double score = child_score<kSolving>(store, c, range.normalise(q, spread), scale,
                                                 static_cast<double>(priors[child.action]));
      if (best.action < 0 || score > best_score) {
        best = {child.action, c};
        best_score = score;
      }
      c = child.next_sibling;
    }
    if (unvisited.action < num_actions_) {
      const auto action = static_cast<std::int32_t>(unvisited.action);
      const double score = puct_score(unvisited_q, scale, static_cast<double>(unvisited.prior), 0);
      if (best.action < 0 || score > best_score || (score == best_score && action < best.action)) {
        best = {action, kNoNode};
      }
    }
    return best;
  }

  // The choice by scoring every legal action in order, the first highest score winning. A NaN
  // score never wins; if every score is NaN, the lowest legal action does. `pending` is null
  // or the tree's pending visits.
  template <bool kSolving, typename Prior>
  Choice scan_actions(const NodeStore& store, NodeId id, const QRange& range, double scale,
                      const Prior* priors, const PendingVisits* pending) const noexcept {
    const Node& n = store[id];
    const double spread = range.spread();
    const double unvisited_q = unvisited_value(store, id, range, spread);
    Choice best{-1, kNoNode};
    Choice lowest{-1, kNoNode};
    double best_score = -std::numeric_limits<double>::infinity();
    NodeId next = n.first_child;
    for (std::size_t a = 0; a < num_actions_; ++a) {
      const auto prior = static_cast<double>(priors[a]);
      double score;
      NodeId c = kNoNode;
      if (next != kNoNode && static_cast<std::size_t>(store[next].action) == a) {
        const Node& child = store[next];
        c = next;
        next = child.next_sibling;
        const double q = edge_value(child.reward, child.discount, child.value);
        score = child_score<kSolving>(store, c, range.normalise(q, spread), scale, prior,
                                      pending != nullptr ? pending->at(c) : 0);
      } else {
        if (!is_legal(prior)) continue;
        const std::int32_t edge_pending =
            pending != nullptr ? pending->edge(id, static_cast<std::int32_t>(a)) : 0;
        score = puct_score(edge_pending > 0 ? 0.0 : unvisited_q, scale, prior, edge_pending);
      }
      if (lowest.action < 0) lowest = {static_cast<std::int32_t>(a), c};
      if (score > best_score) {
        best = {static_cast<std::int32_t>(a), c};
        best_score = score;
      }
    }
    return best.action < 0 ? lowest : best;
  }

  // The score of visited child c with `pending` pending visits: a solved one scores its exact q̂
  // alone, since visiting it again can teach the search nothing.
  template <bool kSolving>
  static double child_score(const NodeStore& store, NodeId c, double normalised_q, double scale,
                            double prior, std::int32_t pending = 0) noexcept {
    if constexpr (kSolving) {
      if (store.solved(c)) return normalised_q;
    }
    const std::int32_t visits = store[c].visits;
    if (pending == 0) return puct_score(normalised_q, scale, prior, visits);
    const double lowered =
        (normalised_q * static_cast<double>(visits)) / static_cast<double>(visits + pending);
    return puct_score(lowered, scale, prior, visits + pending);
  }

  // q̂ of every unvisited child of node id (SearchConfig::unvisited_value).
  double unvisited_value(const NodeStore& store, NodeId id, const QRange& range,
                         double spread) const noexcept {
    switch (unvisited_) {
      case UnvisitedValue::kParent:
        return range.normalise(store[id].value, spread);
      case UnvisitedValue::kMixed:
        return range.normalise(
            std::clamp(mixed_node_value(store, store[id], store.priors(id)), range.low, range.high),
            spread);
      case UnvisitedValue::kMin:
        break;
    }
    return 0.0;
  }

  // v_mix = (v0 + sum N * W) / (sum N + 1), W = sum over children of (pi_a * Q_a) / sum pi, with
  // pi_a = max(DBL_MIN, p_a) of the node's own priors: the Gumbel policy's mixed value
  // (gumbel.h), here over a sibling list; v0 without children.
  static double mixed_node_value(const NodeStore& store, const Node& n,
                                 const float* priors) noexcept {
    std::int64_t total = 0;
    double prior_sum = 0.0;
    for (NodeId c = n.first_child; c != kNoNode; c = store[c].next_sibling) {
      total += store[c].visits;
      prior_sum += std::max(DBL_MIN, static_cast<double>(priors[store[c].action]));
    }
    if (total == 0) return n.raw_value;
    double weighted = 0.0;
    for (NodeId c = n.first_child; c != kNoNode; c = store[c].next_sibling) {
      const Node& child = store[c];
      const double q = edge_value(child.reward, child.discount, child.value);
      weighted += (std::max(DBL_MIN, static_cast<double>(priors[child.action])) * q) / prior_sum;
    }
    const auto visits = static_cast<double>(total);
    return (n.raw_value + visits * weighted) / (visits + 1.0);
  }

  // sqrt(N) * pb_c, from a table for the small counts most nodes have.
  double exploration_scale_at(std::int32_t visits) const noexcept {
    const auto index = static_cast<std::size_t>(visits);
    if (index < exploration_scales_.size()) return exploration_scales_[index];
    return exploration_scale(visits, exploration_rate(visits, pb_c_init_, pb_c_base_));
  }

  static std::vector<double> exploration_scales(const SearchConfig& config) {
    // Counts above num_simulations + 1 occur only at roots reused across searches.
    const auto counts = static_cast<std::size_t>(config.num_simulations) + 2;
    std::vector<double> scales(std::min(counts, kExplorationTableSize));
    for (std::size_t n = 0; n < scales.size(); ++n) {
      const auto visits = static_cast<std::int32_t>(n);
      scales[n] =
          exploration_scale(visits, exploration_rate(visits, config.pb_c_init, config.pb_c_base));
    }
    return scales;
  }

  std::size_t num_actions_;
  double pb_c_init_;
  double pb_c_base_;
  UnvisitedValue unvisited_;                // what an unvisited child's q̂ is
  std::vector<double> exploration_scales_;  // exploration_scale at N = 0, 1, ...
};

}  // namespace veltra::forest
