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

// The children of one node laid out by action: N_a (0 without a child), Q_a and the child's id.
struct ChildRows {
  std::vector<std::int32_t> visits;
  std::vector<double> q;
  std::vector<NodeId> child;
  std::int64_t total_visits = 0;  // sum of N_a
  std::int32_t most_visits = 0;   // max of N_a

  explicit ChildRows(std::size_t num_actions)
      : visits(num_actions), q(num_actions), child(num_actions) {}

  void gather(const NodeStore& store, NodeId id) noexcept {
    std::fill(visits.begin(), visits.end(), 0);
    std::fill(child.begin(), child.end(), kNoNode);
    total_visits = 0;
    most_visits = 0;
    for (NodeId c = store[id].first_child; c != kNoNode; c = store[c].next_sibling) {
      const Node& n = store[c];
      const auto a = static_cast<std::size_t>(n.action);
      visits[a] = n.visits;
      q[a] = edge_value(n.reward, n.discount, n.value);
      child[a] = c;
      total_visits += n.visits;
      most_visits = std::max(most_visits, n.visits);
    }
  }
};

struct GumbelParams {
  double value_scale;    // c_scale
  double maxvisit_init;  // c_visit
};

// sigma of a node: sigma_a = scale * ((c_a - low) / spread), c_a the completed Q of action a.
struct Sigma {
  double mixed_value;  // v_mix: completes the Q of unvisited actions
  double low;
  double spread;  // max(high - low, 1e-8)
  double scale;   // (c_visit + max N_a) * c_scale

  double completed_q(const ChildRows& rows, std::size_t a) const noexcept {
    return rows.visits[a] > 0 ? rows.q[a] : mixed_value;
  }
  double of(const ChildRows& rows, std::size_t a) const noexcept {
    return scale * ((completed_q(rows, a) - low) / spread);
  }
};

// v_mix = (v0 + sum N * W) / (sum N + 1), W the mean Q of the visited children weighted by their
// priors (at least DBL_MIN each); v0 without children.
inline double mixed_value(double raw_value, const float* priors, const ChildRows& rows) noexcept {
  if (rows.total_visits == 0) return raw_value;
  const std::size_t num_actions = rows.visits.size();
  double prior_sum = 0.0;
  for (std::size_t a = 0; a < num_actions; ++a) {
    if (rows.visits[a] > 0) prior_sum += std::max(DBL_MIN, static_cast<double>(priors[a]));
  }
  double weighted = 0.0;
  for (std::size_t a = 0; a < num_actions; ++a) {
    if (rows.visits[a] == 0) continue;
    weighted += (std::max(DBL_MIN, static_cast<double>(priors[a])) * rows.q[a]) / prior_sum;
  }
  const auto total = static_cast<double>(rows.total_visits);
  return (raw_value + total * weighted) / (total + 1.0);
}

// The sigma of a node with a legal action, whose children `rows` holds.
inline Sigma sigma_of(double raw_value, const float* priors, const ChildRows& rows,
                      const GumbelParams& params) noexcept {
  Sigma sigma{mixed_value(raw_value, priors, rows), 0.0, 0.0, 0.0};
  bool first = true;
  double high = 0.0;
  for (std::size_t a = 0; a < rows.visits.size(); ++a) {
    if (!is_legal(priors[a])) continue;
    const double c = sigma.completed_q(rows, a);
    if (first || c < sigma.low) sigma.low = c;
    if (first || c > high) high = c;
    first = false;
  }
  sigma.spread = std::max(high - sigma.low, 1e-8);
  sigma.scale = (params.maxvisit_init + static_cast<double>(rows.most_visits)) * params.value_scale;
  return sigma;
}

// pi'_a = softmax over the legal actions of l_a + sigma_a (maximum subtracted, sum in action
// order); 0 for illegal actions. For a node with a legal action.
inline void improved_policy(const float* priors, const double* logits, const ChildRows& rows,
                            const Sigma& sigma, double* policy) noexcept {
  const std::size_t num_actions = rows.visits.size();
  double top = -std::numeric_limits<double>::infinity();
  for (std::size_t a = 0; a < num_actions; ++a) {
    if (!is_legal(priors[a])) continue;
    policy[a] = logits[a] + sigma.of(rows, a);
    if (policy[a] > top) top = policy[a];
  }
  double sum = 0.0;
  for (std::size_t a = 0; a < num_actions; ++a) {
    if (!is_legal(priors[a])) continue;
    policy[a] = std::exp(policy[a] - top);
    sum += policy[a];
  }
  for (std::size_t a = 0; a < num_actions; ++a) {
    policy[a] = is_legal(priors[a]) ? policy[a] / sum : 0.0;
  }
}

// The interior action: argmax over legal a of pi'_a - N_a / (1 + sum N), lowest on ties; -1 at a
// node without legal action. `policy` is scratch space for num_actions doubles.
inline std::int32_t interior_action(const float* priors, const double* logits, double raw_value,
                                    const ChildRows& rows, const GumbelParams& params,
                                    double* policy) noexcept {
  const std::size_t num_actions = rows.visits.size();
  std::size_t a = 0;
  while (a < num_actions && !is_legal(priors[a])) ++a;
  if (a == num_actions) return -1;
  improved_policy(priors, logits, rows, sigma_of(raw_value, priors, rows, params), policy);
  const double denominator = 1.0 + static_cast<double>(rows.total_visits);
  std::int32_t best = -1;
  double best_score = 0.0;
  for (; a < num_actions; ++a) {
    if (!is_legal(priors[a])) continue;
    const double score = policy[a] - static_cast<double>(rows.visits[a]) / denominator;
    if (best < 0 || score > best_score) {
      best = static_cast<std::int32_t>(a);
      best_score = score;
    }
  }
  return best;
}

// max(-1e9, (G_a + l_a) + sigma_a): the root score of a considered action.
inline double root_score(double noise, double logit, double sigma) noexcept {
  return std::max(kLowLogit, (noise + logit) + sigma);
}

}  // namespace veltra::forest
