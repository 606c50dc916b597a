#include "owned_variant.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Stores `item` into `container`, a map under the next int32 key.
void hold(qelt_variant* container, qelt_variant* item) {
    if (container->type == QELT_VARIANT_TYPE_LIST) {
        ASSERT_EQ(qelt_variant_list_append(container, item, nullptr), QELT_SUCCESS);
    } else {
        uint32_t n = 0;
        qelt_variant_map_get_size(container, &n);
        ASSERT_EQ(qelt_variant_map_set(container, i32(int32_t(n)).get(), item), QELT_SUCCESS);
    }
}

}  // namespace

// Every holding is given up exactly once: `shared` stands in a list held
// twice, in a chained bucket (keys 0 and 8), as key and value, and inside a
// list that is itself a map key; `kept` is held by the tree and by us. The
// sanitizer build adds that no record leaks or is freed twice.
TEST(Destroy, ReleasesEveryHoldingOnce) {
    OwnedVariant shared = i32(-1), kept = make(qelt_variant_new_map);
    OwnedVariant root = make(qelt_variant_new_list), twice = make(qelt_variant_new_list);
    OwnedVariant map = make(qelt_variant_new_map), inner = make(qelt_variant_new_map);
    OwnedVariant key_list = make(qelt_variant_new_list);
    ASSERT_EQ(qelt_variant_map_set(kept.get(), shared.get(), shared.get()), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_map_set(inner.get(), shared.get(), shared.get()), QELT_SUCCESS);
    hold(key_list.get(), shared.get());
    hold(key_list.get(), kept.get());
    for (int32_t k : {0, 8, 3}) {
        qelt_variant* value = k == 8 ? inner.get() : shared.get();
        ASSERT_EQ(qelt_variant_map_set(map.get(), i32(k).get(), value), QELT_SUCCESS);
    }
    ASSERT_EQ(qelt_variant_map_set(map.get(), key_list.get(), twice.get()), QELT_SUCCESS);
    hold(twice.get(), shared.get());
    hold(twice.get(), i32(1).get());
    for (qelt_variant* v : {shared.get(), twice.get(), map.get(), twice.get(), shared.get()}) {
        hold(root.get(), v);
    }
    for (OwnedVariant* v : {&inner, &key_list, &twice, &map}) v->reset();
    ASSERT_EQ(shared->refcount, 11);

    root.reset();
    EXPECT_EQ(kept->refcount, 1);
    EXPECT_EQ(shared->refcount, 3);  // ours and kept's key and value
}

// Each level holds the next one and a scalar after it, so the walk must come
// back up through every level; the deepest level and the root share a witness.
// 'k' levels hold the level below as a map key.
class DeepTree : public ::testing::TestWithParam<const char*> {};

TEST_P(DeepTree, MillionLevelsFreeWithoutRecursion) {
    constexpr int kDepth = 1'000'000;
    const std::string kinds = GetParam();
    OwnedVariant witness = i32(42);
    qelt_variant* child = nullptr;  // the level below, with our reference
    for (int level = 0; level < kDepth; ++level) {
        const char kind = kinds[size_t(level) % kinds.size()];
        OwnedVariant node = make(kind == 'l' ? qelt_variant_new_list : qelt_variant_new_map);
        if (child == nullptr) {
            hold(node.get(), witness.get());
        } else if (kind == 'k') {
            ASSERT_EQ(qelt_variant_map_set(node.get(), child, i32(0).get()), QELT_SUCCESS);
        } else {
            hold(node.get(), child);
        }
        qelt_variant_decref(child);
        hold(node.get(), i32(level).get());
        child = node.release();
    }
    hold(child, witness.get());
    qelt_variant_decref(child);
    EXPECT_EQ(witness->refcount, 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DeepTree, ::testing::Values("l", "m", "k", "lmk"),
                         [](const auto& info) { return std::string(info.param); });
