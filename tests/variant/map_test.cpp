#include "owned_variant.h"
#include "qelt_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace {

// Null for a map without a body (nothing held since it was made or cleared).
qelt_hashtable* table(qelt_variant* m) {
    return m->value.ptr != nullptr ? static_cast<qelt_map*>(m->value.ptr)->table : nullptr;
}
using Sizes = std::array<uint32_t, 3>;  // buckets, grow_at, shrink_at
Sizes sizes(const OwnedVariant& m) {
    return {table(m.get())->bucket_count, table(m.get())->grow_at, table(m.get())->shrink_at};
}

// Steps the built-in iterator until it reports the end.
std::vector<qelt_variant*> walk_keys(const OwnedVariant& m) {
    std::vector<qelt_variant*> keys;
    qelt_variant* k = nullptr;
    uint8_t found = 0;
    while (qelt_variant_map_next(m.get(), &k, nullptr, &found) == QELT_SUCCESS && found) keys.push_back(k);
    return keys;
}
std::vector<int32_t> walk(const OwnedVariant& m) {
    std::vector<int32_t> keys;
    for (const qelt_variant* k : walk_keys(m)) keys.push_back(k->value.i32);
    return keys;
}

// A map of int32 keys to values 100 + key, keeping its keys alive.
struct IntMap {
    OwnedVariant map = make(qelt_variant_new_map);
    std::vector<OwnedVariant> keys;
    IntMap(std::initializer_list<int> ks) {
        for (int k : ks) set(k);
    }
    void set(int k) {
        keys.push_back(i32(k));
        EXPECT_EQ(qelt_variant_map_set(map.get(), keys.back().get(), i32(100 + k).get()), QELT_SUCCESS);
    }
    void del(int k) { EXPECT_EQ(qelt_variant_map_delete(map.get(), i32(k).get()), QELT_SUCCESS); }
};

}  // namespace

TEST(Map, WorkedOrders) {
    IntMap ten({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});  // the 7th set doubled the table before placing key 6
    EXPECT_EQ(walk(ten.map), (std::vector<int32_t>{3, 5, 7, 0, 9, 2, 4, 6, 8, 1}));
    EXPECT_EQ(sizes(ten.map), (Sizes{16, 12, 4}));

    OwnedVariant m = make(qelt_variant_new_map);
    OwnedVariant alpha = make(qelt_variant_new_string_c, "alpha", 6u);
    OwnedVariant beta = make(qelt_variant_new_string_c, "beta", 5u);
    OwnedVariant gamma = make(qelt_variant_new_string_c, "gamma", 6u);
    for (auto* k : {alpha.get(), beta.get(), gamma.get()})
        ASSERT_EQ(qelt_variant_map_set(m.get(), k, k), QELT_SUCCESS);
    EXPECT_EQ(walk_keys(m), (std::vector<qelt_variant*>{beta.get(), alpha.get(), gamma.get()}));

    // 0, 8, 16 and 24 share bucket 6. Deleting 16 unlinks it from the
    // middle of the chain; deleting 0 moves 8 into the slot.
    IntMap chain({0, 8, 16, 24});
    EXPECT_EQ(walk(chain.map), (std::vector<int32_t>{0, 8, 16, 24}));
    chain.del(16);
    const qelt_hashtable_entry& slot = table(chain.map.get())->buckets[6];
    EXPECT_EQ(slot.next->next->prev, slot.next);
    EXPECT_EQ(walk(chain.map), (std::vector<int32_t>{0, 8, 24}));
    chain.del(0);
    EXPECT_EQ(slot.key, chain.keys[1].get());
    EXPECT_EQ(slot.next->prev, &slot);
    EXPECT_EQ(walk(chain.map), (std::vector<int32_t>{8, 24}));
    EXPECT_EQ(refcounts({chain.keys[0].get(), chain.keys[2].get()}), (std::vector<int>{1, 1}));
}

