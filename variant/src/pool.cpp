// Slabs, per-thread caches and the record check. The layout and policies are
// told in pool.h; the reasons for each choice stand beside it here.
#include "pool.h"
#include "qelt_internal.h"

#include <pthread.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#define QELT_POOL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QELT_POOL_SANITIZED 1
#endif
#endif
#ifndef QELT_POOL_SANITIZED
#define QELT_POOL_SANITIZED 0
#endif

#if !QELT_POOL_SANITIZED && defined(__has_include)
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define QELT_POOL_VALGRIND_AWARE 1
#endif
#endif

namespace {

// ---------------------------------------------------------------------------
// Geometry
// ---------------------------------------------------------------------------

constexpr unsigned kSlabShift = 16;
constexpr uintptr_t kSlabSize = uintptr_t{1} << kSlabShift;
constexpr uintptr_t kSlabMask = kSlabSize - 1;
// The slab's own record sits in front of its blocks.
constexpr uintptr_t kHeaderSize = 64;
// Fresh slabs are carved from reservations of this size.
constexpr uintptr_t kRegionSize = uintptr_t{4} << 20;
// Arrays from this size on are mapped one by one, so that freeing one gives
// its memory back at once (the C library keeps large freed blocks).
constexpr size_t kMappedFrom = size_t{64} << 10;

using qelt_pool::class_of;
using qelt_pool::kClassCount;
using qelt_pool::kClassSizes;
using qelt_pool::kLargestSlabBlock;
using qelt_pool::kRecordClass;

constexpr uint32_t blocks_per_slab(int cls) {
    return static_cast<uint32_t>((kSlabSize - kHeaderSize) / kClassSizes[cls]);
}

// A cached or free block keeps its list link at offset 8, clear of a
// record's type byte at offset 0: that byte is 0 in every block that is not a
// live record.
using qelt_pool::link_of;

void mark_dead(void* record) { __atomic_store_n(static_cast<uint8_t*>(record), uint8_t{0}, __ATOMIC_RELAXED); }

// ---------------------------------------------------------------------------
// Slab directory: one byte per 64 KiB of address space, 1 + the class of
// the slab there or 0, in two levels over the 48-bit address space. A slab
// keeps its class for the life of the process, so memory that has once held
// records only ever holds records, free ones, or the zero pages of a slab
// whose memory went back to the system.
// ---------------------------------------------------------------------------

constexpr unsigned kAddressBits = 48;
constexpr unsigned kLeafBits = 32 - kSlabShift;
constexpr unsigned kRootBits = kAddressBits - 32;
std::atomic<uint8_t*> g_directory[size_t{1} << kRootBits];

uint8_t directory_tag(uintptr_t address) {
    if ((address >> kAddressBits) != 0) return 0;
    const uint8_t* leaf = g_directory[address >> 32].load(std::memory_order_acquire);
    if (leaf == nullptr) return 0;
    return __atomic_load_n(&leaf[(address >> kSlabShift) & ((uintptr_t{1} << kLeafBits) - 1)],
                           __ATOMIC_RELAXED);
}

// Under g_region_lock.
bool directory_set(uintptr_t slab, int cls) {
    if ((slab >> kAddressBits) != 0) return false;
    std::atomic<uint8_t*>& root = g_directory[slab >> 32];
    uint8_t* leaf = root.load(std::memory_order_relaxed);
    if (leaf == nullptr) {
        void* fresh = mmap(nullptr, size_t{1} << kLeafBits, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                           -1, 0);
        if (fresh == MAP_FAILED) return false;
        leaf = static_cast<uint8_t*>(fresh);
        root.store(leaf, std::memory_order_release);
    }
    __atomic_store_n(&leaf[(slab >> kSlabShift) & ((uintptr_t{1} << kLeafBits) - 1)],
                     static_cast<uint8_t>(cls + 1), __ATOMIC_RELEASE);
    return true;
}

// ---------------------------------------------------------------------------
// Slabs
// ---------------------------------------------------------------------------

struct Slab {
    Slab* prev;  // in its class's list of slabs with free blocks
    Slab* next;
    void* free;       // blocks that came back
    uint32_t used;    // blocks out: with their users or in a thread cache
    uint32_t carved;  // blocks handed out at least once; the others are untouched
    int32_t cls;
    bool listed;
};
static_assert(sizeof(Slab) <= kHeaderSize);

char* blocks_of(Slab* s) { return reinterpret_cast<char*>(s) + kHeaderSize; }
Slab* slab_of(const void* block) {
    return reinterpret_cast<Slab*>(reinterpret_cast<uintptr_t>(block) & ~kSlabMask);
}

std::mutex g_region_lock;
uintptr_t g_region_next = 0;
uintptr_t g_region_end = 0;
std::atomic<size_t> g_slab_count{0};

// A never-used slab of class `cls`, its memory untouched (zero pages).
Slab* carve_slab(int cls) {
    std::lock_guard<std::mutex> hold(g_region_lock);
    if (g_region_next == g_region_end) {
        // Reserved with room to align; the edges are given back at once.
        const size_t span = kRegionSize + kSlabSize;
        void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1,
                         0);
        if (raw == MAP_FAILED) return nullptr;
        const auto start = reinterpret_cast<uintptr_t>(raw);
        const uintptr_t aligned = (start + kSlabMask) & ~kSlabMask;
        if (aligned > start) munmap(raw, aligned - start);
        const uintptr_t tail = start + span - (aligned + kRegionSize);
        if (tail > 0) munmap(reinterpret_cast<void*>(aligned + kRegionSize), tail);
        g_region_next = aligned;
        g_region_end = aligned + kRegionSize;
    }
    const uintptr_t address = g_region_next;
    if (!directory_set(address, cls)) return nullptr;
    g_region_next += kSlabSize;
    g_slab_count.fetch_add(1, std::memory_order_relaxed);
    auto* s = reinterpret_cast<Slab*>(address);
    s->cls = cls;
    return s;
}

