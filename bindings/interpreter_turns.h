#pragma once

// What a search does between two simulations so that it behaves like a loop written in Python:
// pending signals run their handlers (a handler's exception, such as KeyboardInterrupt, ends the
// search there, every completed simulation applied), and other Python threads get the
// interpreter once per switch interval (sys.getswitchinterval()). Callbacks that run Python code
// already give the interpreter these chances; callbacks written in C (a builtin, a native game)
// never do, which would leave the search deaf to Ctrl-C and the process's other threads stopped.
//
// Reading the clock costs more than a cheap simulation, so it is read every few simulations.

#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>

namespace veltra::bindings {

class InterpreterTurns {
 public:
  using Clock = std::chrono::steady_clock;

  InterpreterTurns() : next_turn_(Clock::now() + switch_interval()) {}

  void operator()() {
    if (--simulations_to_check_ != 0) return;
    simulations_to_check_ = kSimulationsPerCheck;
    if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
    if (Clock::now() < next_turn_) return;
    // Any thread waiting for the interpreter takes it here. At shutdown a daemon thread ends
    // inside PyEval_RestoreThread (a forced unwind, which everything above lets pass).
    PyThreadState* state = PyEval_SaveThread();
    PyEval_RestoreThread(state);
    next_turn_ = Clock::now() + switch_interval();
  }

 private:
  static constexpr std::int32_t kSimulationsPerCheck = 16;

  static Clock::duration switch_interval() {
    return std::chrono::microseconds(_PyEval_GetSwitchInterval());
  }

  std::int32_t simulations_to_check_ = kSimulationsPerCheck;
  Clock::time_point next_turn_;
};

}  // namespace veltra::bindings
