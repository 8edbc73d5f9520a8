#pragma once

// What a search does between two simulations so that it behaves like a loop written in Python:
// pending signals run their handlers (a handler's exception, such as KeyboardInterrupt, ends the
// search there, every completed simulation applied), and a thread waiting for the interpreter
// gets it. Callbacks that run Python code already give the interpreter these chances; callbacks
// written in C (a builtin, a native game) never do, which would leave the search deaf to Ctrl-C
// and the process's other threads stopped.
//
// Every few simulations the search calls a Python function that does nothing. Entering it runs
// the interpreter's own check for pending work: signal handlers, and the hand-over of the
// interpreter to a thread that asked for it (a waiting thread asks once it has waited a switch
// interval). Releasing and re-taking the interpreter on a timer instead does not hand it over:
// each release wakes the waiting thread, which then restarts its wait before it ever asks.

#include <pybind11/gil_safe_call_once.h>
#include <pybind11/pybind11.h>

#include <cstdint>

namespace veltra::bindings {

class InterpreterTurns {
 public:
  void operator()() {
    if (--simulations_to_turn_ != 0) return;
    simulations_to_turn_ = kSimulationsPerTurn;
    PyObject* result = PyObject_CallNoArgs(no_op().ptr());
    if (result == nullptr) throw pybind11::error_already_set();
    Py_DECREF(result);
  }

 private:
  static constexpr std::int32_t kSimulationsPerTurn = 16;

  static const pybind11::object& no_op() {
    PYBIND11_CONSTINIT static pybind11::gil_safe_call_once_and_store<pybind11::object> storage;
    return storage
        .call_once_and_store_result(
            [] { return pybind11::module_::import("builtins").attr("eval")("lambda: None"); })
        .get_stored();
  }

  std::int32_t simulations_to_turn_ = kSimulationsPerTurn;
};

}  // namespace veltra::bindings
