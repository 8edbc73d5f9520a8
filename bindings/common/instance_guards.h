#pragma once

// What keeps Python from reaching a native object that is not there or not of its class.
//
// pybind11 hands a bound member the native object behind a Python object without asking whether
// a constructor ever made one (`Cls.__new__(Cls)`, or a subclass calling methods before
// `super().__init__`), and Python lets `obj.__class__` be reassigned between any two pybind11
// classes, whose instances share one layout. Pickling with protocols 0 and 1 goes through
// copyreg, which constructs pybind11's own base class and aborts. pybind11 has no public API for
// whether an instance's holder was constructed or which native types a class wraps, so these
// guards read its instance record and type registry (pybind11::detail), the same ones its own
// conversions read. The guards:
//   - the conversion of a guarded class (as `self`, as an argument, by reference, pointer or
//     shared holder) refuses an object whose holder was never constructed, with TypeError;
//   - assigning `__class__` is refused unless both classes wrap the same native type;
//   - `__reduce_ex__` refuses every pickling protocol (and copy, deepcopy) with the TypeError
//     Python gives for protocols 2 to 5;
//   - pybind11's common base class, which wraps no native type, refuses to make instances (of
//     itself or of a Python class derived from it alone) with TypeError: its own constructor
//     throws a C++ exception through Python's C code and aborts. `obj.__reduce__()` and copyreg's
//     protocol 0 construct that base, so they raise TypeError too;
//   - refuse_second_init makes a second `__init__` on an initialised object raise TypeError,
//     where pybind11 would silently ignore it.

#include <pybind11/pybind11.h>

#include <deque>
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

// pybind11's constructor of the common base class. The first module to load replaces it by
// new_with_native_type, which calls it for the types that wrap a native one, and shares it
// (pybind11's shared data) with the other module, whose classes must use the same constructor:
// Python refuses `Cls.__new__(Cls)` where a class and its base disagree on it.
constexpr const char* kBaseTypeNew = "veltra_base_type_new";

inline newfunc& base_type_new() {
  static newfunc original = nullptr;
  return original;
}

extern "C" inline PyObject* new_with_native_type(PyTypeObject* type, PyObject* args,
                                                 PyObject* kwargs) {
  if (pybind11::detail::all_type_info(type).empty()) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances: it wraps no native type",
                 type->tp_name);
    return nullptr;
  }
  return base_type_new()(type, args, kwargs);
}

// Installs the base's constructor once per process and gives it to `type`, registered before.
inline void guard_base_type(PyTypeObject* type) {
  auto* base = reinterpret_cast<PyTypeObject*>(pybind11::detail::get_internals().instance_base);
  auto* original = static_cast<newfunc*>(pybind11::get_shared_data(kBaseTypeNew));
  if (original == nullptr) {
    base_type_new() = base->tp_new;
    original = &base_type_new();
    pybind11::set_shared_data(kBaseTypeNew, original);
    base->tp_new = &new_with_native_type;
  }
  if (type->tp_new == *original) type->tp_new = base->tp_new;
}

// `__init__` of a class wrapped by refuse_second_init: closure is (class, original __init__).
extern "C" inline PyObject* init_once(PyObject* closure, PyObject* args, PyObject* kwargs) {
  auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(closure, 0));
  PyObject* self = PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
  if (self != nullptr && PyObject_TypeCheck(self, type) != 0) {
    auto* instance = reinterpret_cast<pybind11::detail::instance*>(self);
    const auto value_and_holder = instance->get_value_and_holder(
        pybind11::detail::get_type_info(type), /*throw_if_missing=*/false);
    if (value_and_holder && value_and_holder.holder_constructed()) {
      PyErr_Format(PyExc_TypeError,
                   "%s object is already initialized: its __init__ cannot run again",
                   Py_TYPE(self)->tp_name);
      return nullptr;
    }
  }
  return PyObject_Call(PyTuple_GET_ITEM(closure, 1), args, kwargs);
}

// Replaces the `__init__` of a registered class by one that refuses an initialised object and
// otherwise calls the original, keeping its name and docstring.
inline void refuse_second_init(pybind11::handle cls) {
  // Function definitions must outlive the functions: they live as long as the process.
  static std::deque<std::string> docs;
  static std::deque<PyMethodDef> definitions;
  const pybind11::object original = cls.attr("__dict__")["__init__"];
  docs.push_back(pybind11::str(original.attr("__doc__")).cast<std::string>());
  definitions.push_back({"__init__",
                         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&init_once)),
                         METH_VARARGS | METH_KEYWORDS, docs.back().c_str()});
  const auto closure = pybind11::make_tuple(cls, original.attr("__func__"));
  const auto function = pybind11::reinterpret_steal<pybind11::object>(
      PyCFunction_NewEx(&definitions.back(), closure.ptr(), nullptr));
  if (!function) throw pybind11::error_already_set();
  const auto method =
      pybind11::reinterpret_steal<pybind11::object>(PyInstanceMethod_New(function.ptr()));
  if (!method) throw pybind11::error_already_set();
  pybind11::setattr(cls, "__init__", method);
}

// Installs the class-level guards on a newly registered class (its subclasses inherit them) and
// returns it.
template <typename Class, typename... Options>
pybind11::class_<Class, Options...> guard_class(pybind11::class_<Class, Options...> cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  guard_base_type(type);
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
