#pragma once

// A search's native work without the interpreter lock, and its checks for signals.
//
// pybind11's gil_scoped_release takes the lock back in its destructor. When the interpreter shuts
// down while a daemon thread searches, taking the lock back ends that thread (glibc's
// pthread_exit, a forced unwind), and a forced unwind out of a destructor terminates the process.
// Here the lock is taken back in ordinary code, and on the forced unwind not at all: as for the
// callbacks of veltra_engine (python_callable.h), nothing on that way out touches the
// interpreter, whose lock the ending thread does not hold.
//
// Between steps, a search that runs no Python code (every leaf terminal, or a recurrent_fn
// written in C) would never see a signal: every kCheckInterval of native work it takes the lock
// and runs the pending signal handlers, whose exception ends the search after a completed step.

#include <cxxabi.h>
#include <pybind11/pybind11.h>

#include <chrono>

namespace veltra::bindings {

class ReleasedInterpreter {
 public:
  // Runs work() without the lock; work takes it for Python with with_lock.
  template <typename Work>
  void run(Work&& work) {
    thread_ = PyEval_SaveThread();
    next_check_ = Clock::now() + kCheckInterval;
    try {
      work();
    } catch (abi::__forced_unwind&) {
      throw;  // the thread is being ended at exit
    } catch (...) {
      PyEval_RestoreThread(thread_);
      throw;
    }
    PyEval_RestoreThread(thread_);
  }

  // Runs f() with the lock, from inside run().
  template <typename F>
  void with_lock(F&& f) {
    PyEval_RestoreThread(thread_);  // where the thread ends if the interpreter is exiting
    try {
      f();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      thread_ = PyEval_SaveThread();
      throw;
    }
    thread_ = PyEval_SaveThread();
  }

  // Runs the pending signal handlers if kCheckInterval has passed since the last check; a
  // handler's exception propagates.
  void check_signals() {
    const Clock::time_point now = Clock::now();
    if (now < next_check_) return;
    next_check_ = now + kCheckInterval;
    with_lock([] {
      if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
    });
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kCheckInterval{2};

  PyThreadState* thread_ = nullptr;
  Clock::time_point next_check_;
};

}  // namespace veltra::bindings
