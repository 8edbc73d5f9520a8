#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace veltra::core {

// Best-child scans start from the lowest finite float rather than -infinity, so a score of
// -infinity (or NaN, which compares false) never wins.
inline constexpr float kLowestScore = std::numeric_limits<float>::lowest();

inline constexpr float kUnvisitedScore = std::numeric_limits<float>::infinity();

// UCB1 in single precision: sqrt(ln(N) / n) * c + W / n, where the caller passes ln(N) so that a
// scan over siblings takes the logarithm of their parent's visits once. An unvisited node scores
// +infinity. Every UCB1 score in the system (node, engine, selection policy) comes from here.
inline float ucb1_score(float total_value, std::int32_t visit_count, float log_parent_visits,
                        float exploration) noexcept {
  if (visit_count == 0) return kUnvisitedScore;
  const float visits = static_cast<float>(visit_count);
  return std::sqrt(log_parent_visits / visits) * exploration + total_value / visits;
}

inline float log_visits(std::int32_t visit_count) noexcept {
  return std::log(static_cast<float>(visit_count));
}

}  // namespace veltra::core
