// Replacement of the global allocation functions that counts every call. Kept in a source file
// of its own so that no allocation is inlined against a mismatched release.
#include "bench_alloc_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace KxBench {
namespace {
std::atomic<uint64_t> g_nHeapAllocations{0};

void* CountedAlloc(std::size_t n) {
    g_nHeapAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n != 0 ? n : 1);
}
void* CountedAlignedAlloc(std::size_t n, std::align_val_t a) {
    g_nHeapAllocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t nAlign = static_cast<std::size_t>(a);
    const std::size_t nSize = (n + nAlign - 1) / nAlign * nAlign;
    return std::aligned_alloc(nAlign, nSize != 0 ? nSize : nAlign);
}
}  // namespace

uint64_t HeapAllocations() { return g_nHeapAllocations.load(std::memory_order_relaxed); }
}  // namespace KxBench

void* operator new(std::size_t n) {
    if (void* p = KxBench::CountedAlloc(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = KxBench::CountedAlloc(n)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return KxBench::CountedAlloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return KxBench::CountedAlloc(n); }
void* operator new(std::size_t n, std::align_val_t a) {
    if (void* p = KxBench::CountedAlignedAlloc(n, a)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) {
    if (void* p = KxBench::CountedAlignedAlloc(n, a)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return KxBench::CountedAlignedAlloc(n, a);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return KxBench::CountedAlignedAlloc(n, a);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
