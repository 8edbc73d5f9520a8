#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace veltra::bindings {

// The name of an object's type as error messages print it ("int", "veltra_search.Forest").
inline std::string type_name(pybind11::handle object) { return Py_TYPE(object.ptr())->tp_name; }

}  // namespace veltra::bindings
