// The global allocation functions of the test programs: they count (AllocationCount, so a test
// can show that a path allocates nothing) and take a limit a test can set on its own thread
// (ScopedAllocationLimit: the way to make code meet std::bad_alloc where a machine without memory
// would). Otherwise they are malloc and free.
#include <atomic>
#include <cstdlib>
#include <new>

#include "support/TestSupport.h"

namespace {
thread_local size_t g_allocationLimit = static_cast<size_t>(-1);
std::atomic<long> g_allocations{0};

void* Allocate(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (size > g_allocationLimit) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
// The sanitizers have nothrow forms of their own: these must pair with the delete below too.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace testsupport {

long AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }

ScopedAllocationLimit::ScopedAllocationLimit(size_t maxBytes) : m_previous(g_allocationLimit) {
    g_allocationLimit = maxBytes;
}

ScopedAllocationLimit::~ScopedAllocationLimit() { g_allocationLimit = m_previous; }

}  // namespace testsupport
