#pragma once

// What keeps Python from reaching a native object that is not there or not of its class.
//
// pybind11 hands a bound member the native object behind a Python object without asking whether
// a constructor ever made one (`Cls.__new__(Cls)`, or a subclass calling methods before
// `super().__init__`), and Python lets `obj.__class__` be reassigned between any two pybind11
// classes, whose instances share one layout. Pickling with protocols 0 and 1 goes through
// copyreg, which constructs pybind11's own base class and aborts. The guards:
//   - the conversion of a guarded class (as `self`, as an argument, by reference, pointer or
//     shared holder) refuses an object whose holder was never constructed, with TypeError;
//   - assigning `__class__` is refused unless both classes wrap the same native type;
//   - `__reduce_ex__` refuses every pickling protocol (and copy, deepcopy) with the TypeError
//     Python gives for protocols 2 to 5.

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <type_traits>

#include "bindings/common/type_name.h"

namespace veltra::bindings {

// Guarded<T> says whether T is a guarded class; each module names its own.
template <typename T, typename = void>
struct Guarded : std::false_type {};

template <typename T, typename... Classes>
inline constexpr bool is_one_of = (std::is_same_v<T, Classes> || ...);

// Throws TypeError when `object` is an instance of the class of `type` whose native object was
// never constructed; leaves anything else to the ordinary conversion.
inline void refuse_unconstructed(pybind11::handle object, const pybind11::detail::type_info* type) {
  if (!object || type == nullptr || PyObject_TypeCheck(object.ptr(), type->type) == 0) return;
  auto* instance = reinterpret_cast<pybind11::detail::instance*>(object.ptr());
  const auto value_and_holder = instance->get_value_and_holder(type, /*throw_if_missing=*/false);
  if (value_and_holder && value_and_holder.holder_constructed()) return;
  throw pybind11::type_error(type_name(object) +
                             " object is not initialized: its __init__ has not run");
}

extern "C" inline int set_attribute_keeping_class(PyObject* self, PyObject* name, PyObject* value) {
  if (value != nullptr && PyUnicode_Check(name) &&
      PyUnicode_CompareWithASCIIString(name, "__class__") == 0 && PyType_Check(value)) {
    auto* target = reinterpret_cast<PyTypeObject*>(value);
    if (pybind11::detail::all_type_info(Py_TYPE(self)) != pybind11::detail::all_type_info(target)) {
      PyErr_Format(PyExc_TypeError,
                   "__class__ assignment: a '%s' object cannot become a '%s' object: they wrap "
                   "different native types",
                   Py_TYPE(self)->tp_name, target->tp_name);
      return -1;
    }
  }
  return PyObject_GenericSetAttr(self, name, value);
}

// Installs the class-level guards on a newly registered class (its subclasses inherit them) and
// returns it.
template <typename Class, typename... Options>
pybind11::class_<Class, Options...> guard_class(pybind11::class_<Class, Options...> cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  type->tp_setattro = set_attribute_keeping_class;
  PyType_Modified(type);
  cls.def("__reduce_ex__", [](pybind11::handle self, pybind11::handle /*protocol*/) {
    throw pybind11::type_error("cannot pickle '" + type_name(self) + "' object");
  });
  return cls;
}

}  // namespace veltra::bindings

namespace pybind11::detail {

// The conversion of a guarded class: by reference or pointer (`self` included).
template <typename T>
class ConstructedCaster : public type_caster_base<T> {
 public:
  bool load(handle source, bool convert) {
    veltra::bindings::refuse_unconstructed(source, this->typeinfo);
    return type_caster_base<T>::load(source, convert);
  }
};

template <typename T>
class type_caster<T, std::enable_if_t<veltra::bindings::Guarded<T>::value>>
    : public ConstructedCaster<T> {};

// The conversion of a guarded class's shared holder, for the classes taken as arguments that way
// (module.cpp specialises type_caster<std::shared_ptr<T>> for them).
template <typename T>
class ConstructedHolderCaster : public copyable_holder_caster<T, std::shared_ptr<T>> {
 public:
  bool load(handle source, bool convert) {
    veltra::bindings::refuse_unconstructed(source, this->typeinfo);
    return copyable_holder_caster<T, std::shared_ptr<T>>::load(source, convert);
  }
};

}  // namespace pybind11::detail
