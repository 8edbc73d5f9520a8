#pragma once

// The modules run in the main interpreter only: their native state (pybind11's shared type
// registry, LibTorch) is per process. A module's entry point calls this before anything else;
// pybind11's own setup would, in a sub-interpreter of Python 3.11, wait forever for the main
// interpreter's lock.

#include <Python.h>

namespace veltra::bindings {

// False, with ImportError set, in a sub-interpreter.
inline bool in_main_interpreter(const char* module) {
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
  PyErr_Format(PyExc_ImportError,
               "%s does not support sub-interpreters; import it in the main interpreter", module);
  return false;
}

}  // namespace veltra::bindings
