#pragma once

// Reading the numbers veltra_search is given: scalars and arrays from anything NumPy can read
// (arrays, lists, DLPack producers such as CPU tensors), with TypeError for what is not numbers of
// the right kind and ValueError for the wrong shape or non-finite values, each message naming the
// argument. Exceptions raised by the objects themselves while being read (KeyboardInterrupt from an
// __array__, say) propagate unchanged. Arrays are made with NumPy's PyArray_FromAny through
// pybind11's NumPy table (pybind11::detail::npy_api), because py::array_t's public constructors
// cannot ask for the dtype and the flags together in one conversion that copies at most once.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "bindings/common/type_name.h"

namespace veltra::bindings {

namespace py = pybind11;

using Shape = std::vector<py::ssize_t>;

// A shape as Python prints a tuple: (), (3,), (3, 7).
inline std::string shape_text(const py::ssize_t* dims, std::size_t ndim) {
  std::string text = "(";
  for (std::size_t d = 0; d < ndim; ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(dims[d]);
  }
  return text + (ndim == 1 ? ",)" : ")");
}
inline std::string shape_text(const Shape& shape) { return shape_text(shape.data(), shape.size()); }

// How Python prints a float64 that is not finite.
inline std::string non_finite_text(double value) {
  if (std::isnan(value)) return "nan";
  return value > 0 ? "inf" : "-inf";
}

// A DLPack producer other than a NumPy array (a tensor of another framework) as NumPy reads it
// with numpy.from_dlpack: a view of host memory, without a copy. One that NumPy cannot read so (in
// device memory, already consumed, of a dtype NumPy lacks) is a TypeError naming the argument;
// anything else is returned as it is.
inline py::object from_dlpack(py::handle value, const std::string& name, const char* kind) {
  if (py::isinstance<py::array>(value) || PyObject_HasAttrString(value.ptr(), "__dlpack__") == 0) {
    return py::reinterpret_borrow<py::object>(value);
  }
  try {
    return py::module_::import("numpy").attr("from_dlpack")(value);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw;
    throw py::type_error(name + " must be " + kind + ", readable in host memory through DLPack (" +
                         py::str(error.value()).cast<std::string>() +
                         "); copy it to host memory first, e.g. with .cpu()");
  }
}

// np.asarray(value, dtype) (dtype nullptr: NumPy's choice), DLPack producers read through
// from_dlpack; conversion failures become TypeError saying that `name` must be `kind` (of
// `shape`, if given).
inline py::array as_array(py::handle value, PyObject* dtype, int flags, const std::string& name,
                          const char* kind, const Shape* shape = nullptr) {
  auto& api = py::detail::npy_api::get();
  const py::object source = from_dlpack(value, name, kind);
  PyObject* array = api.PyArray_FromAny_(
      source.ptr(), dtype, 0, 0, py::detail::npy_api::NPY_ARRAY_ENSUREARRAY_ | flags, nullptr);
  if (array == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) == 0 &&
        PyErr_ExceptionMatches(PyExc_ValueError) == 0) {
      throw py::error_already_set();
    }
    const py::error_already_set error;
    const std::string of_shape = shape == nullptr ? "" : " of shape " + shape_text(*shape);
    throw py::type_error(name + " must be " + kind + of_shape + ": " +
                         py::str(error.value()).cast<std::string>());
  }
  return py::reinterpret_steal<py::array>(array);
}

inline bool has_shape(const py::array& array, const Shape& shape) {
  const auto ndim = static_cast<std::size_t>(array.ndim());
  bool same = ndim == shape.size();
  for (std::size_t d = 0; same && d < ndim; ++d) same = array.shape()[d] == shape[d];
  return same;
}

inline void check_shape(const py::array& array, const std::string& name, const Shape& shape) {
  const auto ndim = static_cast<std::size_t>(array.ndim());
  if (!has_shape(array, shape)) {
    throw py::value_error(name + " has shape " + shape_text(array.shape(), ndim) + "; expected " +
                          shape_text(shape));
  }
}

// A C-contiguous array of floats: float32 as it came (no widened copy of it is made), float64 for
// anything else; visit(f) calls f with a pointer to its entries of the one type or the other.
class FloatArray {
 public:
  explicit FloatArray(py::array array)
      : array_(std::move(array)), single_(array_.itemsize() == sizeof(float)) {}

  py::array& array() noexcept { return array_; }
  std::size_t size() const noexcept { return static_cast<std::size_t>(array_.size()); }

  template <typename F>
  decltype(auto) visit(F&& f) const {
    if (single_) return f(static_cast<const float*>(array_.data()));
    return f(static_cast<const double*>(array_.data()));
  }

  // Entries [first, first + count) as doubles: the array's own for float64, or widened into
  // `scratch` (count doubles) for float32, which converts exactly.
  const double* doubles(std::size_t first, std::size_t count, double* scratch) const {
    if (!single_) return static_cast<const double*>(array_.data()) + first;
    const float* source = static_cast<const float*>(array_.data()) + first;
    std::copy(source, source + count, scratch);
    return scratch;
  }

 private:
  py::array array_;
  bool single_;
};

