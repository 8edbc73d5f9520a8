#pragma once

// VELTRA_ASSERT(condition) checks an internal invariant of the search core. It is on in debug
// builds and wherever VELTRA_ENABLE_ASSERTIONS is defined (the sanitizer builds define it while
// keeping NDEBUG for the binding library), and otherwise compiles to nothing (the condition is not
// evaluated). A failure prints the place and the condition to stderr and aborts.

#if defined(VELTRA_ENABLE_ASSERTIONS) || !defined(NDEBUG)

// 1 where VELTRA_ASSERT checks, 0 where it compiles away: for checks too costly to leave in.
#define VELTRA_ASSERTIONS_ENABLED 1

#include <cstdio>
#include <cstdlib>

namespace veltra::detail {

[[noreturn]] inline void assertion_failed(const char* file, int line,
                                          const char* condition) noexcept {
  std::fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, condition);
  std::abort();
}

}  // namespace veltra::detail

#define VELTRA_ASSERT(condition)      \
  ((condition) ? static_cast<void>(0) \
               : ::veltra::detail::assertion_failed(__FILE__, __LINE__, #condition))

#else

#define VELTRA_ASSERTIONS_ENABLED 0
#define VELTRA_ASSERT(condition) static_cast<void>(sizeof(!(condition)))

#endif
