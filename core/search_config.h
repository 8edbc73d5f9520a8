#pragma once

#include <cstdint>

namespace veltra {

// Parameters of a search, copied into the engine when it is constructed.
struct SearchConfig {
  std::int32_t num_simulations = 100;   // simulations one search runs
  float exploration_constant = 1.414f;  // weight c of the exploration term in the descent
  std::int32_t max_rollout_depth = 50;  // carried for callers; the search applies no depth limit
  float discount_factor = 1.0f;         // carried for callers; the search applies no discount
  std::uint32_t seed = 0;               // carried for callers; the search makes no random choice
};

}  // namespace veltra
