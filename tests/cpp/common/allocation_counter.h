#pragma once

#include <cstdint>

namespace veltra::testing {

// Number of blocks currently allocated through the global operator new. The test binary replaces
// the global allocation functions (allocation_counter.cc) so that tests can check that dropping
// the last reference to a structure gives all of its memory back at once, not only at exit.
std::int64_t live_allocations() noexcept;

}  // namespace veltra::testing
