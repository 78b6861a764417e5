#include <sonark/tests/allocation_counter.h>

#include <atomic>
#include <cstdlib>
#include <new>

// Kept in a file of its own so that the compiler never sees an allocation and the matching
// release inlined into one function.
namespace {
thread_local bool t_counting = false;
std::atomic<long> g_allocations{0};
}  // namespace

namespace allocation_counter {

void SetCounting(bool on) { t_counting = on; }
long Count() { return g_allocations.load(); }
void Reset() { g_allocations = 0; }

}  // namespace allocation_counter

void* operator new(std::size_t size) {
  if (t_counting) ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }

void operator delete(void* p, std::size_t) noexcept { std::free(p); }
