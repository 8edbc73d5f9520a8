#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace veltra::policies {

// An index drawn uniformly from [0, count) with Lemire's nearly divisionless method on 32-bit
// engine outputs: floor(x * count / 2^32), rejecting the few x that would bias the result. The
// draw is written out because the standard distributions do not fix which index an engine
// output maps to. Always consumes at least one output.
template <typename Engine>
std::uint32_t uniform_index(Engine& engine, std::size_t count) {
  if (count == 0 || count > (std::uint64_t{1} << 32)) {
    throw std::length_error("uniform_index: count must be between 1 and 2^32");
  }
  const auto n = static_cast<std::uint64_t>(count);
  auto sample = [&engine, n] { return static_cast<std::uint64_t>(engine()) * n; };
  std::uint64_t product = sample();
  auto low = static_cast<std::uint32_t>(product);
  if (low < n) {
    const auto threshold = static_cast<std::uint32_t>((std::uint64_t{1} << 32) % n);
    while (low < threshold) {
      product = sample();
      low = static_cast<std::uint32_t>(product);
    }
  }
  return static_cast<std::uint32_t>(product >> 32);
}

}  // namespace veltra::policies
