#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

// The arithmetic of the search, one definition each. All of it is in double precision, in the
// order written here (the targets compile with -ffp-contract=off), so that an independent
// implementation of the same formulas reproduces every visit count exactly.
namespace veltra::forest {

// Prior row entry of an illegal action. Real priors are never negative, so the prior row doubles
// as the legal mask and a scan reads one array instead of two.
inline constexpr float kIllegal = -1.0f;

inline bool is_legal(float prior) noexcept { return prior >= 0.0f; }
inline bool is_legal(double prior) noexcept { return prior >= 0.0; }

// pb_c = pb_c_init + log((N + pb_c_base + 1) / pb_c_base) at a node visited N times.
inline double exploration_rate(std::int32_t visits, double pb_c_init, double pb_c_base) noexcept {
  return pb_c_init + std::log((static_cast<double>(visits) + pb_c_base + 1.0) / pb_c_base);
}

// sqrt(N) * pb_c: the part of every child's exploration term that depends on the parent only.
inline double exploration_scale(std::int32_t visits, double rate) noexcept {
  return std::sqrt(static_cast<double>(visits)) * rate;
}

// q_hat + ((sqrt(N) * pb_c) * p) / (N_a + 1). An unvisited child skips the division by 1, which
// is exact.
inline double puct_score(double normalised_q, double scale, double prior,
                         std::int32_t child_visits) noexcept {
  if (child_visits == 0) return normalised_q + scale * prior;
  return normalised_q + (scale * prior) / static_cast<double>(child_visits + 1);
}

// Q of an edge: r + gamma * V(child).
inline double edge_value(double reward, double discount, double child_value) noexcept {
  return reward + discount * child_value;
}

// Q rescaled into the range spanned by the node's own value and its visited children's Q.
struct QRange {
  double low;
  double high;

  explicit QRange(double node_value) noexcept : low(node_value), high(node_value) {}
  void include(double q) noexcept {
    low = std::min(low, q);
    high = std::max(high, q);
  }
  // The divisor of normalise, max(high - low, 1e-8): the same for every child of a node.
  double spread() const noexcept { return std::max(high - low, 1e-8); }
  double normalise(double q, double spread_of_range) const noexcept {
    return (q - low) / spread_of_range;
  }
  double normalise(double q) const noexcept { return normalise(q, spread()); }
};

// V after one more visit that returned g: (V * N + g) / (N + 1).
inline double mean_after_visit(double value, std::int32_t visits, double g) noexcept {
  return (value * static_cast<double>(visits) + g) / static_cast<double>(visits + 1);
}

// Why a row of logits cannot be turned into priors.
enum class LogitFault { kNone, kNaN, kPositiveInfinity, kNoFiniteLegal };

struct LogitCheck {
  LogitFault fault = LogitFault::kNone;
  std::size_t action = 0;  // the offending action for kNaN and kPositiveInfinity
};

// The legal mask of a row without one.
struct EveryActionLegal {
  constexpr int operator[](std::size_t) const noexcept { return 1; }
};

// Priors of one node: the softmax of the logits over the legal actions (maximum subtracted, sum in
// action order, in double), rounded to float; illegal actions get kIllegal. `legal[a]` is nonzero
// for a legal action (`legal` is a pointer to the row's flags, or EveryActionLegal, for which the
// legality tests compile away). A node with no legal action is terminal: its logits are not read
// and every entry is kIllegal. Otherwise a NaN or +inf logit anywhere, or no finite legal logit, is
// a fault and `priors` is left unspecified. `exps` is scratch space for num_actions doubles.
template <typename LegalMask>
LogitCheck encode_priors(const double* logits, LegalMask legal, std::size_t num_actions,
                         float* priors, double* exps) noexcept {
  // One pass finds the legal actions, the first NaN or +inf and the maximum legal logit; faults
  // count only at a node with a legal action.
  bool any_legal = false;
  LogitCheck fault;
  double max_logit = -std::numeric_limits<double>::infinity();
  for (std::size_t a = 0; a < num_actions; ++a) {
    const double logit = logits[a];
    const bool legal_action = legal[a] != 0;
    any_legal = any_legal || legal_action;
    if (fault.fault == LogitFault::kNone &&
        (std::isnan(logit) || logit == std::numeric_limits<double>::infinity())) {
      fault = {std::isnan(logit) ? LogitFault::kNaN : LogitFault::kPositiveInfinity, a};
    }
    if (legal_action) max_logit = std::max(max_logit, logit);
  }
  if (!any_legal) {
    std::fill(priors, priors + num_actions, kIllegal);
    return {};
  }
  if (fault.fault != LogitFault::kNone) return fault;
  if (!std::isfinite(max_logit)) return {LogitFault::kNoFiniteLegal, 0};
  double sum = 0.0;
  for (std::size_t a = 0; a < num_actions; ++a) {
    if (legal[a] == 0) continue;
    exps[a] = std::exp(logits[a] - max_logit);
    sum += exps[a];
  }
  for (std::size_t a = 0; a < num_actions; ++a) {
    priors[a] = legal[a] != 0 ? static_cast<float>(exps[a] / sum) : kIllegal;
  }
  return {};
}

}  // namespace veltra::forest