TEST(Map, GrowsBeforeSetAndShrinksAfterDelete) {
    IntMap m({0, 1, 2, 3, 4, 5});
    EXPECT_EQ(sizes(m.map), (Sizes{8, 6, 0}));
    m.set(5);  // a replacement grows too
    EXPECT_EQ(sizes(m.map), (Sizes{16, 12, 4}));
    const std::pair<int, Sizes> steps[] = {{0, {16, 12, 4}}, {1, {16, 12, 4}}, {2, {8, 6, 2}},
                                           {3, {8, 6, 2}},   {4, {4, 3, 1}},   {5, {4, 3, 1}}};
    for (const auto& [key, after] : steps) {
        m.del(key);
        EXPECT_EQ(sizes(m.map), after) << "after deleting " << key;
    }
    for (int k : {0, 1, 2, 3}) m.set(k);
    EXPECT_EQ(sizes(m.map), (Sizes{8, 6, 2}));
}

// Keys 0, 1 and 2 lie in buckets 6, 7 and 0. A walk that reports the end
// starts over; a delete that finds its key starts it over too.
TEST(Map, IteratorRestarts) {
    IntMap m({0, 1, 2});
    qelt_variant *k = m.map.get(), *v = m.map.get();
    uint8_t found = 9;
    for (int32_t want : {2, 0, 1, -1, 2}) {
        ASSERT_EQ(qelt_variant_map_next(m.map.get(), &k, &v, &found), QELT_SUCCESS);
        if (want < 0) EXPECT_TRUE(found == 0 && k == nullptr && v == nullptr);
        if (want >= 0) EXPECT_TRUE(found == 1 && k->value.i32 == want && v->value.i32 == 100 + want) << want;
    }
    m.del(77);
    EXPECT_EQ(walk(m.map), (std::vector<int32_t>{0, 1}));
    ASSERT_EQ(qelt_variant_map_next(m.map.get(), &k, nullptr, &found), QELT_SUCCESS);
    m.del(1);
    EXPECT_EQ(walk(m.map), (std::vector<int32_t>{2, 0}));
    ASSERT_EQ(qelt_variant_map_next(m.map.get(), &k, nullptr, &found), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_map_first(m.map.get()), QELT_SUCCESS);
    EXPECT_EQ(walk(m.map), (std::vector<int32_t>{2, 0}));
    EXPECT_TRUE(walk(IntMap({}).map).empty());
}

// Replacing by an equal key keeps the entry's place and holds the new key;
// a null value deletes, present or not.
TEST(Map, SetGetDeleteKeepReferenceCounts) {
    IntMap m({0, 1, 2});
    OwnedVariant k1 = make(qelt_variant_new_string_c, "key", 4u),
                 k2 = make(qelt_variant_new_string_c, "key", 4u);
    OwnedVariant v1 = i32(1), v2 = i32(2);
    ASSERT_EQ(qelt_variant_map_set(m.map.get(), k1.get(), v1.get()), QELT_SUCCESS);
    std::vector<qelt_variant*> order = walk_keys(m.map);
    ASSERT_EQ(qelt_variant_map_set(m.map.get(), k2.get(), v2.get()), QELT_SUCCESS);
    std::replace(order.begin(), order.end(), k1.get(), k2.get());
    EXPECT_EQ(walk_keys(m.map), order);
    EXPECT_EQ(refcounts({k1.get(), k2.get(), v1.get(), v2.get()}), (std::vector<int>{1, 2, 1, 2}));
    qelt_variant* got = nullptr;
    uint8_t found = 9;
    uint32_t size = 0;
    EXPECT_EQ(qelt_variant_map_get(m.map.get(), k1.get(), &got), QELT_SUCCESS);
    EXPECT_EQ(got, v2.get());
    EXPECT_EQ(qelt_variant_map_get(m.map.get(), i32(7).get(), &got), QELT_ERR_KEY_NOT_EXISTS);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(qelt_variant_map_set(m.map.get(), i32(7).get(), nullptr), QELT_SUCCESS);
    EXPECT_EQ(qelt_variant_map_set(m.map.get(), k1.get(), nullptr), QELT_SUCCESS);
    EXPECT_EQ(qelt_variant_map_haskey(m.map.get(), k2.get(), &found), QELT_SUCCESS);
    EXPECT_EQ(qelt_variant_map_get_size(m.map.get(), &size), QELT_SUCCESS);
    EXPECT_TRUE(found == 0 && size == 3);
    EXPECT_EQ(refcounts({k2.get(), v2.get()}), (std::vector<int>{1, 1}));

    ASSERT_EQ(qelt_variant_map_clear(m.map.get()), QELT_SUCCESS);
    EXPECT_EQ(m.map->value.ptr, nullptr);  // the table goes with a clear
    EXPECT_EQ(m.keys[0]->refcount, 1);
    m.set(3);  // and comes back as new
    EXPECT_EQ(sizes(m.map), (Sizes{8, 6, 0}));
}

