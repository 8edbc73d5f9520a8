#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bindings/search/arrays.h"
#include "forest/root_set.h"

namespace veltra::bindings {

// The `roots` argument of a search among num_roots roots: None (every root), a bool mask of one
// entry per root, or an array of distinct root indices (negative ones count from the end).
inline forest::RootSet read_roots(py::handle value, std::size_t num_roots) {
  if (value.is_none()) return forest::RootSet();
  const auto count = static_cast<py::ssize_t>(num_roots);
  py::array array = as_array(value, nullptr, 0, "roots", "an array of root indices or a bool mask");
  std::vector<std::uint8_t> mask(num_roots, 0);
  if (array.dtype().kind() == 'b') {
    const auto bools = read_mask(array, "roots", {count});
    for (std::size_t i = 0; i < num_roots; ++i) mask[i] = bools.data()[i] ? 1 : 0;
    return forest::RootSet(std::move(mask));
  }
  if (array.ndim() != 1) {
    throw py::value_error("roots must be one-dimensional, got shape " +
                          shape_text(array.shape(), static_cast<std::size_t>(array.ndim())));
  }
  if (array.shape(0) == 0) return forest::RootSet(std::move(mask));  // [] is float64 to NumPy
  const auto indices = read_ints(array, "roots", {array.shape(0)});
  for (py::ssize_t k = 0; k < indices.size(); ++k) {
    const std::int64_t i = indices.data()[k];
    if (i < -count || i >= count) {
      throw py::index_error("roots holds " + std::to_string(i) + ", out of range for " +
                            std::to_string(count) + " roots");
    }
    std::uint8_t& marked = mask[static_cast<std::size_t>(i < 0 ? i + count : i)];
    if (marked != 0) throw py::value_error("roots holds root " + std::to_string(i) + " twice");
    marked = 1;
  }
  return forest::RootSet(std::move(mask));
}

}  // namespace veltra::bindings
