#include "tests/http/zqAllocationCount.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool tCounting = false;
thread_local long tAllocations = 0;
}  // namespace

// Every plain form is replaced, so that no sanitizer pairs its own allocation with free().
void* operator new(std::size_t size) {
  if (tCounting) ++tAllocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (tCounting) ++tAllocations;
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace zq::test {

void CountAllocations(bool on) {
  if (on) tAllocations = 0;
  tCounting = on;
}

long AllocationsCounted() { return tAllocations; }

}  // namespace zq::test
