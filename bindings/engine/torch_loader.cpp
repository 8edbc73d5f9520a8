// The entry point of the veltra_engine extension module.
//
// The bindings link PyTorch's own LibTorch (c10 and torch_cpu from the installed `torch` package),
// which has no stable ABI across minor versions. They are therefore built as a separate library
// that this entry point loads only once it has found a matching torch: the libraries come from the
// `torch` package the interpreter would import (whether or not it is imported yet, so the process
// always has one LibTorch), and a missing or mismatched torch is an ImportError that says which
// torch is needed, never an unresolved symbol or a crash.

#include <dlfcn.h>
#include <pybind11/detail/common.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "bindings/common/main_interpreter.h"

extern "C" PyMODINIT_FUNC PyInit_veltra_engine();

namespace {

constexpr const char* kBuiltTorchVersion = VELTRA_TORCH_VERSION;
constexpr const char* kBindingsPath = "veltra_engine.libs/" VELTRA_BINDINGS_FILE;

// "2.15.0+cu132" -> "2.15": builds of one minor version share an ABI.
std::string minor_version(const std::string& version) {
  const auto first_dot = version.find('.');
  if (first_dot == std::string::npos) return version;
  const auto second_dot = version.find_first_not_of("0123456789", first_dot + 1);
  return version.substr(0, second_dot);
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// The folder of the `torch` package the interpreter would import, found without importing it;
// empty when there is none.
std::string find_torch_directory() {
  PyObject* util = PyImport_ImportModule("importlib.util");
  if (util == nullptr) return {};
  PyObject* found = PyObject_CallMethod(util, "find_spec", "s", "torch");
  Py_DECREF(util);
  std::string directory;
  if (found != nullptr && found != Py_None) {
    PyObject* origin = PyObject_GetAttrString(found, "origin");
    if (origin != nullptr && PyUnicode_Check(origin)) {
      const char* text = PyUnicode_AsUTF8(origin);
      if (text != nullptr) directory = directory_of(text);
    }
    Py_XDECREF(origin);
  }
  Py_XDECREF(found);
  PyErr_Clear();
  return directory;
}

// The `__version__` that torch/version.py declares; empty if it cannot be read.
std::string read_torch_version(const std::string& torch_directory) {
  std::ifstream file(torch_directory + "/version.py");
  std::string line;
  const std::string key = "__version__ = ";
  while (std::getline(file, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() >= 2 && (value.front() == '\'' || value.front() == '"')) {
      return value.substr(1, value.size() - 2);
    }
  }
  return {};
}

PyObject* torch_import_error(const std::string& found, const std::string& detail) {
  std::ostringstream message;
  message << "veltra_engine needs torch " << minor_version(kBuiltTorchVersion)
          << ".x (it was built against torch " << kBuiltTorchVersion << "), but " << found
          << ". Install it with: pip install 'torch==" << minor_version(kBuiltTorchVersion)
          << ".*', or rebuild veltra_engine against the installed torch.";
  if (!detail.empty()) message << " (" << detail << ")";
  PyErr_SetString(PyExc_ImportError, message.str().c_str());
  return nullptr;
}

// The folder this file really lives in, through any symbolic link it was loaded by.
std::string own_directory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&PyInit_veltra_engine), &info) == 0 ||
      info.dli_fname == nullptr) {
    return ".";
  }
  char resolved[PATH_MAX];
  return directory_of(realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname);
}

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_veltra_engine() {
  PYBIND11_CHECK_PYTHON_VERSION
  if (!veltra::bindings::in_main_interpreter("veltra_engine")) return nullptr;

  const std::string torch_directory = find_torch_directory();
  if (torch_directory.empty()) return torch_import_error("torch is not installed", {});
  const std::string torch_version = read_torch_version(torch_directory);
  if (minor_version(torch_version) != minor_version(kBuiltTorchVersion)) {
    return torch_import_error(
        "torch " + (torch_version.empty() ? std::string("of unknown version") : torch_version) +
            " is installed at " + torch_directory,
        {});
  }

  // Loading torch_cpu by path makes the bindings' own dependencies on c10 and torch_cpu resolve
  // to this copy, as torch's extension modules do when torch is imported before or after.
  const std::string torch_cpu = torch_directory + "/lib/libtorch_cpu.so";
  if (dlopen(torch_cpu.c_str(), RTLD_NOW | RTLD_LOCAL) == nullptr) {
    return torch_import_error("its libraries could not be loaded from " + torch_directory,
                              dlerror());
  }
  const std::string bindings = own_directory() + "/" + kBindingsPath;
  void* library = dlopen(bindings.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    return torch_import_error("torch " + torch_version + " at " + torch_directory +
                                  " does not provide what the bindings need",
                              dlerror());
  }
  using Init = PyObject* (*)();
  auto* init = reinterpret_cast<Init>(dlsym(library, "PyInit_veltra_engine"));
  if (init == nullptr) {
    PyErr_Format(PyExc_ImportError, "veltra_engine: %s has no module entry point",
                 bindings.c_str());
    return nullptr;
  }
  return init();
}
