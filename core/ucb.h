#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/visit_statistics.h"

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#define VELTRA_PACKED_UCB1 1
#else
#define VELTRA_PACKED_UCB1 0
#endif

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
  const auto visits = static_cast<float>(visit_count);
  return std::sqrt(log_parent_visits / visits) * exploration + mean_of(total_value, visit_count);
}

#if VELTRA_PACKED_UCB1
// ucb1_score of four visited nodes at once: the same operations in the same order, so each lane
// rounds exactly as the scalar function does.
inline __m128 ucb1_scores_of_four(const float (&total_values)[4],
                                  const std::int32_t (&visit_counts)[4], float log_parent_visits,
                                  float exploration) noexcept {
  const __m128 visits = _mm_cvtepi32_ps(
      _mm_setr_epi32(visit_counts[0], visit_counts[1], visit_counts[2], visit_counts[3]));
  const __m128 totals = _mm_loadu_ps(total_values);
  const __m128 exploration_terms = _mm_mul_ps(
      _mm_sqrt_ps(_mm_div_ps(_mm_set1_ps(log_parent_visits), visits)), _mm_set1_ps(exploration));
  return _mm_add_ps(exploration_terms, _mm_div_ps(totals, visits));
}
#endif

namespace detail {

// std::log of every count below kSize, computed once with the same call log_visits makes.
struct SmallCountLogs {
  static constexpr std::uint32_t kSize = 4096;
  float values[kSize];
  SmallCountLogs() noexcept {
    for (std::uint32_t i = 0; i < kSize; ++i) values[i] = std::log(static_cast<float>(i));
  }
};

}  // namespace detail

// ln(visit_count) as a float. A descent takes one logarithm per level, mostly of small counts,
// so those come from a table; the table holds the very values std::log returns.
inline float log_visits(std::int32_t visit_count) noexcept {
  static const detail::SmallCountLogs logs;
  const auto count = static_cast<std::uint32_t>(visit_count);
  if (count < detail::SmallCountLogs::kSize) return logs.values[count];
  return std::log(static_cast<float>(visit_count));
}

}  // namespace veltra::core
