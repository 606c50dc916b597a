#include "owned_variant.h"
#include "pool.h"
#include "qelt_internal.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

bool is_live(uintptr_t address) {
    qelt_variant* out = reinterpret_cast<qelt_variant*>(1);
    const qelt_err err = qelt_variant_from_address(address, &out);
    EXPECT_EQ(err == QELT_SUCCESS, out != nullptr);
    return err == QELT_SUCCESS && out == reinterpret_cast<qelt_variant*>(address);
}

uintptr_t address_of(const void* p) { return reinterpret_cast<uintptr_t>(p); }

qelt_pool_stats stats() {
    qelt_pool_stats s{};
    qelt_pool_get_stats(&s);
    return s;
}

}  // namespace

// Only records whose last reference is not gone are variants; nothing else
// is, wherever it lies, and asking never reads what is not the library's.
TEST(Pool, TellsLiveRecordsFromAnythingElse) {
    OwnedVariant list = make(qelt_variant_new_list), text = make(qelt_variant_new_string_c, "abc", 4u);
    qelt_variant* gone = make(qelt_variant_new_int64, int64_t{5}).release();
    ASSERT_EQ(qelt_variant_list_append(list.get(), text.get(), nullptr), QELT_SUCCESS);
    const uintptr_t dead = address_of(gone);
    qelt_variant_decref(gone);
    int on_stack = 0;
    std::vector<char> on_heap(64);
    const uintptr_t alive = address_of(text.get());
    for (uintptr_t a : {alive, address_of(list.get())}) EXPECT_TRUE(is_live(a)) << a;
    const uintptr_t refused[] = {0,
                                 1,
                                 8,
                                 dead,
                                 alive + 1,
                                 alive + 8,
                                 alive + 16,
                                 alive - 8,
                                 address_of(text->value.ptr),
                                 address_of(list->value.ptr),
                                 address_of(&on_stack),
                                 address_of(on_heap.data()),
                                 reinterpret_cast<uintptr_t>(&qelt_variant_decref),
                                 ~uintptr_t{0},
                                 uintptr_t{1} << 47,
                                 uintptr_t{1} << 48,
                                 alive | (uintptr_t{1} << 60)};
    for (uintptr_t a : refused) EXPECT_FALSE(is_live(a)) << std::hex << a;
    EXPECT_EQ(qelt_variant_from_address(alive, nullptr), QELT_ERR_NULL_PTR);

    std::mt19937_64 rng(11);
    for (int i = 0; i < 200000; ++i) {
        const uintptr_t a = rng();
        // Aligned into the records' own slab as well as anywhere at all.
        const uintptr_t near = (alive & ~uintptr_t{0xFFFF}) | (a & 0xFFF8);
        if (near != alive && near != address_of(list.get())) is_live(near);  // must not crash
        EXPECT_FALSE(is_live(a));
    }
}

// Sizes across every class and beyond, zero-filled when asked, aligned,
// independent of each other.
TEST(Pool, BlocksOfEverySize) {
    std::vector<std::pair<unsigned char*, size_t>> blocks;
    for (size_t size : {1, 12, 16, 17, 24, 48, 95, 200, 384, 512, 513, 1500, 2048, 2049, 70000, 1 << 20}) {
        for (int n = 0; n < 40; ++n) {
            auto* b = static_cast<unsigned char*>(qelt_block_alloc(size, true));
            ASSERT_NE(b, nullptr) << size;
            EXPECT_EQ(address_of(b) % 16, 0u) << size;
            for (size_t i = 0; i < size; i += 97) ASSERT_EQ(b[i], 0) << size;
            std::memset(b, n + 1, size);
            blocks.emplace_back(b, size);
        }
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        const auto [b, size] = blocks[i];
        EXPECT_TRUE(b[0] == (i % 40) + 1 && b[size - 1] == (i % 40) + 1) << size;
        qelt_block_free(b, size);
    }
    qelt_pool_fail_in(2);
    void* first = qelt_block_alloc(8, false);
    EXPECT_EQ(qelt_block_alloc(8, false), nullptr);
    qelt_pool_fail_in(0);
    qelt_block_free(first, 8);
}

