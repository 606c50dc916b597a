#include "owned_variant.h"
#include "qelt_internal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

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

}  // namespace

// Every holding is given up exactly once: `shared` stands in lists held
// twice, in a chained bucket (keys 0 and 8), as key and value, and inside a
// list that is itself a map key; `kept` is held by the tree and by us. The
// sanitizer build adds that no record leaks or is freed twice.
TEST(Destroy, ReleasesEveryHoldingOnce) {
    OwnedVariant shared(i32(-1));
    OwnedVariant kept(make(qelt_variant_new_map));
    qelt_variant* root = make(qelt_variant_new_list);
    qelt_variant* twice = make(qelt_variant_new_list);
    qelt_variant* map = make(qelt_variant_new_map);
    qelt_variant* inner = make(qelt_variant_new_map);
    qelt_variant* key_list = make(qelt_variant_new_list);
    ASSERT_EQ(qelt_variant_map_set(kept.get(), shared.get(), shared.get()), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_map_set(inner, shared.get(), shared.get()), QELT_SUCCESS);
    hold(key_list, shared.get());
    hold(key_list, kept.get());
    for (int32_t k : {0, 8, 3}) {
        qelt_variant* key = i32(k);
        ASSERT_EQ(qelt_variant_map_set(map, key, k == 8 ? inner : shared.get()), QELT_SUCCESS);
        qelt_variant_decref(key);
    }
    ASSERT_EQ(qelt_variant_map_set(map, key_list, twice), QELT_SUCCESS);
    qelt_variant_decref(inner);
    qelt_variant_decref(key_list);
    hold(twice, shared.get());
    give(twice, i32(1));
    for (qelt_variant* v : {shared.get(), twice, map, twice, shared.get()}) hold(root, v);
    qelt_variant_decref(twice);
    qelt_variant_decref(map);
    ASSERT_EQ(shared->refcount, 11);

    qelt_variant_decref(root);
    EXPECT_EQ(kept->refcount, 1);
    EXPECT_EQ(shared->refcount, 3);  // ours and kept's key and value
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
