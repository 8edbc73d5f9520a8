# veltra::torch: the LibTorch inside the `torch` package of the Python the modules are built for,
# linked by path. Its CMake package configuration is not used: it searches for CUDA and may pick up
# a system LibTorch, and a process must never hold two copies of c10 and torch_cpu.

execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
          "import os, torch; print(os.path.dirname(torch.__file__)); print(torch.__version__); print(int(torch._C._GLIBCXX_USE_CXX11_ABI))"
  OUTPUT_VARIABLE _veltra_torch_info
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE _veltra_torch_result)
if(NOT _veltra_torch_result EQUAL 0)
  message(FATAL_ERROR "veltra: ${Python_EXECUTABLE} cannot import torch. Install the project's "
                      "requirements first (scripts/setup.sh does, into .venv).")
endif()
string(REPLACE "\n" ";" _veltra_torch_info "${_veltra_torch_info}")
list(GET _veltra_torch_info 0 VELTRA_TORCH_DIR)
list(GET _veltra_torch_info 1 VELTRA_TORCH_VERSION)
list(GET _veltra_torch_info 2 _veltra_torch_cxx11_abi)
message(STATUS "veltra: torch ${VELTRA_TORCH_VERSION} from ${VELTRA_TORCH_DIR}")

add_library(veltra_torch INTERFACE)
add_library(veltra::torch ALIAS veltra_torch)
target_include_directories(veltra_torch SYSTEM INTERFACE "${VELTRA_TORCH_DIR}/include")
target_link_libraries(veltra_torch INTERFACE "${VELTRA_TORCH_DIR}/lib/libc10.so"
                                             "${VELTRA_TORCH_DIR}/lib/libtorch_cpu.so")
target_compile_definitions(veltra_torch INTERFACE _GLIBCXX_USE_CXX11_ABI=${_veltra_torch_cxx11_abi})
# PyTorch's headers need C++20; only the code that includes them is compiled as C++20.
target_compile_features(veltra_torch INTERFACE cxx_std_20)
# The linker checks torch_cpu's own dependencies (the CUDA runtime of the nvidia packages); at run
# time torch_cpu finds them through its own RPATH.
file(GLOB _veltra_nvidia_lib_dirs LIST_DIRECTORIES true "${VELTRA_TORCH_DIR}/../nvidia/*/lib")
foreach(_dir IN LISTS _veltra_nvidia_lib_dirs)
  target_link_options(veltra_torch INTERFACE "LINKER:-rpath-link,${_dir}")
endforeach()
