#pragma once

#include <cstdint>
#include <vector>

namespace veltra {

// What one search reports about the root of its tree.
struct SearchResult {
  std::int32_t best_action = 0;            // the most visited root action (-1 without children)
  std::vector<std::int32_t> actions;       // actions of the root's children, in child order
  std::vector<std::int32_t> visit_counts;  // visits of each root child, aligned with actions
  float root_value = 0.0f;                 // the root's mean value
  std::int32_t num_simulations = 0;        // the configured simulation count
};

}  // namespace veltra