// An array of floats of exactly `shape` from anything NumPy reads as numbers: a float32 array
// (or DLPack producer) as it is, copied only if it is not C-contiguous and aligned; anything else
// as float64, as np.asarray(value, dtype=np.float64) makes it.
inline FloatArray read_floats(py::handle value, const std::string& name, const Shape& shape) {
  constexpr int kLayout =
      py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_ | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
  const py::object source = from_dlpack(value, name, "an array of floats");
  py::dtype dtype = py::dtype::of<double>();
  int flags = kLayout | py::detail::npy_api::NPY_ARRAY_FORCECAST_;
  if (py::isinstance<py::array>(source) &&
      py::detail::npy_api::get().PyArray_EquivTypes_(
          py::reinterpret_borrow<py::array>(source).dtype().ptr(), py::dtype::of<float>().ptr())) {
    dtype = py::dtype::of<float>();
    flags = kLayout;
  }
  py::array array =
      as_array(source, dtype.release().ptr(), flags, name, "an array of floats", &shape);
  check_shape(array, name, shape);
  return FloatArray(std::move(array));
}

// "<name> row <r> is nan; <what> must be finite" for the first non-finite entry of a 1-D array.
inline void check_finite(const FloatArray& array, const std::string& name,
                         const std::string& what) {
  array.visit([&](const auto* data) {
    for (std::size_t row = 0; row < array.size(); ++row) {
      if (!std::isfinite(data[row])) {
        std::string message = name;
        message += " row " + std::to_string(row) + " is " + non_finite_text(data[row]);
        message += "; " + what + " must be finite";
        throw py::value_error(message);
      }
    }
  });
}

// An array of integers (any integer dtype, not bool or float) as C-contiguous int64.
inline py::array_t<std::int64_t> read_ints(py::handle value, const std::string& name,
                                           const Shape& shape) {
  py::array array = as_array(value, nullptr, 0, name, "an array of ints");
  const char kind = array.dtype().kind();
  if (kind != 'i' && kind != 'u') {
    throw py::type_error(name + " must be an array of ints, not " +
                         py::str(array.dtype()).cast<std::string>());
  }
  check_shape(array, name, shape);
  if (kind == 'u' && array.itemsize() == sizeof(std::uint64_t)) {
    // Above 2**63 - 1 a cast to int64 would wrap around.
    const auto wide = py::array_t<std::uint64_t, py::array::c_style>::ensure(array);
    const std::uint64_t* data = wide.data();
    for (py::ssize_t k = 0; k < wide.size(); ++k) {
      if (data[k] > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        throw py::value_error(name + " holds " + std::to_string(data[k]) +
                              ", outside the range of int64");
      }
    }
  }
  return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(array);
}

// A legal mask: bools, or integers that are all 0 or 1, as a C-contiguous bool array.
inline py::array_t<bool> read_mask(py::handle value, const std::string& name, const Shape& shape) {
  py::array array = as_array(value, nullptr, 0, name, "an array of bools");
  const char kind = array.dtype().kind();
  if (kind != 'b' && kind != 'i' && kind != 'u') {
    throw py::type_error(name + " must be an array of bools of shape " + shape_text(shape) +
                         ", not " + py::str(array.dtype()).cast<std::string>());
  }
  check_shape(array, name, shape);
  if (kind != 'b') {
    const auto ints = read_ints(array, name, shape);
    const std::int64_t* data = ints.data();
    for (py::ssize_t k = 0; k < ints.size(); ++k) {
      if (data[k] != 0 && data[k] != 1) {
        throw py::value_error(name + " holds " + std::to_string(data[k]) +
                              "; a legal mask holds bools or 0 and 1");
      }
    }
  }
  return py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(array);
}

// The ValueError for an int argument beyond int64.
class OutOfRange : public py::value_error {
 public:
  using py::value_error::value_error;
};

// An int argument: anything with __index__ except bool.
inline std::int64_t read_int(py::handle value, const std::string& name) {
  if (PyBool_Check(value.ptr()) == 0) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (index != nullptr) {
      int overflow = 0;
      const long long result = PyLong_AsLongLongAndOverflow(index, &overflow);
      Py_DECREF(index);
      if (overflow != 0) throw OutOfRange(name + " is out of range");
      return result;
    }
    if (PyErr_ExceptionMatches(PyExc_TypeError) == 0) throw py::error_already_set();
    PyErr_Clear();
  }
  throw py::type_error(name + " must be an int, not " + type_name(value));
}

// A float argument: a Python or NumPy number (anything with __float__ or __index__), not a str.
inline double read_real(py::handle value, const std::string& name) {
  if (PyUnicode_Check(value.ptr()) == 0 && PyBytes_Check(value.ptr()) == 0) {
    const double result = PyFloat_AsDouble(value.ptr());
    if (result != -1.0 || PyErr_Occurred() == nullptr) return result;
    if (PyErr_ExceptionMatches(PyExc_TypeError) == 0) throw py::error_already_set();
    PyErr_Clear();
  }
  throw py::type_error(name + " must be a float, not " + type_name(value));
}

}  // namespace veltra::bindings
