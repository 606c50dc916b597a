#include "owned_variant.h"
#include "qelt_internal.h"

#include <gtest/gtest.h>

#include <iterator>
#include <utility>
#include <vector>

namespace {

OwnedVariant new_list() { return make(qelt_variant_new_list); }

// A list that holds nothing may have no body at all; it reads as empty.
const qelt_list& body(qelt_variant* l) {
    static const qelt_list none{};
    return l->value.ptr != nullptr ? *static_cast<qelt_list*>(l->value.ptr) : none;
}
const qelt_list& body(const OwnedVariant& l) { return body(l.get()); }

// The items as int32 values, read through get_item until it refuses the index.
std::vector<int32_t> items(const OwnedVariant& l) {
    std::vector<int32_t> out;
    qelt_variant* v = nullptr;
    for (int32_t i = 0; qelt_variant_list_get_item(l.get(), &v, i) == QELT_SUCCESS; ++i)
        out.push_back(v->value.i32);
    return out;
}

}  // namespace

// Capacity at each count: doubled when full, halved once 4 * count <= capacity.
TEST(List, GrowsWhenFullAndShrinksAtAQuarter) {
    OwnedVariant l = new_list(), v = i32(7);
    const std::pair<int32_t, int32_t> steps[] = {{0, 0},  {1, 8},  {8, 8},  {9, 16}, {16, 16}, {17, 32},
                                                 {9, 32}, {8, 16}, {5, 16}, {4, 8},  {0, 8}};
    for (const auto& [count, capacity] : steps) {
        while (body(l).count < count) {
            int32_t index = -1;
            ASSERT_EQ(qelt_variant_list_append(l.get(), v.get(), &index), QELT_SUCCESS);
            EXPECT_EQ(index + 1, body(l).count);
        }
        while (body(l).count > count)
            ASSERT_EQ(qelt_variant_list_delete_item(l.get(), body(l).count - 1), QELT_SUCCESS);
        EXPECT_EQ(body(l).capacity, capacity) << count;
        EXPECT_EQ(v->refcount, count + 1);
    }
    for (int i = 0; i < 100; ++i) ASSERT_EQ(qelt_variant_list_append(l.get(), v.get(), nullptr), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_list_clear(l.get()), QELT_SUCCESS);
    int32_t size = -1;
    ASSERT_EQ(qelt_variant_list_get_size(l.get(), &size), QELT_SUCCESS);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(l->value.ptr, nullptr);  // the body goes with a clear
    EXPECT_EQ(v->refcount, 1);
}

// Setting an item over itself changes no count.
TEST(List, InsertSetDeleteKeepOrderAndCounts) {
    OwnedVariant l = new_list(), a = i32(1), b = i32(2), c = i32(3);
    for (const auto& [v, at] : {std::pair{a.get(), 0}, {c.get(), 1}, {b.get(), 1}}) {
        ASSERT_EQ(qelt_variant_list_insert(l.get(), v, at), QELT_SUCCESS);
    }
    EXPECT_EQ(items(l), (std::vector<int32_t>{1, 2, 3}));
    ASSERT_EQ(qelt_variant_list_set_item(l.get(), b.get(), 1), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_list_set_item(l.get(), a.get(), 2), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_list_delete_item(l.get(), 0), QELT_SUCCESS);
    EXPECT_EQ(items(l), (std::vector<int32_t>{2, 1}));
    EXPECT_EQ(refcounts({a.get(), b.get(), c.get()}), (std::vector<int>{2, 2, 1}));
}