// A key or value at its reference limit is refused like any failed set, and
// the reference already taken is given back.
TEST(Map, ChecksComeInOrder) {
    OwnedVariant m = make(qelt_variant_new_map), k = i32(1), v = i32(2), not_map = i32(3), full = i32(4);
    full->refcount = 65535;
    qelt_variant* out = nullptr;
    uint8_t found = 7;
    const std::pair<qelt_err, qelt_err> cases[] = {
        {qelt_variant_map_set(m.get(), m.get(), v.get()), QELT_ERR_CIRCULAR_REFERENCE},
        {qelt_variant_map_set(m.get(), k.get(), m.get()), QELT_ERR_CIRCULAR_REFERENCE},
        {qelt_variant_map_set(nullptr, k.get(), nullptr), QELT_ERR_CIRCULAR_REFERENCE},
        {qelt_variant_map_set(nullptr, k.get(), v.get()), QELT_ERR_NULL_PTR},
        {qelt_variant_map_set(not_map.get(), k.get(), v.get()), QELT_ERR_INVALID_TYPE},
        {qelt_variant_map_set(m.get(), full.get(), v.get()), QELT_ERR_NULL_PTR},
        {qelt_variant_map_set(m.get(), k.get(), full.get()), QELT_ERR_NULL_PTR},
        {qelt_variant_map_get(m.get(), m.get(), &out), QELT_ERR_CIRCULAR_REFERENCE},
        {qelt_variant_map_haskey(not_map.get(), k.get(), nullptr), QELT_ERR_NULL_PTR},
        {qelt_variant_map_haskey(m.get(), m.get(), &found), QELT_ERR_CIRCULAR_REFERENCE},
        {qelt_variant_map_delete(nullptr, k.get()), QELT_ERR_CIRCULAR_REFERENCE},
        {qelt_variant_map_delete(not_map.get(), nullptr), QELT_ERR_NULL_PTR},
        {qelt_variant_map_next(not_map.get(), nullptr, nullptr, nullptr), QELT_ERR_INVALID_TYPE},
        {qelt_variant_map_next(m.get(), nullptr, nullptr, &found), QELT_ERR_NULL_PTR},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
    EXPECT_EQ(found, 0);  // written by haskey's error, not by next's
    uint32_t size = 9;
    EXPECT_EQ(qelt_variant_map_get_size(m.get(), &size), QELT_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(refcounts({k.get(), v.get(), full.get()}), (std::vector<int>{1, 1, 65535}));
    full->refcount = 1;
}

TEST(MapOutOfMemory, FailedShrinkKeepsTheTable) {
    // In 16 buckets the int32 keys 0 and 8 lie in slots 6 and 14, so halving
    // chains 8 behind 0 in a new node; 1 keeps bucket 7 of its own.
    IntMap m({0, 1, 8, 9, 10, 11, 12});
    for (int k : {10, 11, 12}) m.del(k);
    OwnedVariant nine = i32(9);
    qelt_pool_fail_in(2);
    // 3 < shrink_at 4: the bucket array comes, the node does not.
    EXPECT_EQ(qelt_variant_map_delete(m.map.get(), nine.get()), QELT_SUCCESS);
    qelt_pool_fail_in(0);
    EXPECT_EQ(sizes(m.map), (Sizes{16, 12, 4}));
    EXPECT_EQ(table(m.map.get())->used_buckets, 3u);
    EXPECT_EQ(walk(m.map), (std::vector<int32_t>{0, 8, 1}));

    m.del(1);  // this shrink goes through
    EXPECT_EQ(sizes(m.map), (Sizes{8, 6, 2}));
    EXPECT_EQ(table(m.map.get())->used_buckets, 1u);
    EXPECT_EQ(walk(m.map), (std::vector<int32_t>{0, 8}));
}

TEST(MapOutOfMemory, FailedSetsLeaveTheMapUsable) {
    OwnedVariant empty = make(qelt_variant_new_map), k = i32(0), v = i32(1);
    for (int nth : {1, 2, 3}) {  // body, table, then the bucket array
        qelt_pool_fail_in(nth);
        EXPECT_EQ(qelt_variant_map_set(empty.get(), k.get(), v.get()), QELT_ERR_NULL_PTR);
        EXPECT_EQ(empty->value.ptr, nullptr);
    }
    IntMap m({0});
    OwnedVariant k8 = i32(8);  // 8 shares 0's bucket: its set needs a node
    qelt_pool_fail_in(1);
    EXPECT_EQ(qelt_variant_map_set(m.map.get(), k8.get(), v.get()), QELT_ERR_NULL_PTR);
    qelt_pool_fail_in(1);
    qelt_variant* out = k8.get();
    EXPECT_EQ(qelt_variant_new_map(&out), QELT_ERR_OUT_OF_MEMORY);
    EXPECT_EQ(out, nullptr);
    qelt_pool_fail_in(0);

    EXPECT_EQ(refcounts({k.get(), k8.get(), v.get()}), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(walk(m.map), (std::vector<int32_t>{0}));
    EXPECT_EQ(qelt_variant_map_set(m.map.get(), k8.get(), v.get()), QELT_SUCCESS);
    EXPECT_EQ(qelt_variant_map_clear(m.map.get()), QELT_SUCCESS);
    EXPECT_EQ(refcounts({m.keys[0].get(), k8.get()}), (std::vector<int>{1, 1}));
}

// The deleted value may hold the last reference to the map it leaves: the
// map dies inside the call, which must not touch it afterwards, not even to
// shrink it.
TEST(Map, DeleteThatDestroysTheMapItself) {
    qelt_variant* map = make(qelt_variant_new_map).release();
    qelt_variant* back = make(qelt_variant_new_list).release();
    OwnedVariant witness = i32(-1), key = i32(-2);
    for (int k = 0; k < 7; ++k) ASSERT_EQ(qelt_variant_map_set(map, i32(k).get(), witness.get()), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_map_set(map, key.get(), back), QELT_SUCCESS);
    for (int k = 0; k < 4; ++k) ASSERT_EQ(qelt_variant_map_delete(map, i32(k).get()), QELT_SUCCESS);
    ASSERT_EQ(table(map)->count, table(map)->shrink_at);  // one more delete shrinks
    ASSERT_EQ(qelt_variant_list_append(back, map, nullptr), QELT_SUCCESS);
    qelt_variant_decref(back);
    qelt_variant_decref(map);
    EXPECT_EQ(qelt_variant_map_delete(map, key.get()), QELT_SUCCESS);
    EXPECT_EQ(refcounts({witness.get(), key.get()}), (std::vector<int>{1, 1}));
}

// ---------------------------------------------------------------------------
// Hash flooding: long chains
// ---------------------------------------------------------------------------

namespace {

// Binaries of ten six-byte blocks, each block one of two that add the same to
// the hash: 1024 distinct keys with one hash, so one chain.
OwnedVariant colliding(uint32_t id) {
    static const uint8_t blocks[2][6] = {{0x72, 0x7a, 0x74, 0x2f, 0xc5, 0xcc},
                                         {0x67, 0x2d, 0x78, 0x23, 0xfa, 0x47}};
    uint8_t data[60];
    for (int b = 0; b < 10; ++b) std::memcpy(data + 6 * b, blocks[(id >> b) & 1], 6);
    return make(qelt_variant_new_binary, static_cast<const void*>(data), uint32_t{60}, uint8_t{0});
}
const uint32_t kCollidingHash = [] {
    uint32_t h = 0;
    qelt_variant_get_hash(colliding(0).get(), &h);
    return h;
}();

// The ids of the colliding keys in iteration order.
std::vector<uint32_t> colliding_walk(const OwnedVariant& m) {
    std::vector<uint32_t> ids;
    for (qelt_variant* k : walk_keys(m)) {
        if (k->type != QELT_VARIANT_TYPE_BINARY) continue;
        uint32_t id = 0;
        for (int b = 0; b < 10; ++b) id |= uint32_t{static_cast<uint8_t*>(k->value.ptr)[6 * b] == 0x67} << b;
        ids.push_back(id);
    }
    return ids;
}

uint32_t int32_hash(int32_t v) {
    const uint64_t bytes = static_cast<uint32_t>(v);  // the value field, little-endian
    return qelt_hash_bytes(QELT_VARIANT_TYPE_INT32, 0, &bytes, 8);
}

bool chain_indexed(qelt_variant* map) {
    const qelt_hashtable* t = table(map);
    return t->buckets[kCollidingHash & (t->bucket_count - 1)].index != nullptr;
}

}  // namespace

// Random sets, replacements, deletes and lookups of colliding keys and of
// int32 keys whose hashes differ but share the low 10 bits (the same chain
// while the table has at most 1024 buckets), growing the table and shrinking
// it again. A model holds what a plain chain gives: the colliding keys in the
// order they were first set, and each key's last value.
TEST(MapFlood, LongChainsKeepOrderAndFindEveryKey) {
    std::vector<int32_t> ints;
    for (int32_t v = 0; ints.size() < 200; ++v) {
        const uint32_t h = int32_hash(v);
        if ((h & 1023) == (kCollidingHash & 1023) && h != kCollidingHash) ints.push_back(v);
    }
    OwnedVariant m = make(qelt_variant_new_map);
    std::vector<uint32_t> order;
    std::map<int64_t, int32_t> values;  // colliding id, or -1 - index into ints
    std::mt19937 rng(13);
    for (const int percent_set : {80, 30, 80, 5}) {
        for (int step = 0; step < 3000; ++step) {
            const bool use_int = rng() % 4 == 0;
            const uint32_t pick = rng() % (use_int ? ints.size() : 700);
            const int64_t id = use_int ? -1 - int64_t{pick} : int64_t{pick};
            OwnedVariant key = use_int ? i32(ints[pick]) : colliding(pick);
            const auto at = values.find(id);
            const int roll = static_cast<int>(rng() % 100);
            if (roll < percent_set) {
                ASSERT_EQ(qelt_variant_map_set(m.get(), key.get(), i32(step).get()), QELT_SUCCESS);
                if (at == values.end() && !use_int) order.push_back(pick);
                values[id] = step;
            } else if (roll % 2 == 0) {
                ASSERT_EQ(qelt_variant_map_delete(m.get(), key.get()), QELT_SUCCESS);
                if (at != values.end()) values.erase(at);
                if (!use_int) order.erase(std::remove(order.begin(), order.end(), pick), order.end());
            } else {
                qelt_variant* got = nullptr;
                uint8_t found = 9;
                ASSERT_EQ(qelt_variant_map_haskey(m.get(), key.get(), &found), QELT_SUCCESS);
                EXPECT_EQ(qelt_variant_map_get(m.get(), key.get(), &got),
                          at != values.end() ? QELT_SUCCESS : QELT_ERR_KEY_NOT_EXISTS);
                const bool present = at != values.end();
                EXPECT_TRUE(found == present && (present ? got->value.i32 == at->second : !got)) << id;
            }
        }
        EXPECT_EQ(colliding_walk(m), order);
        EXPECT_EQ(table(m.get())->count, values.size());
        if (order.size() >= 16) EXPECT_TRUE(chain_indexed(m.get())) << order.size();
    }
}

// An indexed chain loses its head (each successor moving into the slot) and
// its tail, with keys appended in between: each append must land behind the
// chain's true last entry. 30 keys of other buckets keep the table at 64
// buckets, so no shrink rebuilds the index.
TEST(MapFlood, IndexedChainLosesHeadAndTail) {
    IntMap m({});
    for (int k = 0; m.keys.size() < 30; ++k) {
        if ((int32_hash(k) & 63) != (kCollidingHash & 63)) m.set(k);
    }
    std::vector<uint32_t> order;
    auto set = [&](uint32_t id) {
        ASSERT_EQ(qelt_variant_map_set(m.map.get(), colliding(id).get(), i32(0).get()), QELT_SUCCESS);
        order.push_back(id);
    };
    auto del = [&](uint32_t id) {
        ASSERT_EQ(qelt_variant_map_delete(m.map.get(), colliding(id).get()), QELT_SUCCESS);
        order.erase(std::find(order.begin(), order.end(), id));
    };
    for (uint32_t id = 0; id < 10; ++id) set(id);
    ASSERT_TRUE(chain_indexed(m.map.get()));
    for (uint32_t id = 0; id < 9; ++id) del(id);  // down to [9]
    set(10), del(10), set(11), del(9), set(12), set(13), del(13), set(14);
    EXPECT_TRUE(chain_indexed(m.map.get()));
    EXPECT_EQ(colliding_walk(m.map), order);
    EXPECT_EQ(table(m.map.get())->count, 30 + order.size());
}

// Without memory for its index a chain is walked as before; the next key set
// into it indexes it again.
TEST(MapFloodOutOfMemory, ChainWithoutIndexStillWorks) {
    OwnedVariant m = make(qelt_variant_new_map);
    std::vector<OwnedVariant> keys;
    for (uint32_t id = 0; id < 11; ++id) keys.push_back(colliding(id));
    // A set's allocations: the entry, then the index (when the chain reaches
    // 8 entries) or its new element.
    auto set = [&](uint32_t id, int fail) {
        qelt_pool_fail_in(fail);
        EXPECT_EQ(qelt_variant_map_set(m.get(), keys[id].get(), keys[id].get()), QELT_SUCCESS);
        qelt_pool_fail_in(0);
    };
    for (uint32_t id = 0; id < 7; ++id) set(id, 0);
    set(7, 2);
    EXPECT_FALSE(chain_indexed(m.get()));
    set(8, 0);
    EXPECT_TRUE(chain_indexed(m.get()));
    set(9, 2);
    EXPECT_FALSE(chain_indexed(m.get()));
    set(10, 0);
    EXPECT_TRUE(chain_indexed(m.get()));
    EXPECT_EQ(colliding_walk(m), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    for (uint32_t id = 0; id < 12; ++id) {
        uint8_t found = 9;
        ASSERT_EQ(qelt_variant_map_haskey(m.get(), colliding(id).get(), &found), QELT_SUCCESS);
        EXPECT_EQ(found, id < 11) << id;
    }
}
