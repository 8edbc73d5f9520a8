#pragma once

// Reading the arguments of SearchConfig and of a search's options, each refusal naming the
// argument: the one place their rules are checked.

#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "bindings/common/type_name.h"
#include "bindings/search/arrays.h"
#include "bindings/search/type_hints.h"
#include "forest/search_config.h"

namespace veltra::bindings {

namespace py = pybind11;

using forest::Policy;
using forest::SearchConfig;
using forest::UnvisitedValue;

inline const char* policy_name(Policy policy) {
  return policy == Policy::kGumbel ? "gumbel" : "puct";
}

inline const char* unvisited_value_name(UnvisitedValue value) {
  switch (value) {
    case UnvisitedValue::kParent:
      return "parent";
    case UnvisitedValue::kMixed:
      return "mixed";
    case UnvisitedValue::kMin:
      break;
  }
  return "min";
}

inline UnvisitedValue read_unvisited_value(const hint::Str& value) {
  if (PyUnicode_Check(value.ptr()) == 0) {
    throw py::type_error("unvisited_value must be a str, not " + type_name(value));
  }
  const auto name = value.cast<std::string>();
  if (name == "min") return UnvisitedValue::kMin;
  if (name == "parent") return UnvisitedValue::kParent;
  if (name == "mixed") return UnvisitedValue::kMixed;
  throw py::value_error("unvisited_value must be 'min', 'parent' or 'mixed', got " +
                        py::repr(value).cast<std::string>());
}

inline Policy read_policy(const hint::Str& value) {
  if (PyUnicode_Check(value.ptr()) == 0) {
    throw py::type_error("policy must be a str, not " + type_name(value));
  }
  const auto name = value.cast<std::string>();
  if (name == "puct") return Policy::kPuct;
  if (name == "gumbel") return Policy::kGumbel;
  throw py::value_error("policy must be 'puct' or 'gumbel', got " +
                        py::repr(value).cast<std::string>());
}

inline std::int32_t read_count(py::handle value, const char* name, std::int64_t minimum) {
  const std::int64_t count = read_int(value, name);
  if (count < minimum) {
    throw py::value_error(std::string(name) +
                          (minimum == 1 ? " must be at least 1" : " must be >= 0") + ", got " +
                          std::to_string(count));
  }
  if (count > std::numeric_limits<std::int32_t>::max()) {
    throw py::value_error(std::string(name) + " must be below 2**31, got " + std::to_string(count));
  }
  return static_cast<std::int32_t>(count);
}

inline std::uint64_t read_seed(py::handle value) {
  if (PyBool_Check(value.ptr()) != 0) throw py::type_error("seed must be an int, not bool");
  py::int_ seed;
  try {
    seed = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!seed) throw py::error_already_set();
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_TypeError)) throw;
    throw py::type_error("seed must be an int, not " + type_name(value));
  }
  const unsigned long long result = PyLong_AsUnsignedLongLong(seed.ptr());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    throw py::value_error("seed must be in [0, 2**64), got " + py::str(seed).cast<std::string>());
  }
  return result;
}

inline bool read_flag(py::handle value, const char* name) {
  if (PyBool_Check(value.ptr()) == 0) {
    throw py::type_error(std::string(name) + " must be a bool, not " + type_name(value));
  }
  return value.ptr() == Py_True;
}

// value_bounds: a pair (low, high) of finite numbers with low < high.
inline void read_value_bounds(py::handle value, SearchConfig& config) {
  if (!py::isinstance<py::tuple>(value) && !py::isinstance<py::list>(value)) {
    throw py::type_error("value_bounds must be a tuple (low, high), not " + type_name(value));
  }
  const auto pair = py::reinterpret_borrow<py::sequence>(value);
  if (pair.size() != 2) {
    throw py::value_error("value_bounds must hold two numbers (low, high), got " +
                          std::to_string(pair.size()));
  }
  const double low = read_real(pair[0], "value_bounds[0]");
  const double high = read_real(pair[1], "value_bounds[1]");
  if (!(std::isfinite(low) && std::isfinite(high) && low < high)) {
    throw py::value_error("value_bounds must be finite with low < high, got " +
                          py::repr(py::make_tuple(low, high)).cast<std::string>());
  }
  config.value_low = low;
  config.value_high = high;
}

// The most native threads a forest may run its steps on.
inline constexpr std::int32_t kMaxThreads = 1024;
// The most descents per tree a step may make.
inline constexpr std::int32_t kMaxLeavesPerStep = 1024;

