// Kept in a file of its own: the replacement operators must not be inlined
// into code that the compiler then checks for mismatched new and free.
#include "alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> g_allocated{0};
}

std::size_t allocated_bytes() {
  return g_allocated.load(std::memory_order_relaxed);
}

void* operator new(std::size_t n) {
  g_allocated.fetch_add(n, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
