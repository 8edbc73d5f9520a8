#pragma once

// The numbers of a batch of positions as Python gives them (recurrent_fn's and root_fn's outputs,
// the arrays of Forest() and reset()), read and checked into validated evaluations.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "bindings/search/arrays.h"
#include "forest/evaluation.h"
#include "forest/formulas.h"
#include "forest/gumbel.h"

namespace veltra::bindings {

using forest::Evaluations;

// The names a batch's numbers have in error messages: "recurrent_fn output 'values'", or the
// argument names of Forest() and reset(). Made once, so that reading a batch builds no strings.
struct Source {
  Source(const std::string& prefix, const std::string& suffix)
      : rewards(prefix + "rewards" + suffix),
        discounts(prefix + "discounts" + suffix),
        values(prefix + "values" + suffix),
        prior_logits(prefix + "prior_logits" + suffix),
        legal(prefix + "legal" + suffix),
        next_states(prefix + "next_states" + suffix) {}

  std::string rewards;
  std::string discounts;
  std::string values;
  std::string prior_logits;
  std::string legal;
  std::string next_states;
};

inline const Source kRecurrentOutput{"recurrent_fn output '", "'"};
inline const Source kRootOutput{"root_fn output '", "'"};
inline const Source kArgument{"", ""};

// The numbers of a batch of `rows` positions, read and checked in full before anything uses them.
// Shapes are checked in the order rewards, discounts, values, prior_logits, legal; then the
// values are checked for finiteness in the same order and the logits row by row. With
// `with_logits` (the Gumbel policy), the shifted logits are kept beside the priors.
class BatchReader {
 public:
  BatchReader(std::size_t num_actions, bool with_logits)
      : num_actions_(num_actions), with_logits_(with_logits), widened_logits_(num_actions) {}

  // rewards and discounts may be null handles (roots have no incoming edge): zeros then.
  void read(const Source& source, std::size_t rows, py::handle rewards, py::handle discounts,
            py::handle values, py::handle prior_logits, py::handle legal,
            const Shape& row_shape_of_logits, Evaluations& out) {
    const std::size_t num_actions = num_actions_;
    const auto count = static_cast<py::ssize_t>(rows);
    const Shape column{count};
    std::optional<FloatArray> reward_array;
    std::optional<FloatArray> discount_array;
    if (rewards) reward_array = read_floats(rewards, source.rewards, column);
    if (discounts) discount_array = read_floats(discounts, source.discounts, column);
    const auto value_array = read_floats(values, source.values, column);
    const auto logits = read_floats(prior_logits, source.prior_logits, row_shape_of_logits);
    std::optional<py::array_t<bool>> mask;
    if (!legal.is_none()) mask = read_mask(legal, source.legal, row_shape_of_logits);
    if (reward_array) check_finite(*reward_array, source.rewards, "rewards");
    if (discount_array) check_finite(*discount_array, source.discounts, "discounts");
    check_finite(value_array, source.values, "values");

    out.resize(rows, num_actions, with_logits_);
    for (std::size_t k = 0; k < rows; ++k) {
      const double* row_logits =
          logits.doubles(k * num_actions, num_actions, widened_logits_.data());
      const forest::LogitCheck check =
          mask ? forest::encode_priors(row_logits, mask->data() + k * num_actions, num_actions,
                                       out.priors.data() + k * num_actions,
                                       out.softmax_scratch.data())
               : forest::encode_priors(row_logits, forest::EveryActionLegal{}, num_actions,
                                       out.priors.data() + k * num_actions,
                                       out.softmax_scratch.data());
      if (check.fault == forest::LogitFault::kNoFiniteLegal) {
        throw py::value_error(source.prior_logits + " row " + std::to_string(k) +
                              " has no finite logit among its legal actions");
      }
      if (check.fault != forest::LogitFault::kNone) {
        throw py::value_error(source.prior_logits + " row " + std::to_string(k) +
                              " holds nan or +inf; logits must be finite or -inf");
      }
      if (!with_logits_) continue;
      double* shifted = out.logits.data() + k * num_actions;
      if (mask) {
        forest::shift_logits(row_logits, mask->data() + k * num_actions, num_actions, shifted);
      } else {
        forest::shift_logits(row_logits, forest::EveryActionLegal{}, num_actions, shifted);
      }
    }
    copy_column(&value_array, out.values);
    copy_column(reward_array ? &*reward_array : nullptr, out.rewards);
    copy_column(discount_array ? &*discount_array : nullptr, out.discounts);
  }

 private:
  // A column's entries as doubles (zeros without a column).
  static void copy_column(const FloatArray* column, std::vector<double>& out) {
    if (column == nullptr) {
      std::fill(out.begin(), out.end(), 0.0);
      return;
    }
    column->visit([&](const auto* data) { std::copy(data, data + out.size(), out.begin()); });
  }

  std::size_t num_actions_;
  bool with_logits_;
  std::vector<double> widened_logits_;  // a float32 row of logits, widened
};

// The states of a list or tuple of exactly `count` objects, borrowed from it.
inline py::sequence read_states(py::handle states, const std::string& name, std::size_t count) {
  if (!PyList_Check(states.ptr()) && !PyTuple_Check(states.ptr())) {
    throw py::type_error(name + " must be a list, not " + type_name(states));
  }
  const auto length = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(states.ptr()));
  if (length != count) {
    throw py::value_error(name + " has length " + std::to_string(length) + "; expected " +
                          std::to_string(count));
  }
  return py::reinterpret_borrow<py::sequence>(states);
}

}  // namespace veltra::bindings
