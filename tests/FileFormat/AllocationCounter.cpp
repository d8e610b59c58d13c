// A counting allocator for the test program it is linked into: every malloc, calloc, realloc and
// aligned allocation (operator new and the C libraries included) goes through glibc's own
// functions and is counted, so a test can read the most bytes held at once. Left out of
// sanitizer builds, whose runtime owns malloc.
#include "AllocationCounter.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define TILVO_NO_COUNTING 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TILVO_NO_COUNTING 1
#endif
#endif

namespace tilvo::testing {

namespace {
std::atomic<int64_t> g_held{0};
std::atomic<int64_t> g_peak{0};

void Took(void* p) {
    if (p == nullptr) return;
    const int64_t now =
        g_held.fetch_add(int64_t(malloc_usable_size(p))) + int64_t(malloc_usable_size(p));
    int64_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
}
void Gave(void* p) {
    if (p != nullptr) g_held.fetch_sub(int64_t(malloc_usable_size(p)));
}
}  // namespace

#ifdef TILVO_NO_COUNTING
bool AllocationsCounted() {
    return false;
}
#else
bool AllocationsCounted() {
    return true;
}
#endif

void ResetAllocationPeak() {
    g_peak.store(g_held.load());
}
int64_t AllocationPeakAbove(int64_t base) {
    return g_peak.load() - base;
}
int64_t BytesHeld() {
    return g_held.load();
}

}  // namespace tilvo::testing

#ifndef TILVO_NO_COUNTING
extern "C" {
void* __libc_malloc(size_t);
void __libc_free(void*);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);

void* malloc(size_t n) {
    void* p = __libc_malloc(n);
    tilvo::testing::Took(p);
    return p;
}
void free(void* p) {
    tilvo::testing::Gave(p);
    __libc_free(p);
}
void* calloc(size_t n, size_t size) {
    void* p = __libc_calloc(n, size);
    tilvo::testing::Took(p);
    return p;
}
void* realloc(void* old, size_t n) {
    const size_t before = old ? malloc_usable_size(old) : 0;
    void* p = __libc_realloc(old, n);
    if (p != nullptr || n == 0) {
        tilvo::testing::g_held.fetch_sub(int64_t(before));
        tilvo::testing::Took(p);
    }
    return p;
}
void* memalign(size_t alignment, size_t n) {
    void* p = __libc_memalign(alignment, n);
    tilvo::testing::Took(p);
    return p;
}
void* aligned_alloc(size_t alignment, size_t n) {
    return memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
    void* p = memalign(alignment, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
void* valloc(size_t n) {
    return memalign(4096, n);
}
}
#endif