inline SearchConfig make_config(const hint::Int& num_actions, const hint::Int& num_simulations,
                                const hint::Float& pb_c_init, const hint::Float& pb_c_base,
                                const hint::Float& dirichlet_alpha,
                                const hint::Float& dirichlet_fraction, const hint::Int& seed,
                                const hint::Str& policy, const hint::Int& max_considered_actions,
                                const hint::Float& gumbel_scale, const hint::Float& value_scale,
                                const hint::Float& maxvisit_init,
                                // Speed
                                const hint::Int& num_threads, const hint::Int& leaves_per_step,
                                // Playing real games.
                                const hint::Str& unvisited_value, const hint::Bool& solve,
                                const hint::FloatPair& value_bounds) {
  SearchConfig config;
  config.num_actions = read_count(num_actions, "num_actions", 1);
  config.num_simulations = read_count(num_simulations, "num_simulations", 0);
  config.seed = read_seed(seed);
  config.pb_c_init = read_real(pb_c_init, "pb_c_init");
  config.pb_c_base = read_real(pb_c_base, "pb_c_base");
  config.dirichlet_alpha = read_real(dirichlet_alpha, "dirichlet_alpha");
  config.dirichlet_fraction = read_real(dirichlet_fraction, "dirichlet_fraction");
  config.policy = read_policy(policy);
  config.max_considered_actions = read_count(max_considered_actions, "max_considered_actions", 1);
  config.gumbel_scale = read_real(gumbel_scale, "gumbel_scale");
  config.value_scale = read_real(value_scale, "value_scale");
  config.maxvisit_init = read_real(maxvisit_init, "maxvisit_init");
  // Speed
  const std::int64_t threads = read_int(num_threads, "num_threads");
  if (threads < 0 || threads > kMaxThreads) {
    throw py::value_error("num_threads must be in [0, " + std::to_string(kMaxThreads) + "], got " +
                          std::to_string(threads));
  }
  config.num_threads = static_cast<std::int32_t>(threads);
  const std::int64_t leaves = read_int(leaves_per_step, "leaves_per_step");
  if (leaves < 1 || leaves > kMaxLeavesPerStep) {
    throw py::value_error("leaves_per_step must be in [1, " + std::to_string(kMaxLeavesPerStep) +
                          "], got " + std::to_string(leaves));
  }
  config.leaves_per_step = static_cast<std::int32_t>(leaves);
  config.unvisited_value = read_unvisited_value(unvisited_value);
  config.solve = read_flag(solve, "solve");
  read_value_bounds(value_bounds, config);
  const auto got = [](double x) { return ", got " + py::str(py::float_(x)).cast<std::string>(); };
  if (!std::isfinite(config.pb_c_init)) {
    throw py::value_error("pb_c_init must be finite" + got(config.pb_c_init));
  }
  if (!(std::isfinite(config.pb_c_base) && config.pb_c_base > 0.0)) {
    throw py::value_error("pb_c_base must be positive and finite" + got(config.pb_c_base));
  }
  if (!(std::isfinite(config.dirichlet_alpha) && config.dirichlet_alpha > 0.0)) {
    throw py::value_error("dirichlet_alpha must be positive and finite" +
                          got(config.dirichlet_alpha));
  }
  if (!(config.dirichlet_fraction >= 0.0 && config.dirichlet_fraction <= 1.0)) {
    throw py::value_error("dirichlet_fraction must be in [0, 1]" + got(config.dirichlet_fraction));
  }
  if (!(std::isfinite(config.gumbel_scale) && config.gumbel_scale >= 0.0)) {
    throw py::value_error("gumbel_scale must be finite and >= 0" + got(config.gumbel_scale));
  }
  if (!(std::isfinite(config.value_scale) && config.value_scale > 0.0)) {
    throw py::value_error("value_scale must be positive and finite" + got(config.value_scale));
  }
  if (!(std::isfinite(config.maxvisit_init) && config.maxvisit_init >= 0.0)) {
    throw py::value_error("maxvisit_init must be finite and >= 0" + got(config.maxvisit_init));
  }
  if (config.policy == Policy::kGumbel && config.unvisited_value != UnvisitedValue::kMin) {
    throw py::value_error(
        "unvisited_value must be 'min' under the Gumbel policy, which gives unvisited actions "
        "its completed value instead");
  }
  return config;
}

// A search's time limit in seconds: None (infinity) or a number >= 0.
inline double read_time_limit(py::handle value) {
  if (value.is_none()) return std::numeric_limits<double>::infinity();
  if (PyBool_Check(value.ptr()) != 0) throw py::type_error("time_limit must be a float, not bool");
  const double seconds = read_real(value, "time_limit");
  if (!(seconds >= 0.0)) {
    throw py::value_error("time_limit must be >= 0 seconds or None, got " +
                          py::str(py::float_(seconds)).cast<std::string>());
  }
  return seconds;
}

}  // namespace veltra::bindings