// Size 1 throughout: insert takes 0..1, the others 0 only, no index counts
// from the end, and a value at its reference limit is never stored.
TEST(List, ChecksAndIndexesComeInOrder) {
    OwnedVariant l = new_list(), v = i32(1), not_list = i32(2), full = i32(3);
    ASSERT_EQ(qelt_variant_list_append(l.get(), v.get(), nullptr), QELT_SUCCESS);
    full->refcount = 65535;
    qelt_variant* out = nullptr;
    const std::pair<qelt_err, qelt_err> cases[] = {
        {qelt_variant_list_append(not_list.get(), nullptr, nullptr), QELT_ERR_NULL_PTR},
        {qelt_variant_list_append(l.get(), l.get(), nullptr), QELT_ERR_CIRCULAR_REFERENCE},
        {qelt_variant_list_insert(l.get(), l.get(), 9), QELT_ERR_CIRCULAR_REFERENCE},
        {qelt_variant_list_set_item(nullptr, v.get(), 0), QELT_ERR_NULL_PTR},
        {qelt_variant_list_append(not_list.get(), v.get(), nullptr), QELT_ERR_INVALID_TYPE},
        {qelt_variant_list_get_item(not_list.get(), nullptr, 0), QELT_ERR_NULL_PTR},
        {qelt_variant_list_contains(l.get(), l.get(), nullptr), QELT_SUCCESS},
        {qelt_variant_list_insert(l.get(), v.get(), 2), QELT_ERR_INDEX_OUT_OF_RANGE},
        {qelt_variant_list_insert(l.get(), v.get(), -1), QELT_ERR_INDEX_OUT_OF_RANGE},
        {qelt_variant_list_get_item(l.get(), &out, 1), QELT_ERR_INDEX_OUT_OF_RANGE},
        {qelt_variant_list_set_item(l.get(), v.get(), 1), QELT_ERR_INDEX_OUT_OF_RANGE},
        {qelt_variant_list_delete_item(l.get(), INT32_MIN), QELT_ERR_INDEX_OUT_OF_RANGE},
        {qelt_variant_list_append(l.get(), full.get(), nullptr), QELT_ERR_REFCNT_EXCD},
        {qelt_variant_list_insert(l.get(), full.get(), 0), QELT_ERR_REFCNT_EXCD},
        {qelt_variant_list_set_item(l.get(), full.get(), 0), QELT_ERR_REFCNT_EXCD},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
    full->refcount = 1;
    EXPECT_EQ(items(l), (std::vector<int32_t>{1}));
    EXPECT_EQ(refcounts({v.get(), l.get()}), (std::vector<int>{2, 1}));
}

TEST(List, SearchesCompareByValueWithinTheClampedRange) {
    OwnedVariant l = new_list(), empty = new_list();
    for (int32_t i : {0, 1, 2, 3, 4, 3})
        ASSERT_EQ(qelt_variant_list_append(l.get(), i32(i).get(), nullptr), QELT_SUCCESS);
    const struct {
        int32_t start, stop, value, want;
    } cases[] = {
        {1, 3, 1, 1},   {1, 3, 3, 3},   {1, 3, 0, -1},  {1, 3, 4, -1},  // inclusive ends
        {3, 1, 1, 1},   {3, 1, 4, -1},                                  // reversed
        {2, -1, 4, 4},  {2, -1, 1, -1},                                 // negative stop: to the end
        {10, -1, 3, 5}, {10, 6, 4, -1}, {10, 99, 3, 5},                 // start past the end
        {-4, 0, 0, 0},  {-4, 0, 1, -1},                                 // negative start
    };
    for (const auto& c : cases) {
        int32_t at = 77;
        ASSERT_EQ(qelt_variant_list_contains_in_subset(l.get(), i32(c.value).get(), &at, c.start, c.stop),
                  QELT_SUCCESS);
        EXPECT_EQ(at, c.want) << c.start << ".." << c.stop << " for " << c.value;
    }
    int32_t at = 77;
    EXPECT_EQ(qelt_variant_list_contains_in_subset(empty.get(), l.get(), &at, 0, -1), QELT_SUCCESS);
    EXPECT_EQ(at, QELT_LIST_INDEX_UNKNOWN);
    EXPECT_EQ(qelt_variant_list_contains(l.get(), i32(3).get(), &at), QELT_SUCCESS);
    EXPECT_EQ(at, 3);  // the first of two
}

TEST(ListOutOfMemory, FailedBodyAndGrowthChangeNothing) {
    OwnedVariant l = new_list(), v = i32(1);
    for (int nth : {1, 2}) {  // the body, then its first array
        qelt_pool_fail_in(nth);
        EXPECT_EQ(qelt_variant_list_append(l.get(), v.get(), nullptr), QELT_ERR_OUT_OF_MEMORY);
        EXPECT_EQ(l->value.ptr, nullptr);
    }
    for (int i = 0; i < 8; ++i) ASSERT_EQ(qelt_variant_list_append(l.get(), v.get(), nullptr), QELT_SUCCESS);
    qelt_pool_fail_in(1);
    EXPECT_EQ(qelt_variant_list_insert(l.get(), v.get(), 0), QELT_ERR_OUT_OF_MEMORY);
    qelt_pool_fail_in(1);
    qelt_variant* out = v.get();
    EXPECT_EQ(qelt_variant_new_list(&out), QELT_ERR_OUT_OF_MEMORY);
    EXPECT_EQ(out, nullptr);
    qelt_pool_fail_in(0);
    EXPECT_EQ(body(l).count, 8);
    EXPECT_EQ(body(l).capacity, 8);
    EXPECT_EQ(v->refcount, 9);
}

// The deleted item may hold the last reference to the list it leaves (a
// cycle reached through a borrowed handle): the list dies inside the call,
// which must not touch it afterwards, not even to shrink it.
TEST(List, DeleteThatDestroysTheListItself) {
    qelt_variant* list = new_list().release();
    qelt_variant* back = new_list().release();
    OwnedVariant witness = i32(1);
    ASSERT_EQ(qelt_variant_list_append(list, back, nullptr), QELT_SUCCESS);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(qelt_variant_list_append(list, witness.get(), nullptr), QELT_SUCCESS);
    // 16 slots, so that deleting down to 4 items shrinks.
    for (int i = 0; i < 4; ++i) ASSERT_EQ(qelt_variant_list_insert(list, back, 1), QELT_SUCCESS);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(qelt_variant_list_delete_item(list, 1), QELT_SUCCESS);
    ASSERT_EQ(body(list).capacity, 16);
    ASSERT_EQ(qelt_variant_list_append(back, list, nullptr), QELT_SUCCESS);
    qelt_variant_decref(back);
    qelt_variant_decref(list);
    EXPECT_EQ(qelt_variant_list_delete_item(list, 0), QELT_SUCCESS);
    EXPECT_EQ(witness->refcount, 1);
}
