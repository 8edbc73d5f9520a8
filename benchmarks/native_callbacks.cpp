// veltra_bench_native: benchmark helpers for the search engine's Python bridge.
//
// The free functions below have exactly the native signatures of the engine's callbacks. When
// one of them is passed to SearchEngine.search, pybind11's std::function conversion recognises
// a stateless C++ function and calls it through its function pointer, with no Python call, so a
// search with them measures the engine without the bridge.
//
// bridge_floor takes the three callbacks with the engine's own std::function types, so pybind11
// converts its arguments exactly as it converts those of SearchEngine.search, and then makes the
// callback calls of `count` simulations (legal actions, then rollout) without any tree work.
// Its time per simulation is the bridge's own cost, the floor under a search's.

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <vector>

#include "core/search_engine.h"

namespace py = pybind11;

namespace {

using Engine = veltra::core::SearchEngine<float>;

constexpr int kNumActions = 8;
constexpr float kRolloutValue = 0.0f;

std::vector<int> legal_actions(const float& /*state*/) {
  std::vector<int> actions(kNumActions);
  for (int i = 0; i < kNumActions; ++i) actions[i] = i;
  return actions;
}

std::vector<float> transition(const float& state, int action) {
  return {state, static_cast<float>(action)};
}

float rollout() { return kRolloutValue; }

// Totals over all calls, returned so that the calls cannot be optimised away and the caller can
// check that every one of them happened.
struct FloorTotals {
  std::int64_t actions = 0;
  double value = 0.0;
};

FloorTotals bridge_floor(const Engine::LegalActionsFn& legal_actions_fn,
                         const Engine::TransitionFn& /*transition_fn*/,
                         const Engine::RolloutFn& rollout_fn, std::int32_t count) {
  FloorTotals totals;
  const float state{};
  for (std::int32_t i = 0; i < count; ++i) {
    const std::vector<int> actions = legal_actions_fn(state);
    totals.actions += static_cast<std::int64_t>(actions.size());
    totals.value += rollout_fn();
  }
  return totals;
}

}  // namespace

PYBIND11_MODULE(veltra_bench_native, m) {
  m.doc() = "Native callbacks and a bridge-cost probe for benchmarking veltra_engine";
  m.attr("NUM_ACTIONS") = kNumActions;
  m.attr("ROLLOUT_VALUE") = kRolloutValue;

  m.def("legal_actions", &legal_actions, py::arg("state"),
        "Actions 0 to NUM_ACTIONS - 1, whatever the state.");
  m.def("transition", &transition, py::arg("state"), py::arg("action"),
        "Returns [state, action] as floats.");
  m.def("rollout", &rollout, "Returns ROLLOUT_VALUE.");
  m.def(
      "bridge_floor",
      // By value, as SearchEngine::search takes them, so the arguments go through the same steps.
      // NOLINTBEGIN(performance-unnecessary-value-param)
      [](Engine::LegalActionsFn legal_actions_fn, Engine::TransitionFn transition_fn,
         Engine::RolloutFn rollout_fn, std::int32_t count) {
        // NOLINTEND(performance-unnecessary-value-param)
        const FloorTotals totals = bridge_floor(legal_actions_fn, transition_fn, rollout_fn, count);
        return py::make_tuple(totals.actions, totals.value);
      },
      py::arg("legal_actions_fn"), py::arg("transition_fn"), py::arg("rollout_fn"),
      py::arg("count"),
      "Calls legal_actions_fn(0.0) then rollout_fn() `count` times, converting the callables as "
      "SearchEngine.search does. Returns (total number of actions, sum of rollout values).");
}
