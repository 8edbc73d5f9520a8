#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <vector>

namespace veltra {

// A result record for several roots; filled by callers, produced by no operation here.
struct BatchSearchResult {
  std::vector<std::int32_t> best_actions;  // recommended action per root
  at::Tensor root_values;                  // value estimate per root (undefined until set)
  std::int32_t num_simulations = 0;        // simulations run per root
};

}  // namespace veltra