// One pool per class. The lock guards the class's slab list, the slabs'
// headers, and the released stack.
struct ClassPool {
    std::mutex lock;
    Slab* list = nullptr;       // slabs with free blocks
    Slab** released = nullptr;  // slabs whose memory went back, for reuse
    size_t released_count = 0;
    size_t released_capacity = 0;
};
ClassPool g_classes[kClassCount];

void list_insert(ClassPool& pool, Slab* s) {
    s->prev = nullptr;
    s->next = pool.list;
    if (pool.list != nullptr) pool.list->prev = s;
    pool.list = s;
    s->listed = true;
}

void list_remove(ClassPool& pool, Slab* s) {
    if (s->prev != nullptr) s->prev->next = s->next;
    else pool.list = s->next;
    if (s->next != nullptr) s->next->prev = s->prev;
    s->prev = s->next = nullptr;
    s->listed = false;
}

// Empty slabs kept for reuse, over all classes: a reserve that starts at
// 512 KiB, so that the memory of a large tree goes back when it is freed. Each
// time a slab whose memory went back has to be taken again (its pages
// faulted in anew), the reserve grows by one slab, up to 32 MiB: a process
// that reads and frees trees over and over keeps what it keeps reusing.
constexpr uint32_t kKeptFloor = 8;
constexpr uint32_t kKeptCeiling = 512;
std::atomic<uint32_t> g_kept_budget{kKeptFloor};
std::atomic<uint32_t> g_kept_total{0};

void keep() { g_kept_total.fetch_add(1, std::memory_order_relaxed); }

void unkeep() { g_kept_total.fetch_sub(1, std::memory_order_relaxed); }

// A slab with no block out that the pool does not keep: its memory goes back
// to the system and its address waits on the released stack. When the stack
// cannot grow, the slab is kept instead.
void release_slab(ClassPool& pool, Slab* s) {
    if (pool.released_count == pool.released_capacity) {
        const size_t grown = pool.released_capacity == 0 ? 16 : pool.released_capacity * 2;
        void* bigger = std::realloc(pool.released, grown * sizeof(Slab*));
        if (bigger == nullptr) {
            keep();
            return;
        }
        pool.released = static_cast<Slab**>(bigger);
        pool.released_capacity = grown;
    }
    list_remove(pool, s);
    // The pages read as zero from here on: the header, and the type byte of
    // every record the slab held.
    madvise(s, kSlabSize, MADV_DONTNEED);
    pool.released[pool.released_count++] = s;
    g_slab_count.fetch_sub(1, std::memory_order_relaxed);
}

