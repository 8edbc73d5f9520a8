#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "forest/formulas.h"
#include "forest/node.h"
#include "forest/node_store.h"
#include "forest/pending_visits.h"

// The arithmetic of the Gumbel policy, one definition each, in double precision and in the order
// written here (sums in action order), so that an independent implementation of the same
// formulas reproduces every visit count exactly: the shifted logits of a node, its completed and
// rescaled Q (sigma), its improved policy, the interior and root scores, and the schedule of
// sequential halving.
namespace veltra::forest {

inline constexpr double kLowLogit = -1e9;  // floor of a root score, so -inf logits stay selectable

// l_a = logit_a - max over legal b of logit_b for legal a, -inf for illegal a (all -inf at a
// node without legal action). The row must have passed encode_priors.
template <typename LegalMask>
void shift_logits(const double* logits, LegalMask legal, std::size_t num_actions,
                  double* shifted) noexcept {
  constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();
  double max_logit = kMinusInfinity;
  for (std::size_t a = 0; a < num_actions; ++a) {
    if (legal[a] != 0 && logits[a] > max_logit) max_logit = logits[a];
  }
  for (std::size_t a = 0; a < num_actions; ++a) {
    shifted[a] = legal[a] != 0 ? logits[a] - max_logit : kMinusInfinity;
  }
}

// T_k[s]: the number of this search's visits that every action still considered at simulation s
// has, when sequential halving starts with k actions over `simulations` simulations. Rounds of
// one visit to each of c considered actions are repeated max(1, S / (ceil(log2 k) * c)) times,
// then c halves (to no fewer than 2); every considered action has the same visits at the start of
// a phase, so a phase is walked in one step.
inline std::int32_t considered_visits(std::int64_t k, std::int64_t simulations,
                                      std::int64_t s) noexcept {
  if (k <= 1) return static_cast<std::int32_t>(s);
  std::int64_t log2_k = 0;
  while ((std::int64_t{1} << log2_k) < k) ++log2_k;
  std::int64_t considered = k;
  std::int64_t start = 0;   // index of the phase's first entry
  std::int64_t visits = 0;  // visits of each considered action at the phase's start
  for (;;) {
    const std::int64_t rounds = std::max<std::int64_t>(1, simulations / (log2_k * considered));
    const std::int64_t length = rounds * considered;
    if (s < start + length) return static_cast<std::int32_t>(visits + (s - start) / considered);
    start += length;
    visits += rounds;
    considered = std::max<std::int64_t>(2, considered / 2);
  }
}

// The children of one node laid out by action, gathered in one pass over the actions merged with
// the walk of the sibling list: N_a (0 without a child; a child always has a visit), Q_a (of
// visited actions), the child's id, and the sums and extremes that sigma needs.
struct ChildRows {
  std::vector<std::int32_t> visits;
  std::vector<double> q;
  std::vector<NodeId> child;
  std::vector<std::size_t> visited;  // the visited actions, increasing; num_visited of them
  std::size_t num_visited = 0;
  bool unvisited_legal = false;   // some legal action has no child
  std::int64_t total_visits = 0;  // sum of N_a
  std::int32_t most_visits = 0;   // max of N_a
  double prior_sum = 0.0;         // sum over visited a of max(DBL_MIN, p_a)
  double q_low = 0.0;             // min and max of the visited Q_a
  double q_high = 0.0;

  explicit ChildRows(std::size_t num_actions)
      : visits(num_actions), q(num_actions), child(num_actions), visited(num_actions) {}

  void gather(const NodeStore& store, NodeId id, const float* priors) noexcept {
    num_visited = 0;
    unvisited_legal = false;
    total_visits = 0;
    most_visits = 0;
    prior_sum = 0.0;
    NodeId next = store[id].first_child;
    for (std::size_t a = 0; a < visits.size(); ++a) {
      if (next == kNoNode || static_cast<std::size_t>(store[next].action) != a) {
        visits[a] = 0;
        child[a] = kNoNode;
        unvisited_legal = unvisited_legal || is_legal(priors[a]);
        continue;
      }
      const Node& n = store[next];
      const double value = edge_value(n.reward, n.discount, n.value);
      q_low = num_visited == 0 || value < q_low ? value : q_low;
      q_high = num_visited == 0 || value > q_high ? value : q_high;
      visits[a] = n.visits;
      q[a] = value;
      child[a] = next;
      visited[num_visited++] = a;
      total_visits += n.visits;
      most_visits = std::max(most_visits, n.visits);
      prior_sum += std::max(DBL_MIN, static_cast<double>(priors[a]));
      next = n.next_sibling;
    }
  }
};

struct GumbelParams {
  double value_scale;    // c_scale
  double maxvisit_init;  // c_visit
};

// sigma of a node: sigma_a = scale * ((c_a - low) / spread), c_a the completed Q of action a: Q_a
// if visited, else the mixed value; low and high the extremes of c_a over the legal actions.
struct Sigma {
  double mixed_value;  // v_mix
  double low;
  double spread;  // max(high - low, 1e-8)
  double scale;   // (c_visit + max N_a) * c_scale

