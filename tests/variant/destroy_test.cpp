#include "owned_variant.h"
#include "qelt_internal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <unordered_map>
#include <vector>

// Records the order of frees while armed, by replacing the C library's free;
// AddressSanitizer's allocator rules that out in sanitizer builds.
namespace {
std::vector<void*>* g_freed = nullptr;
}
#ifndef __SANITIZE_ADDRESS__
extern "C" void __libc_free(void*);
extern "C" void free(void* p) {
    if (g_freed != nullptr && p != nullptr && g_freed->size() < g_freed->capacity()) {
        g_freed->push_back(p);  // never reallocates: capacity is reserved
    }
    __libc_free(p);
}
constexpr bool kCanRecordFrees = true;
#else
constexpr bool kCanRecordFrees = false;
#endif

namespace {

qelt_variant* make(qelt_err (*ctor)(qelt_variant**)) {
    qelt_variant* v = nullptr;
    EXPECT_EQ(ctor(&v), QELT_SUCCESS);
    return v;
}

qelt_variant* i32(int32_t x) {
    qelt_variant* v = nullptr;
    EXPECT_EQ(qelt_variant_new_int32(&v, x), QELT_SUCCESS);
    return v;
}

// Stores `item` into `container` (a map under the next int32 key).
void hold(qelt_variant* container, qelt_variant* item) {
    if (container->type == QELT_VARIANT_TYPE_LIST) {
        ASSERT_EQ(qelt_variant_list_append(container, item, nullptr), QELT_SUCCESS);
    } else {
        qelt_variant* key = i32(int32_t(static_cast<qelt_map*>(container->value.ptr)->table->count));
        ASSERT_EQ(qelt_variant_map_set(container, key, item), QELT_SUCCESS);
        qelt_variant_decref(key);
    }
}

// As hold, and gives up the caller's reference.
void give(qelt_variant* container, qelt_variant* item) {
    hold(container, item);
    qelt_variant_decref(item);
}

// The record frees of the recursive definition: items in ascending order,
// a map's key before its value, a record after everything it held.
void expect_frees(qelt_variant* v, std::unordered_map<qelt_variant*, int>& counts,
                  std::vector<void*>& order) {
    if (--counts.try_emplace(v, v->refcount).first->second != 0) return;
    if (v->type == QELT_VARIANT_TYPE_LIST) {
        const auto* body = static_cast<qelt_list*>(v->value.ptr);
        for (int32_t i = 0; i < body->count; ++i) expect_frees(body->items[i], counts, order);
    } else if (v->type == QELT_VARIANT_TYPE_MAP) {
        const qelt_hashtable* t = static_cast<qelt_map*>(v->value.ptr)->table;
        for (uint32_t b = 0; b < t->bucket_count; ++b) {
            if (t->buckets[b].key == nullptr) continue;
            for (const qelt_hashtable_entry* e = &t->buckets[b]; e != nullptr; e = e->next) {
                expect_frees(e->key, counts, order);
                expect_frees(e->value, counts, order);
            }
        }
    }
    order.push_back(v);
}

}  // namespace