// Under the class lock: a slab of the class with a free block, listed.
Slab* slab_with_room(ClassPool& pool, int cls) {
    if (pool.list != nullptr) return pool.list;
    Slab* s = nullptr;
    if (pool.released_count > 0) {
        s = pool.released[--pool.released_count];
        s->cls = cls;  // the header came back as zero pages
        g_slab_count.fetch_add(1, std::memory_order_relaxed);
        uint32_t budget = g_kept_budget.load(std::memory_order_relaxed);
        if (budget < kKeptCeiling) g_kept_budget.compare_exchange_weak(budget, budget + 1);
    } else {
        s = carve_slab(cls);
        if (s == nullptr) return nullptr;
    }
    list_insert(pool, s);
    keep();
    return s;
}

// Under the class lock: a block comes back to its slab.
void return_block(ClassPool& pool, void* block) {
    Slab* s = slab_of(block);
    link_of(block) = s->free;
    s->free = block;
    if (!s->listed) list_insert(pool, s);
    if (--s->used == 0) {
        if (g_kept_total.load(std::memory_order_relaxed) < g_kept_budget.load(std::memory_order_relaxed)) {
            // Kept as if new: its blocks are handed out again as one run,
            // without walking the list of their links through the slab.
            keep();
            s->free = nullptr;
            s->carved = 0;
        } else {
            release_slab(pool, s);
        }
    }
}

// ---------------------------------------------------------------------------
// Per-thread caches
// ---------------------------------------------------------------------------

using qelt_pool::Cache;
using qelt_pool::Thread;

// Blocks moved between a cache and the slabs under one lock: 128 blocks, or
// 16 KiB worth of the larger ones. A cache keeps at most twice that on its
// list.
constexpr uint32_t batch_of(int cls) {
    const uint32_t by_bytes = 16384 / kClassSizes[cls];
    return by_bytes > 128 ? 128 : by_bytes;
}

pthread_key_t g_cache_key;
pthread_once_t g_cache_key_once = PTHREAD_ONCE_INIT;
bool g_cache_key_ok = false;

// Under the class lock: `n` blocks from the head of a cache's list back to
// their slabs.
void flush_list(ClassPool& pool, Cache& c, uint32_t n) {
    while (n-- > 0 && c.head != nullptr) {
        void* block = c.head;
        c.head = link_of(block);
        --c.count;
        return_block(pool, block);
    }
}

void flush(int cls, Cache& c, uint32_t n) {
    ClassPool& pool = g_classes[cls];
    std::lock_guard<std::mutex> hold(pool.lock);
    flush_list(pool, c, n);
}

// Everything a cache holds, its run of never-used blocks too.
void flush_cache(int cls, Cache& c) {
    ClassPool& pool = g_classes[cls];
    std::lock_guard<std::mutex> hold(pool.lock);
    flush_list(pool, c, c.count);
    for (; c.run != c.run_end; c.run += kClassSizes[cls]) return_block(pool, c.run);
    c.run = c.run_end = nullptr;
}

void flush_all(Thread* t) {
    for (int cls = 0; cls < kClassCount; ++cls) flush_cache(cls, t->cache[cls]);
}

// A thread that ends gives its cached blocks back.
void on_thread_exit(void* caches) {
    auto* t = static_cast<Thread*>(caches);
    flush_all(t);
    qelt_pool_thread = nullptr;
    std::free(t);
}

void make_cache_key() { g_cache_key_ok = pthread_key_create(&g_cache_key, on_thread_exit) == 0; }

// The calling thread's caches, made on first use; null when they cannot be
// made, and the blocks then go straight to and from the slabs.
Thread* caches() {
    Thread* t = qelt_pool_thread;
    if (t != nullptr) return t;
    pthread_once(&g_cache_key_once, make_cache_key);
    if (!g_cache_key_ok) return nullptr;
    t = static_cast<Thread*>(std::calloc(1, sizeof(Thread)));
    if (t == nullptr) return nullptr;
    if (pthread_setspecific(g_cache_key, t) != 0) {
        std::free(t);
        return nullptr;
    }
    for (int cls = 0; cls < kClassCount; ++cls) t->cache[cls].limit = 2 * batch_of(cls);
    qelt_pool_thread = t;
    return t;
}

