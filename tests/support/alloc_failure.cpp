#include "alloc_failure.h"

#include <atomic>
#include <cstddef>

namespace {
std::atomic<long> fail_at{-1};  // the allocation to refuse; -1 when off
std::atomic<long> seen{0};
std::atomic<long> live_blocks{0};
}  // namespace

namespace alloc_failure {
void fail_at(long n) {
    seen = 0;
    live_blocks = 0;
    ::fail_at = n;
}
bool disarm() {
    const long n = ::fail_at.exchange(-1);
    return n >= 0 && seen > n;
}
long live() { return live_blocks; }
}  // namespace alloc_failure

#if !defined(__SANITIZE_ADDRESS__)

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {
bool armed() { return fail_at.load(std::memory_order_relaxed) >= 0; }
bool refuse() { return armed() && seen.fetch_add(1) == fail_at.load(); }
void* counted(void* p) {
    if (p != nullptr && armed()) ++live_blocks;
    return p;
}
}  // namespace

extern "C" void* malloc(size_t n) { return refuse() ? nullptr : counted(__libc_malloc(n)); }
extern "C" void* calloc(size_t n, size_t s) { return refuse() ? nullptr : counted(__libc_calloc(n, s)); }
extern "C" void* realloc(void* p, size_t n) {
    if (refuse()) return nullptr;
    return p == nullptr ? counted(__libc_realloc(p, n)) : __libc_realloc(p, n);
}
extern "C" void free(void* p) {
    if (p != nullptr && armed()) --live_blocks;
    __libc_free(p);
}

#endif