  double of(const ChildRows& rows, std::size_t a) const noexcept {
    return scale * (((rows.visits[a] > 0 ? rows.q[a] : mixed_value) - low) / spread);
  }
  double of_unvisited() const noexcept { return scale * ((mixed_value - low) / spread); }
};

// v_mix = (v0 + sum N * W) / (sum N + 1), W = sum over visited a of (pi_a * Q_a) / sum pi, with
// pi_a = max(DBL_MIN, p_a); v0 without children.
inline double mixed_value(double raw_value, const float* priors, const ChildRows& rows) noexcept {
  if (rows.total_visits == 0) return raw_value;
  double weighted = 0.0;
  for (std::size_t k = 0; k < rows.num_visited; ++k) {
    const std::size_t a = rows.visited[k];
    weighted += (std::max(DBL_MIN, static_cast<double>(priors[a])) * rows.q[a]) / rows.prior_sum;
  }
  const auto total = static_cast<double>(rows.total_visits);
  return (raw_value + total * weighted) / (total + 1.0);
}

// The sigma of a node with a legal action, whose children `rows` holds. (The extremes do not
// depend on the order they are taken in: every Q is finite.)
inline Sigma sigma_of(double raw_value, const float* priors, const ChildRows& rows,
                      const GumbelParams& params) noexcept {
  const double mixed = mixed_value(raw_value, priors, rows);
  double low = mixed;
  double high = mixed;
  if (rows.num_visited > 0) {
    low = rows.unvisited_legal ? std::min(rows.q_low, mixed) : rows.q_low;
    high = rows.unvisited_legal ? std::max(rows.q_high, mixed) : rows.q_high;
  }
  const double scale =
      (params.maxvisit_init + static_cast<double>(rows.most_visits)) * params.value_scale;
  return {mixed, low, std::max(high - low, 1e-8), scale};
}

// e_a = exp(x_a - max x) for legal a, x_a = l_a + sigma_a, into `exps`; returns their sum in
// action order. pi'_a = e_a / sum. For a node with a legal action.
inline double policy_exponents(const float* priors, const double* logits, const ChildRows& rows,
                               const Sigma& sigma, double* exps) noexcept {
  const std::size_t num_actions = rows.visits.size();
  const double unvisited_sigma = sigma.of_unvisited();
  double top = -std::numeric_limits<double>::infinity();
  for (std::size_t a = 0; a < num_actions; ++a) {
    if (!is_legal(priors[a])) continue;
    exps[a] = logits[a] + (rows.visits[a] > 0 ? sigma.of(rows, a) : unvisited_sigma);
    if (exps[a] > top) top = exps[a];
  }
  double sum = 0.0;
  for (std::size_t a = 0; a < num_actions; ++a) {
    if (!is_legal(priors[a])) continue;
    exps[a] = std::exp(exps[a] - top);
    sum += exps[a];
  }
  return sum;
}

// pi'_a: the softmax over the legal actions of l_a + sigma_a; 0 for illegal actions.
inline void improved_policy(const float* priors, const double* logits, const ChildRows& rows,
                            const Sigma& sigma, double* policy) noexcept {
  const double sum = policy_exponents(priors, logits, rows, sigma, policy);
  for (std::size_t a = 0; a < rows.visits.size(); ++a) {
    policy[a] = is_legal(priors[a]) ? policy[a] / sum : 0.0;
  }
}

// The counts N_a that the interior rule and the root's schedule compare: the children's visits
// (rows.visits), or with pending visits (PendingVisits) N_a + P_a, and their sum.
struct VisitCounts {
  const std::int32_t* of;
  std::int64_t total;
};

// N_a + P_a of the node whose children `rows` holds, into `counts` (num_actions entries).
inline VisitCounts add_pending(const ChildRows& rows, NodeId id, const PendingVisits& pending,
                               std::int32_t* counts) noexcept {
  std::int64_t total = 0;
  for (std::size_t a = 0; a < rows.visits.size(); ++a) {
    counts[a] = rows.visits[a] + pending.of(id, static_cast<std::int32_t>(a), rows.child[a]);
    total += counts[a];
  }
  return {counts, total};
}

// The interior action: argmax over legal a of pi'_a - N_a / (1 + sum N), lowest on ties, with
// the N_a of `counts` (pi' from the real visits); -1 at a node without legal action. A NaN score
// (from values that overflowed) never wins; if every score is NaN, the lowest legal action does.
// `exps` is scratch space for num_actions doubles.
inline std::int32_t interior_action(const float* priors, const double* logits, double raw_value,
                                    const ChildRows& rows, const GumbelParams& params,
                                    VisitCounts counts, double* exps) noexcept {
  if (rows.num_visited == 0 && !rows.unvisited_legal) return -1;
  const double sum =
      policy_exponents(priors, logits, rows, sigma_of(raw_value, priors, rows, params), exps);
  const double denominator = 1.0 + static_cast<double>(counts.total);
  std::int32_t best = -1;
  std::int32_t lowest = -1;
  double best_score = -std::numeric_limits<double>::infinity();
  for (std::size_t a = 0; a < rows.visits.size(); ++a) {
    if (!is_legal(priors[a])) continue;
    if (lowest < 0) lowest = static_cast<std::int32_t>(a);
    // An unvisited action's score is pi'_a - 0 / (1 + sum N), which is pi'_a exactly.
    const double policy = exps[a] / sum;
    const double score =
        counts.of[a] == 0 ? policy : policy - static_cast<double>(counts.of[a]) / denominator;
    if (score > best_score) {
      best = static_cast<std::int32_t>(a);
      best_score = score;
    }
  }
  return best < 0 ? lowest : best;
}

// max(-1e9, (G_a + l_a) + sigma_a): the root score of a considered action.
inline double root_score(double noise, double logit, double sigma) noexcept {
  return std::max(kLowLogit, (noise + logit) + sigma);
}

}  // namespace veltra::forest