// Fills an empty cache from one slab of the class: freed blocks onto its
// list, or else a run of never-used ones, which costs no write to them.
bool refill(int cls, Cache& c) {
    ClassPool& pool = g_classes[cls];
    std::lock_guard<std::mutex> hold(pool.lock);
    Slab* s = slab_with_room(pool, cls);
    if (s == nullptr) return false;
    const uint32_t size = kClassSizes[cls];
    const uint32_t capacity = blocks_per_slab(cls);
    const uint32_t want = batch_of(cls);
    if (s->used == 0) unkeep();
    uint32_t taken = 0;
    if (s->free != nullptr) {
        for (; taken < want && s->free != nullptr; ++taken) {
            void* block = s->free;
            s->free = link_of(block);
            link_of(block) = c.head;
            c.head = block;
        }
        c.count += taken;
    } else {
        taken = capacity - s->carved < want ? capacity - s->carved : want;
        c.run = blocks_of(s) + size_t{s->carved} * size;
        c.run_end = c.run + size_t{taken} * size;
        s->carved += taken;
    }
    s->used += taken;
    if (s->free == nullptr && s->carved == capacity) list_remove(pool, s);
    return true;
}

void* slab_alloc(int cls) {
    Thread* t = caches();
    Cache local{};
    Cache& c = t != nullptr ? t->cache[cls] : local;
    if (c.head == nullptr && c.run == c.run_end && !refill(cls, c)) return nullptr;
    void* block;
    if (c.head != nullptr) {
        block = c.head;
        c.head = link_of(block);
        --c.count;
    } else {
        block = c.run;
        c.run += kClassSizes[cls];
    }
    if (t == nullptr) flush_cache(cls, c);
    return block;
}

void slab_free(void* block, int cls) {
    Thread* t = caches();
    if (t == nullptr) {
        ClassPool& pool = g_classes[cls];
        std::lock_guard<std::mutex> hold(pool.lock);
        return_block(pool, block);
        return;
    }
    Cache& c = t->cache[cls];
    link_of(block) = c.head;
    c.head = block;
    if (++c.count > c.limit) flush(cls, c, batch_of(cls));
}

// ---------------------------------------------------------------------------
// Blocks over 2 KiB
// ---------------------------------------------------------------------------

std::atomic<size_t> g_large_bytes{0};

size_t mapped_length(size_t size) {
    const size_t page = 4096;
    return (size + page - 1) & ~(page - 1);
}