TEST(Destroy, FreesRecordsInDepthFirstOrder) {
    if (!kCanRecordFrees) GTEST_SKIP() << "free hook unavailable";
    // Shared items die at their last holder; a chained bucket (keys 0 and 8)
    // and containers as keys cover every path of the map walk.
    qelt_variant* shared = i32(-1);
    qelt_variant* survivor = i32(-2);
    qelt_variant* root = make(qelt_variant_new_list);
    qelt_variant* twice = make(qelt_variant_new_list);
    qelt_variant* map = make(qelt_variant_new_map);
    qelt_variant* inner = make(qelt_variant_new_map);
    qelt_variant* key_list = make(qelt_variant_new_list);
    for (qelt_variant* v : {shared, survivor}) ASSERT_EQ(qelt_variant_list_append(key_list, v, nullptr), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_map_set(inner, shared, shared), QELT_SUCCESS);
    for (int32_t k : {0, 8, 3}) {
        qelt_variant* key = i32(k);
        ASSERT_EQ(qelt_variant_map_set(map, key, k == 8 ? inner : shared), QELT_SUCCESS);
        qelt_variant_decref(key);
    }
    ASSERT_EQ(qelt_variant_map_set(map, key_list, twice), QELT_SUCCESS);
    qelt_variant_decref(inner);
    qelt_variant_decref(key_list);
    hold(twice, shared);
    give(twice, i32(1));
    for (qelt_variant* v : {shared, twice, map, twice, shared}) ASSERT_EQ(qelt_variant_list_append(root, v, nullptr), QELT_SUCCESS);
    qelt_variant_decref(twice);
    qelt_variant_decref(map);
    qelt_variant_decref(shared);

    std::vector<void*> expected;
    std::unordered_map<qelt_variant*, int> counts;  // every record of the tree
    expect_frees(root, counts, expected);
    ASSERT_EQ(expected.size(), 10u);  // every record but the survivor

    std::vector<void*> freed;
    freed.reserve(1000);
    g_freed = &freed;
    qelt_variant_decref(root);
    g_freed = nullptr;
    std::erase_if(freed, [&](void* p) { return !counts.contains(static_cast<qelt_variant*>(p)); });
    EXPECT_EQ(freed, expected);
    EXPECT_EQ(survivor->refcount, 1);
    qelt_variant_decref(survivor);
}

TEST(Destroy, BodyFreeReleasesEverythingHeld) {
    qelt_list_free(nullptr);
    qelt_map_free(nullptr);
    OwnedVariant item(i32(5));
    qelt_variant* list = make(qelt_variant_new_list);
    qelt_variant* map = make(qelt_variant_new_map);
    qelt_variant* nested = make(qelt_variant_new_list);
    ASSERT_EQ(qelt_variant_list_append(nested, item.get(), nullptr), QELT_SUCCESS);
    give(list, nested);
    ASSERT_EQ(qelt_variant_list_append(list, item.get(), nullptr), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_map_set(map, item.get(), item.get()), QELT_SUCCESS);
    EXPECT_EQ(item->refcount, 5);
    for (qelt_variant* c : {list, map}) {
        void* body = c->value.ptr;
        c->value.ptr = nullptr;  // the bodiless record is freed alone
        c->type == QELT_VARIANT_TYPE_LIST ? qelt_list_free(static_cast<qelt_list*>(body))
                                          : qelt_map_free(static_cast<qelt_map*>(body));
        qelt_variant_decref(c);
    }
    EXPECT_EQ(item->refcount, 1);
}

// Each level holds the next one and a scalar after it, so the walk must come
// back up through every level; the deepest level and the root share a witness.
class DeepTree : public ::testing::TestWithParam<const char*> {};

TEST_P(DeepTree, MillionLevelsFreeWithoutRecursion) {
    constexpr int kDepth = 1'000'000;
    const std::string kinds = GetParam();
    OwnedVariant witness(i32(42));
    const auto start = std::chrono::steady_clock::now();
    qelt_variant* child = nullptr;
    for (int level = 0; level < kDepth; ++level) {
        const char kind = kinds[size_t(level) % kinds.size()];
        qelt_variant* node = make(kind == 'l' ? qelt_variant_new_list : qelt_variant_new_map);
        if (child == nullptr) {
            hold(node, witness.get());
        } else if (kind == 'k') {  // the child as a map key
            qelt_variant* value = i32(0);
            ASSERT_EQ(qelt_variant_map_set(node, child, value), QELT_SUCCESS);
            qelt_variant_decref(value);
            qelt_variant_decref(child);
        } else {
            give(node, child);
        }
        give(node, i32(level));
        child = node;
    }
    hold(child, witness.get());
    const auto built = std::chrono::steady_clock::now();
    qelt_variant_decref(child);
    const auto freed = std::chrono::steady_clock::now();
    EXPECT_EQ(witness->refcount, 1);
    using ms = std::chrono::milliseconds;
    RecordProperty("build_ms", int(std::chrono::duration_cast<ms>(built - start).count()));
    RecordProperty("free_ms", int(std::chrono::duration_cast<ms>(freed - built).count()));
}

INSTANTIATE_TEST_SUITE_P(Kinds, DeepTree, ::testing::Values("l", "m", "k", "lmk"),
                         [](const auto& info) { return std::string(info.param); });
