#include "alloc_counter.h"

#include <malloc.h>

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BENCH_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BENCH_SANITIZED 1
#endif
#endif

namespace {
std::atomic<long> allocations{0};
} // namespace

#ifdef BENCH_SANITIZED

bool allocationsCounted() { return false; }
long heapBytesInUse() { return 0; }

#else

// glibc's own entry points; the definitions below take the public names for
// the whole process, Qt and the C++ runtime included.
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);

void *malloc(size_t size) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

void *realloc(void *block, size_t size) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}
}

bool allocationsCounted() { return true; }

// Every arena: the blocks of the heaps and the separately mapped large ones.
long heapBytesInUse() {
    const struct mallinfo2 info = mallinfo2();
    return long(info.uordblks + info.hblkhd);
}

#endif

long allocationCount() { return allocations.load(std::memory_order_relaxed); }
