#pragma once

#include <cstdint>

namespace veltra::forest {

// Parameters of a forest's searches. The bindings validate them; see Forest for their use.
struct SearchConfig {
  std::int32_t num_actions = 1;        // A: actions of every node, numbered 0..A-1
  std::int32_t num_simulations = 100;  // simulations per root in one search
  double pb_c_init = 1.25;             // exploration rate at an unvisited node
  double pb_c_base = 19652.0;          // visit count over which the exploration rate grows by log
  double dirichlet_alpha = 0.3;        // concentration of the root noise
  double dirichlet_fraction = 0.25;    // weight of the noise in the root priors; 0 disables it
  std::uint64_t seed = 0;              // seed of the forest's generator

  bool operator==(const SearchConfig& other) const noexcept {
    return num_actions == other.num_actions && num_simulations == other.num_simulations &&
           pb_c_init == other.pb_c_init && pb_c_base == other.pb_c_base &&
           dirichlet_alpha == other.dirichlet_alpha &&
           dirichlet_fraction == other.dirichlet_fraction && seed == other.seed;
  }
  bool operator!=(const SearchConfig& other) const noexcept { return !(*this == other); }
};

}  // namespace veltra::forest