// Records made in one thread and freed in others; a large tree read and
// freed gives its slabs back.
TEST(Pool, ThreadsShareRecordsAndMemoryGoesBack) {
    const qelt_pool_stats before = stats();
    constexpr int kThreads = 4, kEach = 100000;
    std::vector<std::vector<qelt_variant*>> made(kThreads);
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&made, t] {
            for (int i = 0; i < kEach; ++i) {
                qelt_variant* v = nullptr;
                ASSERT_EQ(qelt_variant_new_string_utf8(&v, "some text", 10), QELT_SUCCESS);
                made[t].push_back(v);
            }
        });
    }
    for (auto& w : workers) w.join();
    workers.clear();
    EXPECT_EQ(stats().records, before.records + kThreads * kEach);
    for (int t = 0; t < kThreads; ++t) {
        // Each thread frees what another one made, then ends with its cache.
        workers.emplace_back([&made, t] {
            for (qelt_variant* v : made[(t + 1) % kThreads]) ASSERT_TRUE(is_live(address_of(v)));
            for (qelt_variant* v : made[(t + 1) % kThreads]) qelt_variant_decref(v);
        });
    }
    for (auto& w : workers) w.join();
    const qelt_pool_stats after = stats();
    EXPECT_EQ(after.records, before.records);
    EXPECT_EQ(after.block_bytes, before.block_bytes);
    if (after.pooled) EXPECT_LE(after.slabs, before.slabs + after.reserve);
    for (const auto& list : made) {
        for (qelt_variant* v : list) ASSERT_FALSE(is_live(address_of(v)));
    }
}

// A list grown far beyond 64 KiB of slots, and shrunk back by deletes: its
// array moves between slab, C library and mapped memory, items intact.
TEST(Pool, LargeListArraysGrowAndShrinkWhole) {
    OwnedVariant list = make(qelt_variant_new_list);
    constexpr int32_t kItems = 200000;
    for (int32_t i = 0; i < kItems; ++i)
        ASSERT_EQ(qelt_variant_list_append(list.get(), i32(i).get(), nullptr), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_list_insert(list.get(), i32(-1).get(), kItems / 2), QELT_SUCCESS);
    int32_t found = 0;
    ASSERT_EQ(qelt_variant_list_contains(list.get(), i32(-1).get(), &found), QELT_SUCCESS);
    EXPECT_EQ(found, kItems / 2);
    for (int32_t n = kItems + 1; n > 3; --n)
        ASSERT_EQ(qelt_variant_list_delete_item(list.get(), n - 1), QELT_SUCCESS);
    const auto* body = static_cast<const qelt_list*>(list->value.ptr);
    ASSERT_EQ(body->count, 3);
    EXPECT_EQ(body->capacity, 8);
    for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(body->items[i]->value.i32, i);
}

// A fork while another thread allocates: every lock of the allocator is
// taken around it, so the child finds them free, whatever the other thread
// held. (The sanitizer's own allocator, which stands in for the pool there,
// would be that runtime's test.)
TEST(Pool, ForkWhileAnotherThreadAllocates) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator stands in for the pool";
#endif
    // More records than a thread's cache holds, so that both threads go to
    // the slabs and their locks.
    auto churn = [] {
        std::vector<qelt_variant*> made(5000);
        for (qelt_variant*& v : made) qelt_variant_new_string_utf8(&v, "some text", 10);
        for (qelt_variant* v : made) qelt_variant_decref(v);
    };
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop) churn();
    });
    for (int i = 0; i < 20; ++i) {
        // The child says through a pipe that it is done, and waits for the
        // SIGKILL that ends it: no exit handler runs, nor valgrind's leak
        // check, which would count the other thread's memory as lost.
        int done[2];
        if (pipe(done) != 0) {
            ADD_FAILURE() << "no pipe";
            break;
        }
        const pid_t child = fork();
        if (child == 0) {
            churn();
            if (write(done[1], "x", 1) == 1) pause();
            _exit(1);
        }
        close(done[1]);
        pollfd wait_for{done[0], POLLIN, 0};
        char byte = 0;
        const bool finished = poll(&wait_for, 1, 30000) == 1 &&
                              read(done[0], &byte, 1) == 1;  // valgrind is slow
        close(done[0]);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        EXPECT_TRUE(finished) << "child " << i << " hung";
    }
    stop = true;
    busy.join();
}
