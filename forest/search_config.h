#pragma once

#include <cstdint>

namespace veltra::forest {

// How a search chooses actions: PUCT everywhere, or Gumbel sampling with sequential halving at
// the roots and the improved policy below them (see GumbelRoots).
enum class Policy : std::uint8_t { kPuct, kGumbel };

// The normalised value q̂ an unvisited child scores under PUCT: 0, the bottom of the node's range
// (kMin), the node's own value V(n) normalised with the same bounds (kParent), or its mixed value
// (kMixed).
enum class UnvisitedValue : std::uint8_t { kMin, kParent, kMixed };

// Parameters of a forest's searches. The bindings validate them; see Forest for their use.
struct SearchConfig {
  std::int32_t num_actions = 1;        // A: actions of every node, numbered 0..A-1
  std::int32_t num_simulations = 100;  // simulations per root in one search
  double pb_c_init = 1.25;             // exploration rate at an unvisited node
  double pb_c_base = 19652.0;          // visit count over which the exploration rate grows by log
  double dirichlet_alpha = 0.3;        // concentration of the root noise
  double dirichlet_fraction = 0.25;    // weight of the noise in the root priors; 0 disables it
  std::uint64_t seed = 0;              // seed of the forest's generator
  Policy policy = Policy::kPuct;
  std::int32_t max_considered_actions = 16;  // m: root actions sequential halving starts with
  double gumbel_scale = 1.0;                 // scale of the roots' Gumbel noise; 0 disables it
  double value_scale = 0.1;                  // c_scale of sigma
  double maxvisit_init = 50.0;               // c_visit of sigma
  // Speed
  std::int32_t num_threads = 1;      // threads of a step's native work; 0: one per available core
  std::int32_t leaves_per_step = 1;  // K: descents per tree before each evaluation (PendingVisits)
  // Playing real games.
  UnvisitedValue unvisited_value = UnvisitedValue::kMin;
  bool solve = false;       // prove positions from exact terminal values (see ExactValues)
  double value_low = -1.0;  // value_bounds: the lowest value a position can have...
  double value_high = 1.0;  // ...and the highest, which proves a move best

  bool operator==(const SearchConfig& other) const noexcept {
    return num_actions == other.num_actions && num_simulations == other.num_simulations &&
           pb_c_init == other.pb_c_init && pb_c_base == other.pb_c_base &&
           dirichlet_alpha == other.dirichlet_alpha &&
           dirichlet_fraction == other.dirichlet_fraction && seed == other.seed &&
           policy == other.policy && max_considered_actions == other.max_considered_actions &&
           gumbel_scale == other.gumbel_scale && value_scale == other.value_scale &&
           maxvisit_init == other.maxvisit_init && num_threads == other.num_threads &&
           leaves_per_step == other.leaves_per_step && unvisited_value == other.unvisited_value &&
           solve == other.solve && value_low == other.value_low && value_high == other.value_high;
  }
  bool operator!=(const SearchConfig& other) const noexcept { return !(*this == other); }
};

}  // namespace veltra::forest
