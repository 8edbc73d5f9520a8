#pragma once

#include <cstdint>
#include <limits>

namespace veltra::core {

// The mean value W / n of a node visited n times with total W; 0 for an unvisited node.
inline float mean_of(float total_value, std::int32_t visit_count) noexcept {
  return visit_count == 0 ? 0.0f : total_value / static_cast<float>(visit_count);
}

// What the simulations through one node brought back: how many there were and the sum of their
// values, both in the widths the search reports.
struct VisitStatistics {
  std::int32_t visit_count = 0;
  float total_value = 0.0f;

  // Adds `value` to the total and one visit; the count saturates at its maximum instead of
  // overflowing, while the total keeps accumulating.
  void add(float value) noexcept {
    total_value = value + total_value;
    if (visit_count != std::numeric_limits<std::int32_t>::max()) ++visit_count;
  }
  float mean() const noexcept { return mean_of(total_value, visit_count); }
};

}  // namespace veltra::core
