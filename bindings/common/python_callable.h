#pragma once

// Python callables as engine callbacks. A callback's result is converted with pybind11's caster
// (make_caster, cast_op from pybind11::detail) rather than py::cast, so that a failed conversion
// is reported as the callback's error without a second exception in flight.
//
// An argument of type PythonCallable<R(Args...)> accepts what the engine's std::function
// callbacks are made from: None (an empty callback, whose call throws std::bad_function_call),
// a stateless function exported by a pybind11 module with exactly this native signature (called
// directly, without Python), or any other Python callable, which the callback keeps a reference
// to and calls once per engine call.
//
// The search runs with the interpreter lock held from start to end, so a call neither takes nor
// checks the lock. A callback is copied and destroyed only by the thread that holds the lock,
// with one exception: when the interpreter shuts down while a search runs on a daemon thread,
// that thread is ended (glibc's pthread_exit, a forced unwind) as it waits to take the lock back
// inside a Python call. Nothing on that way out may touch a reference count or catch the unwind
// for good, so the callback and the call in flight leave their references alone then.

#include <pybind11/pybind11.h>

#include <array>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace veltra::bindings {

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Whether this thread may change reference counts: it holds the interpreter lock and the
// interpreter is not shutting down.
inline bool may_release_references() {
  return PyGILState_Check() != 0 && !interpreter_finalizing();
}

// A reference owned by the call in flight: released on every way out of the call except the
// forced unwind at shutdown, the only way out on which the interpreter is finalizing.
class CallReference {
 public:
  explicit CallReference(PyObject* object) noexcept : object_(object) {}
  CallReference(const CallReference&) = delete;
  CallReference& operator=(const CallReference&) = delete;
  ~CallReference() {
    if (!interpreter_finalizing()) Py_DECREF(object_);
  }
  PyObject* get() const noexcept { return object_; }

 private:
  PyObject* object_;
};

// The error for a callback result that does not convert, worded as pybind11 words its casts.
inline pybind11::cast_error result_does_not_convert(pybind11::handle result) {
  return pybind11::cast_error("Unable to cast Python instance of type " +
                              pybind11::str(pybind11::type::handle_of(result)).cast<std::string>() +
                              " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or "
                              "compile in debug mode for details)");
}

template <typename T>
struct is_vector : std::false_type {};
template <typename T>
struct is_vector<std::vector<T>> : std::true_type {};

template <typename Value>
Value convert_result(pybind11::handle result) {
  if constexpr (is_vector<Value>::value) {
    // Something that claims to be a sequence but has no length (a 0-d NumPy array) does not
    // convert, like any other non-sequence.
    if (PySequence_Check(result.ptr()) != 0 && !PyList_Check(result.ptr()) &&
        !PyTuple_Check(result.ptr()) && PyObject_Length(result.ptr()) < 0) {
      if (PyErr_ExceptionMatches(PyExc_TypeError) == 0) throw pybind11::error_already_set();
      PyErr_Clear();
      throw result_does_not_convert(result);
    }
  }
  pybind11::detail::make_caster<Value> caster;
  if (!caster.load(result, true)) throw result_does_not_convert(result);
  return pybind11::detail::cast_op<Value&&>(std::move(caster));
}

template <typename Signature>
class PythonCall;

// A Python callable with its reference, callable as a native function of this signature.
template <typename Return, typename... Args>
class PythonCall<Return(Args...)> {
 public:
  explicit PythonCall(pybind11::handle callable) : callable_(callable.inc_ref().ptr()) {}
  PythonCall(const PythonCall& other) : callable_(other.callable_) { Py_INCREF(callable_); }
  PythonCall(PythonCall&& other) noexcept : callable_(std::exchange(other.callable_, nullptr)) {}
  PythonCall& operator=(const PythonCall&) = delete;
  PythonCall& operator=(PythonCall&&) = delete;
  ~PythonCall() {
    if (callable_ != nullptr && may_release_references()) Py_DECREF(callable_);
  }

  Return operator()(Args... args) const {
    // Slot 0 is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    std::array<PyObject*, 1 + sizeof...(Args)> argv{nullptr, to_python(args)...};
    for (std::size_t i = 1; i < argv.size(); ++i) {
      if (argv[i] == nullptr) {
        release(argv);
        throw pybind11::error_already_set();
      }
    }
    PyObject* result = PyObject_Vectorcall(
        callable_, argv.data() + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    release(argv);
    if (result == nullptr) throw pybind11::error_already_set();
    // Converting may run Python code (__index__, __float__, a generator), so it may be where
    // the thread is ended.
    const CallReference owned(result);
    return convert_result<Return>(owned.get());
  }

 private:
  static PyObject* to_python(float value) { return PyFloat_FromDouble(static_cast<double>(value)); }
  static PyObject* to_python(int value) { return PyLong_FromLong(value); }

  template <std::size_t N>
  static void release(const std::array<PyObject*, N>& argv) {
    for (std::size_t i = 1; i < N; ++i) Py_XDECREF(argv[i]);
  }

  PyObject* callable_;
};

// A search callback argument: the std::function the engine takes, made as described above.
template <typename Signature>
struct PythonCallable : std::function<Signature> {
  using std::function<Signature>::function;
};

}  // namespace veltra::bindings

namespace pybind11::detail {

template <typename Return, typename... Args>
struct type_caster<veltra::bindings::PythonCallable<Return(Args...)>> {
  using FunctionPointer = Return (*)(Args...);

  bool load(handle source, bool convert) {
    // None gives an empty callback, as pybind11's std::function conversion does where argument
    // conversion is allowed.
    if (source.is_none()) return convert;
    if (PyCallable_Check(source.ptr()) == 0) return false;
    if (const FunctionPointer native = stateless_function(source)) {
      value = native;
    } else {
      value = veltra::bindings::PythonCall<Return(Args...)>(source);
    }
    return true;
  }

  PYBIND11_TYPE_CASTER(veltra::bindings::PythonCallable<Return(Args...)>,
                       const_name("collections.abc.Callable[[") +
                           concat(inv_descr(make_caster<Args>::name)...) + const_name("], ") +
                           make_caster<Return>::name + const_name("]"));

 private:
  // A function of a pybind11 module with exactly this native signature and no state (a plain
  // function or a lambda without captures), found as pybind11's std::function conversion finds
  // it; null for anything else.
  static FunctionPointer stateless_function(handle source) {
    const handle function = reinterpret_borrow<pybind11::function>(source).cpp_function();
    if (!function) return nullptr;
    PyObject* self = PyCFunction_GET_SELF(function.ptr());
    if (self == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    for (function_record* record = function_record_ptr_from_PyObject(self); record != nullptr;
         record = record->next) {
      if (record->is_stateless &&
          same_type(typeid(FunctionPointer),
                    *reinterpret_cast<const std::type_info*>(record->data[1]))) {
        return *reinterpret_cast<FunctionPointer*>(record->data);
      }
    }
    return nullptr;
  }
};

}  // namespace pybind11::detail