void* large_alloc(size_t size, bool zero, bool mapped) {
    void* block;
    if (mapped) {
        block = mmap(nullptr, mapped_length(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) block = nullptr;
    } else {
        block = zero ? std::calloc(1, size) : std::malloc(size);
    }
    if (block != nullptr) g_large_bytes.fetch_add(size, std::memory_order_relaxed);
    return block;
}

void large_free(void* block, size_t size, bool mapped) {
    g_large_bytes.fetch_sub(size, std::memory_order_relaxed);
    if (mapped) {
        munmap(block, mapped_length(size));
    } else {
        std::free(block);
    }
}

// ---------------------------------------------------------------------------
// Records without slabs: a set of their addresses, so that the check works
// alike in the builds that keep the pool off.
// ---------------------------------------------------------------------------

class RecordSet {
public:
    bool insert(uintptr_t a) {
        std::lock_guard<std::mutex> hold(lock_);
        if (2 * (count_ + 1) > capacity_ && !grow()) return false;
        place(a);
        ++count_;
        return true;
    }

    void erase(uintptr_t a) {
        std::lock_guard<std::mutex> hold(lock_);
        size_t i = find(a);
        if (i == capacity_) return;
        // Backward-shift deletion keeps every probe sequence unbroken.
        for (size_t j = next(i);; j = next(j)) {
            if (slots_[j] == 0) break;
            const size_t home = hash(slots_[j]);
            if ((j > i && (home <= i || home > j)) || (j < i && home <= i && home > j)) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = 0;
        --count_;
    }

    bool contains(uintptr_t a) {
        std::lock_guard<std::mutex> hold(lock_);
        return a != 0 && find(a) != capacity_;
    }

    size_t size() {
        std::lock_guard<std::mutex> hold(lock_);
        return count_;
    }

    std::mutex& lock() { return lock_; }

private:
    size_t hash(uintptr_t a) const {
        return static_cast<size_t>((a >> 3) * 0x9E3779B97F4A7C15ull) & (capacity_ - 1);
    }
    size_t next(size_t i) const { return (i + 1) & (capacity_ - 1); }

    size_t find(uintptr_t a) const {
        if (capacity_ == 0) return capacity_;
        for (size_t i = hash(a);; i = next(i)) {
            if (slots_[i] == a) return i;
            if (slots_[i] == 0) return capacity_;
        }
    }

    void place(uintptr_t a) {
        size_t i = hash(a);
        while (slots_[i] != 0) i = next(i);
        slots_[i] = a;
    }

    bool grow() {
        const size_t old_capacity = capacity_;
        uintptr_t* old = slots_;
        const size_t grown = old_capacity == 0 ? 1024 : old_capacity * 2;
        auto* fresh = static_cast<uintptr_t*>(std::calloc(grown, sizeof(uintptr_t)));
        if (fresh == nullptr) return false;
        slots_ = fresh;
        capacity_ = grown;
        for (size_t i = 0; i < old_capacity; ++i) {
            if (old[i] != 0) place(old[i]);
        }
        std::free(old);
        return true;
    }

    std::mutex lock_;
    uintptr_t* slots_ = nullptr;
    size_t capacity_ = 0;
    size_t count_ = 0;
};

RecordSet g_unpooled_records;

// ---------------------------------------------------------------------------
// Mode and failure injection
// ---------------------------------------------------------------------------

bool detect_pool() {
#if QELT_POOL_SANITIZED
    return false;
#elif defined(QELT_POOL_VALGRIND_AWARE)
    return RUNNING_ON_VALGRIND == 0;
#else
    return true;
#endif
}

std::atomic<int> g_fail_in{0};

// A fork while another thread holds one of the allocator's locks (a read
// runs without the interpreter lock) must not leave the child with that lock
// held for ever: every lock is taken around the fork, as the C library does
// for its own.
void lock_all() {
    for (ClassPool& pool : g_classes) pool.lock.lock();
    g_region_lock.lock();
    g_unpooled_records.lock().lock();
}

void unlock_all() {
    g_unpooled_records.lock().unlock();
    g_region_lock.unlock();
    for (ClassPool& pool : g_classes) pool.lock.unlock();
}

// 1 with the pool, 0 without, -1 before the first allocation decides:
// blocks are freed the way the mode allocated them.
std::atomic<int> g_mode{-1};
pthread_once_t g_fork_once = PTHREAD_ONCE_INIT;

bool pooled() {
    int mode = g_mode.load(std::memory_order_relaxed);
    if (mode < 0) {
        pthread_once(&g_fork_once, [] { pthread_atfork(lock_all, unlock_all, unlock_all); });
        mode = detect_pool() ? 1 : 0;
        g_mode.store(mode, std::memory_order_relaxed);
        __atomic_store_n(&qelt_pool_fast, static_cast<uint8_t>(mode == 1 && g_fail_in.load() == 0),
                         __ATOMIC_RELAXED);
    }
    return mode == 1;
}

bool injected_failure() {
    if (g_fail_in.load(std::memory_order_relaxed) == 0) [[likely]]
        return false;
    return g_fail_in.fetch_sub(1, std::memory_order_relaxed) == 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Interface
// ---------------------------------------------------------------------------

namespace {

void* any_alloc(size_t size, bool zero, bool array) {
    if (injected_failure() || size == 0) return nullptr;
    if (!pooled()) return zero ? std::calloc(1, size) : std::malloc(size);
    if (size > kLargestSlabBlock) return large_alloc(size, zero, array && size >= kMappedFrom);
    void* block = slab_alloc(class_of(size));
    if (block != nullptr && zero) std::memset(block, 0, size);
    return block;
}

void any_free(void* block, size_t size, bool array) {
    if (block == nullptr) return;
    if (!pooled()) return std::free(block);
    if (size > kLargestSlabBlock) return large_free(block, size, array && size >= kMappedFrom);
    slab_free(block, class_of(size));
}

}  // namespace

void* qelt_block_alloc_slow(size_t size, bool zero) noexcept { return any_alloc(size, zero, false); }

void qelt_block_free_slow(void* block, size_t size) noexcept { any_free(block, size, false); }

void* qelt_array_alloc(size_t size) noexcept { return any_alloc(size, true, true); }

void qelt_array_free(void* array, size_t size) noexcept { any_free(array, size, true); }

void* qelt_array_resize(void* array, size_t old_size, size_t new_size) noexcept {
    if (pooled() && old_size >= kMappedFrom && new_size >= kMappedFrom && !injected_failure()) {
        // Pages past the old end arrive zeroed; the old ones are not copied.
        void* moved = mremap(array, mapped_length(old_size), mapped_length(new_size), MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) return nullptr;
        g_large_bytes.fetch_add(new_size - old_size, std::memory_order_relaxed);
        return moved;
    }
    void* fresh = qelt_array_alloc(new_size);
    if (fresh == nullptr) return nullptr;
    std::memcpy(fresh, array, old_size < new_size ? old_size : new_size);
    qelt_array_free(array, old_size);
    return fresh;
}

__thread qelt_pool::Thread* qelt_pool_thread = nullptr;
uint8_t qelt_pool_fast = 0;

qelt_variant* qelt_record_alloc_slow(void) noexcept {
    if (injected_failure()) return nullptr;
    if (!pooled()) {
        void* record = std::calloc(1, sizeof(qelt_variant));
        if (record != nullptr && !g_unpooled_records.insert(reinterpret_cast<uintptr_t>(record))) {
            std::free(record);
            record = nullptr;
        }
        return static_cast<qelt_variant*>(record);
    }
    void* record = slab_alloc(kRecordClass);
    if (record != nullptr) std::memset(record, 0, sizeof(qelt_variant));
    return static_cast<qelt_variant*>(record);
}

void qelt_record_free_slow(qelt_variant* record) noexcept {
    if (record == nullptr) return;
    if (!pooled()) {
        g_unpooled_records.erase(reinterpret_cast<uintptr_t>(record));
        std::free(record);
        return;
    }
    mark_dead(record);
    slab_free(record, kRecordClass);
}

qelt_err qelt_variant_from_address(uintptr_t address, qelt_variant** out) noexcept {
    if (out == nullptr) return QELT_ERR_NULL_PTR;
    *out = nullptr;
    bool live;
    if (pooled()) {
        const uintptr_t offset = (address & kSlabMask) - kHeaderSize;  // wraps below the blocks
        live = directory_tag(address) == kRecordClass + 1 &&
               offset < size_t{blocks_per_slab(kRecordClass)} * sizeof(qelt_variant) &&
               offset % sizeof(qelt_variant) == 0 &&
               __atomic_load_n(reinterpret_cast<const uint8_t*>(address), __ATOMIC_RELAXED) != 0;
    } else {
        live = g_unpooled_records.contains(address);
    }
    if (!live) return QELT_ERR_NULL_PTR;
    *out = reinterpret_cast<qelt_variant*>(address);
    return QELT_SUCCESS;
}

void qelt_pool_flush_thread_cache(void) noexcept {
    if (Thread* t = qelt_pool_thread) flush_all(t);
}

void qelt_pool_get_stats(qelt_pool_stats* stats) noexcept {
    if (stats == nullptr) return;
    *stats = qelt_pool_stats{};
    stats->pooled = pooled();
    stats->large_bytes = g_large_bytes.load(std::memory_order_relaxed);
    if (!stats->pooled) {
        stats->records = g_unpooled_records.size();
        return;
    }
    qelt_pool_flush_thread_cache();
    stats->slabs = g_slab_count.load(std::memory_order_relaxed);
    stats->reserve = g_kept_budget.load(std::memory_order_relaxed);
    // Every slab of a class is on its list or full; the full ones are found
    // through the directory.
    for (size_t root = 0; root < (size_t{1} << kRootBits); ++root) {
        const uint8_t* leaf = g_directory[root].load(std::memory_order_acquire);
        if (leaf == nullptr) continue;
        for (size_t i = 0; i < (size_t{1} << kLeafBits); ++i) {
            const uint8_t tag = __atomic_load_n(&leaf[i], __ATOMIC_RELAXED);
            if (tag == 0) continue;
            const int cls = tag - 1;
            auto* s = reinterpret_cast<Slab*>((root << 32) | (i << kSlabShift));
            std::lock_guard<std::mutex> hold(g_classes[cls].lock);
            if (s->cls != cls) continue;  // released: zero pages
            stats->block_bytes += size_t{s->used} * kClassSizes[cls];
            if (cls == kRecordClass) stats->records += s->used;
        }
    }
}

int qelt_pool_fail_in(int n) noexcept {
    const int left = g_fail_in.exchange(n, std::memory_order_relaxed);
    __atomic_store_n(&qelt_pool_fast, static_cast<uint8_t>(n == 0 && pooled()), __ATOMIC_RELAXED);
    return left;
}
