#include <sonark/tests/allocation_counter.h>

#include <atomic>
#include <cstdlib>
#include <new>

// Kept in a file of its own so that the compiler never sees an allocation and the matching
// release inlined into one function.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

namespace allocation_counter {
bool Available() { return false; }
void SetCounting(bool) {}
long Count() { return 0; }
void Reset() {}
}  // namespace allocation_counter

#else

namespace {
thread_local bool t_counting = false;
std::atomic<long> g_allocations{0};
}  // namespace

namespace allocation_counter {
bool Available() { return true; }
void SetCounting(bool on) { t_counting = on; }
long Count() { return g_allocations.load(); }
void Reset() { g_allocations = 0; }
}  // namespace allocation_counter

namespace {
void* Allocate(std::size_t size) noexcept {
  if (t_counting) ++g_allocations;
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

#endif
