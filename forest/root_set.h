#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace veltra::forest {

// The roots a search steps: every root (the default), or those a mask of one entry per root marks.
// The others, and their trees, are left exactly as they are.
class RootSet {
 public:
  RootSet() = default;
  explicit RootSet(std::vector<std::uint8_t> mask) : mask_(std::move(mask)) {}

  bool contains(std::size_t i) const noexcept { return mask_.empty() || mask_[i] != 0; }

 private:
  std::vector<std::uint8_t> mask_;  // empty: every root
};

}  // namespace veltra::forest
