#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::int64_t> g_live{0};

void* counted_allocate(std::size_t size) {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  g_live.fetch_add(1, std::memory_order_relaxed);
  return memory;
}

void counted_free(void* memory) noexcept {
  if (memory == nullptr) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(memory);
}

}  // namespace

namespace veltra::testing {

std::int64_t live_allocations() noexcept { return g_live.load(std::memory_order_relaxed); }

}  // namespace veltra::testing

void* operator new(std::size_t size) { return counted_allocate(size); }
void* operator new[](std::size_t size) { return counted_allocate(size); }
void operator delete(void* memory) noexcept { counted_free(memory); }
void operator delete[](void* memory) noexcept { counted_free(memory); }
void operator delete(void* memory, std::size_t) noexcept { counted_free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { counted_free(memory); }
