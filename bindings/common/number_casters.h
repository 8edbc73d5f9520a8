#pragma once

// The conversions of the module's numbers (32-bit float, signed and unsigned 32-bit integers) in
// both directions, for arguments, fields and callback results alike.
//
// They accept exactly what pybind11's own number conversions accept, with one difference: a
// conversion that Python code can run (`__float__`, `__index__`, `__int__`) may raise an
// exception that is not about the value at all. KeyboardInterrupt, SystemExit and MemoryError
// propagate unchanged instead of being taken as "this value does not convert". Include this
// header right after <pybind11/pybind11.h>, before anything converts these types. They are
// type_caster specialisations, which pybind11 documents as the way to write custom conversions
// and which live in its detail namespace.

#include <pybind11/pybind11.h>

#include <type_traits>

namespace veltra::bindings {

// True (with the exception still pending) when the pending Python exception must reach the
// caller whatever was being attempted: the user or the interpreter asked to stop, or memory ran
// out.
inline bool interrupt_pending() {
  return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0 ||
         PyErr_ExceptionMatches(PyExc_SystemExit) != 0 ||
         PyErr_ExceptionMatches(PyExc_MemoryError) != 0;
}

// Clears the pending exception of a failed conversion attempt, or throws it if it is an
// interrupt.
inline void clear_conversion_error() {
  if (interrupt_pending()) throw pybind11::error_already_set();
  PyErr_Clear();
}

template <typename Number>
class NumberCaster {
  static_assert(std::is_same_v<Number, float> || std::is_same_v<Number, int> ||
                std::is_same_v<Number, unsigned int>);
  static constexpr bool kFloating = std::is_floating_point_v<Number>;
  using Wide =
      std::conditional_t<kFloating, double,
                         std::conditional_t<std::is_signed_v<Number>, long, unsigned long>>;

 public:
  bool load(pybind11::handle source, bool convert) {
    PyObject* object = source.ptr();
    if (object == nullptr) return false;
    Wide wide{};
    if constexpr (kFloating) {
      if (!convert && !PyFloat_Check(object) && !PyLong_Check(object)) return false;
      wide = PyFloat_AsDouble(object);
    } else {
      // A float is never truncated to an integer, even where conversions are allowed.
      if (PyFloat_Check(object) || !(convert || PyLong_Check(object) || PyIndex_Check(object))) {
        return false;
      }
      if constexpr (std::is_signed_v<Number>) {
        wide = PyLong_AsLong(object);
      } else {
        wide = PyLong_AsUnsignedLong(object);
      }
    }
    const bool failed = PyErr_Occurred() != nullptr;
    if (failed || !fits(wide)) {
      if (failed) clear_conversion_error();
      if (failed && convert && PyNumber_Check(object) != 0) {
        const auto number = pybind11::reinterpret_steal<pybind11::object>(
            kFloating ? PyNumber_Float(object) : PyNumber_Long(object));
        if (!number) {
          clear_conversion_error();
          return false;
        }
        return load(number, false);
      }
      return false;
    }
    value = static_cast<Number>(wide);
    return true;
  }

  static pybind11::handle cast(Number source, pybind11::return_value_policy /*policy*/,
                               pybind11::handle /*parent*/) {
    if constexpr (kFloating) {
      return PyFloat_FromDouble(static_cast<double>(source));
    } else if constexpr (std::is_signed_v<Number>) {
      return PyLong_FromLong(static_cast<long>(source));
    } else {
      return PyLong_FromUnsignedLong(static_cast<unsigned long>(source));
    }
  }

  PYBIND11_TYPE_CASTER(Number, pybind11::detail::io_name<std::is_integral<Number>::value>(
                                   "typing.SupportsInt | typing.SupportsIndex", "int",
                                   "typing.SupportsFloat | typing.SupportsIndex", "float"));

 private:
  // Whether the value converted at full width is one of Number's (floats always are: they round).
  static bool fits(Wide wide) {
    if constexpr (kFloating) {
      return true;
    } else {
      return wide == static_cast<Wide>(static_cast<Number>(wide));
    }
  }
};

}  // namespace veltra::bindings

namespace pybind11::detail {

template <>
class type_caster<float> : public veltra::bindings::NumberCaster<float> {};
template <>
class type_caster<int> : public veltra::bindings::NumberCaster<int> {};
template <>
class type_caster<unsigned int> : public veltra::bindings::NumberCaster<unsigned int> {};

}  // namespace pybind11::detail
