#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "alloc_failure.h"
#include "owned_variant.h"
#include "pool.h"
#include "qel_test_util.h"
#include "qelt/qelt_bridge.h"
#include "qelt_bridge_internal.h"
#include "qelt_internal.h"

namespace {

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The containers take their own references; the returned item or value is
// borrowed.
qelt_variant* adopt(qelt_variant* list, OwnedVariant item) {
    EXPECT_EQ(qelt_variant_list_append(list, item.get(), nullptr), QELT_SUCCESS);
    return item.get();
}
qelt_variant* put(qelt_variant* map, OwnedVariant key, OwnedVariant value) {
    EXPECT_EQ(qelt_variant_map_set(map, key.get(), value.get()), QELT_SUCCESS);
    return value.get();
}
OwnedVariant cstr(const char* s) { return make(qelt_variant_new_string_c, s, uint32_t(std::strlen(s) + 1)); }
OwnedVariant u8str(const char* s) {
    return make(qelt_variant_new_string_utf8, s, uint32_t(std::strlen(s) + 1));
}
OwnedVariant new_list() { return make(qelt_variant_new_list); }
OwnedVariant new_map() { return make(qelt_variant_new_map); }

// A tree read back holds every record once: each count is 1, held by its
// container (the root's by the caller).
void expect_single_owners(qelt_variant* v) {
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->refcount, 1);
    qelt_variant *key = nullptr, *item = nullptr;
    uint8_t found = 0;
    for (int32_t i = 0; qelt_variant_list_get_item(v, &item, i) == QELT_SUCCESS; ++i) {
        expect_single_owners(item);
    }
    while (qelt_variant_map_next(v, &key, &item, &found) == QELT_SUCCESS && found) {
        expect_single_owners(key);
        expect_single_owners(item);
    }
}

// The bytes of a tree, written to a buffer and to a file. A refused tree is
// refused both ways alike, and the file keeps its old contents.
Bytes write_bytes(qelt_variant* root, qelt_err expected = QELT_SUCCESS) {
    uint8_t* buffer = reinterpret_cast<uint8_t*>(1);
    uint32_t size = 99;
    const qelt_err rc = qelt_write_to_buffer(root, &buffer, &size);
    EXPECT_EQ(rc, expected);
    const std::string path = temp_path("written.qel");
    { std::ofstream(path, std::ios::binary) << "kept"; }
    EXPECT_EQ(qelt_write_to_file(root, path.c_str(), path.size() + 1), expected);
    if (rc != QELT_SUCCESS) {
        EXPECT_TRUE(buffer == nullptr && size == 0);
        EXPECT_EQ(read_file(path), (Bytes{'k', 'e', 'p', 't'}));
        return {};
    }
    Bytes out(buffer, buffer + size);
    qelt_free_buffer(buffer);
    EXPECT_EQ(read_file(path), out);
    return out;
}
Bytes write_bytes(const OwnedVariant& root) { return write_bytes(root.get()); }

OwnedVariant read_bytes(const Bytes& bytes) {
    qelt_variant* out = nullptr;
    EXPECT_EQ(qelt_read_from_buffer(&out, bytes.data(), uint32_t(bytes.size())), QELT_SUCCESS);
    return OwnedVariant(out);
}

// A map holding every value type, both string subtypes, binary types,
// timestamps with out-of-range fields, nested and empty containers.
OwnedVariant every_type_tree() {
    OwnedVariant root = new_map();
    qelt_variant* m = root.get();
    put(m, cstr("f64"), make(qelt_variant_new_float64, -0.0));
    put(m, cstr("f32"), make(qelt_variant_new_float32, 0.1f));
    put(m, cstr("f16 subnormal"), make(qelt_variant_new_float16, uint16_t{0x0001}));
    put(m, cstr("f16 max"), make(qelt_variant_new_float16, uint16_t{0xFBFF}));
    put(m, cstr("i64"), make(qelt_variant_new_int64, int64_t{INT64_MIN}));
    put(m, cstr("i32"), i32(-7));
    put(m, cstr("i16"), make(qelt_variant_new_int16, int16_t{INT16_MIN}));
    put(m, cstr("i8"), make(qelt_variant_new_int8, int8_t{-128}));
    put(m, cstr("u64"), make(qelt_variant_new_uint64, uint64_t{UINT64_MAX}));
    put(m, cstr("u32"), make(qelt_variant_new_uint32, uint32_t{UINT32_MAX}));
    put(m, cstr("u16"), make(qelt_variant_new_uint16, uint16_t{65535}));
    put(m, cstr("u8"), make(qelt_variant_new_uint8, uint8_t{255}));
    put(m, cstr("bool 2"), make(qelt_variant_new_bool, uint8_t{2}));
    put(m, u8str("none"), make(qelt_variant_new_none));
    put(m, u8str("utf8 ü"), u8str("grüße"));
    put(m, u8str("empty"), cstr(""));
    const uint8_t bytes[] = {0, 1, 2, 0xFF};
    put(m, cstr("blob"), make(qelt_variant_new_binary, static_cast<const void*>(bytes), 4u, uint8_t{200}));
    const qelt_timestamp odd = {-1, 13, 32, 25, 61, 61, 5000000};
    put(m, cstr("timestamp"), make(qelt_variant_new_timestamp, &odd));
    put(m, i32(42), cstr("int key"));
    OwnedVariant inner = new_list();
    adopt(inner.get(), new_map());
    adopt(inner.get(), new_list());
    put(adopt(inner.get(), new_map()), make(qelt_variant_new_bool, uint8_t{1}), cstr("deep"));
    put(m, cstr("nested"), std::move(inner));
    return root;
}

}  // namespace

// Writing ---------------------------------------------------------------------

TEST(BridgeWrite, EmptyRootsAndRefusedRoots) {
    EXPECT_EQ(write_bytes(new_list()), with_header("30 00"));
    EXPECT_EQ(write_bytes(new_map()), with_header("31 00"));

    OwnedVariant scalar = make(qelt_variant_new_int64, int64_t{1});
    write_bytes(scalar.get(), QELT_ERR_INVALID_TYPE);
    write_bytes(nullptr, QELT_ERR_NULL_PTR);
    uint32_t size = 0;
    EXPECT_EQ(qelt_write_to_buffer(scalar.get(), nullptr, &size), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_write_to_file(scalar.get(), nullptr, 5), QELT_ERR_NULL_PTR);
}

TEST(BridgeWrite, WriterRefusalsPassThrough) {
    // A float16 NaN or infinity fails in the writer, after the file was begun.
    OwnedVariant list = new_list();
    adopt(list.get(), make(qelt_variant_new_float16, uint16_t{0x7E00}));
    write_bytes(list.get(), QEL_ERR_INVALID);
    adopt(list.get(), make(qelt_variant_new_float16, uint16_t{0xFC00}));
    ASSERT_EQ(qelt_variant_list_delete_item(list.get(), 0), QELT_SUCCESS);
    write_bytes(list.get(), QEL_ERR_INVALID);

    // Bytes that never reach the disk are a failed write, even when they only
    // fail at the final flush.
    if (FILE* probe = std::fopen("/dev/full", "wb")) {
        std::fclose(probe);
        EXPECT_EQ(qelt_write_to_file(new_list().get(), "/dev/full", 10), QEL_ERR_FILE);
    }

    // A container as a map key is the writer's refusal too, also when it is
    // the list that holds the map.
    OwnedVariant map = new_map();
    put(map.get(), new_list(), cstr("v"));
    write_bytes(map.get(), QEL_ERR_NOT_ALLOWED);
    EXPECT_EQ(qelt_variant_map_clear(map.get()), QELT_SUCCESS);
    OwnedVariant outer = new_list();
    qelt_variant* inner = adopt(outer.get(), std::move(map));
    ASSERT_EQ(qelt_variant_map_set(inner, outer.get(), cstr("v").get()), QELT_SUCCESS);
    write_bytes(outer.get(), QEL_ERR_NOT_ALLOWED);
    EXPECT_EQ(qelt_variant_map_clear(inner), QELT_SUCCESS);
}

TEST(BridgeWrite, CyclesAreRefusedButSharingIsNot) {
    // list -> map -> list: a walk would never end.
    OwnedVariant list = new_list(), map = new_map(), key = cstr("back");
    ASSERT_EQ(qelt_variant_list_append(list.get(), map.get(), nullptr), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_map_set(map.get(), key.get(), list.get()), QELT_SUCCESS);
    write_bytes(list.get(), QELT_ERR_CIRCULAR_REFERENCE);
    ASSERT_EQ(qelt_variant_map_delete(map.get(), key.get()), QELT_SUCCESS);

    // The same map twice in one list is written twice, completely; writing
    // takes no reference.
    put(map.get(), cstr("k"), make(qelt_variant_new_int8, int8_t{1}));
    ASSERT_EQ(qelt_variant_list_append(list.get(), map.get(), nullptr), QELT_SUCCESS);
    EXPECT_EQ(write_bytes(list),
              with_header("30  31 04 00 02 00 00 00 6B 00 08 01 00  31 04 00 02 00 00 00 6B 00 08 01 00  00"));
    EXPECT_EQ(map->refcount, 3);
}

// Records that no library call makes: null items, values and keys, a string
// of an unknown subtype, a record of an unknown type. Each is poked in and
// restored before the containers are freed.
TEST(BridgeWrite, RecordsNoConstructorMakes) {
    OwnedVariant list = new_list();
    qelt_variant* text = adopt(list.get(), cstr("x"));
    qelt_variant*& slot = static_cast<qelt_list*>(list->value.ptr)->items[0];
    slot = nullptr;
    EXPECT_EQ(write_bytes(list), with_header("30 0F 00"));
    slot = text;
    text->subtype = 2;
    write_bytes(list.get(), QELT_ERR_NYI);
    text->subtype = QELT_STRING_TYPE_C;
    text->type = 16;
    write_bytes(list.get(), QELT_ERR_INVALID_TYPE);
    text->type = QELT_VARIANT_TYPE_STRING;

    // The int32 keys 0 and 8 share a bucket: 8 lies in an overflow entry,
    // whose key may be poked to null without the bucket looking empty.
    OwnedVariant map = new_map();
    put(map.get(), i32(0), make(qelt_variant_new_int8, int8_t{3}));
    put(map.get(), i32(8), make(qelt_variant_new_int8, int8_t{4}));
    qelt_hashtable_entry* overflow = static_cast<qelt_map*>(map->value.ptr)->table->buckets[6].next;
    ASSERT_NE(overflow, nullptr);
    const qelt_hashtable_entry saved = *overflow;
    overflow->value = nullptr;
    EXPECT_EQ(write_bytes(map), with_header("31  06 00 00 00 00 08 03  06 08 00 00 00 0F  00"));
    overflow->key = nullptr;  // a null key has no meaning: refused
    write_bytes(map.get(), QELT_ERR_NULL_PTR);
    *overflow = saved;
}

// Round trips -----------------------------------------------------------------

// Written again, a copy gives the same bytes: every type, subtype, value and
// list order came back, and each map was rebuilt in the order its keys were
// written.
TEST(BridgeRoundTrip, EveryValueTypeThroughBytesAndFile) {
    const OwnedVariant root = every_type_tree();
    const Bytes bytes = write_bytes(root);
    const OwnedVariant copy = read_bytes(bytes);
    expect_single_owners(copy.get());
    EXPECT_EQ(write_bytes(copy), bytes);

    const std::string path = temp_path("written.qel");  // where write_bytes put them
    qelt_variant* raw = nullptr;
    ASSERT_EQ(qelt_read_from_file(&raw, path.c_str(), path.size() + 1), QELT_SUCCESS);
    const OwnedVariant from_file(raw);
    expect_single_owners(from_file.get());
    EXPECT_EQ(write_bytes(from_file), bytes);
}

TEST(BridgeRoundTrip, RepeatedKeyKeepsTheLaterValueAndTrailingBytesAreIgnored) {
    const Bytes stream = with_header("31 08 01 08 0A 08 01 08 0B 00 DE AD");
    EXPECT_EQ(write_bytes(read_bytes(stream)), with_header("31 08 01 08 0B 00"));
}

// Refused streams -------------------------------------------------------------

struct BadStream {
    const char* what;
    Bytes bytes;
    qelt_err code;
};

TEST(BridgeRead, StreamsThatAreNotTrees) {
    const qelt_err kIllegal = QELT_ERR_ILLEGAL_FILE_CONTENT, kSize = QELT_ERR_WRONG_STRING_SIZE;
    const BadStream cases[] = {
        {"value before any container", with_header("08 01"), kIllegal},
        {"end of data inside a list", with_header("30 08 01"), QEL_ERR_FILE},  // the reader's own code
        {"odd element count in a map", with_header("31 08 01 00"), kIllegal},
        {"null-flagged element", with_header("30 88 00"), QELT_ERR_NYI},
        {"null-flagged container", with_header("30 B0 00"), QELT_ERR_NYI},
        {"date element", with_header("30 11 E2 07 01 01 00"), QELT_ERR_NYI},
        {"table", with_header("32 00 00"), QELT_ERR_NYI},
        {"utf-16 string", with_header("30 04 02 01 00 00 00 00 00 00"), QELT_ERR_NYI},
        {"string of zero units", with_header("30 04 00 00 00 00 00 00"), kSize},
        {"binary of zero bytes", with_header("30 0E 07 00 00 00 00 00"), kSize},
        {"string without terminator", with_header("30 04 00 02 00 00 00 61 62 00"), kSize},
        // A list in key position whose nested map would otherwise take the
        // list itself as its first key.
        {"container as a map key", with_header("31 30 31 08 01 00 00 08 05 08 06 00 00"), kIllegal},
        {"empty map as a map key", with_header("31 31 00 08 05 00"), kIllegal},
    };
    for (const BadStream& c : cases) {
        SCOPED_TRACE(c.what);
        qelt_variant* out = reinterpret_cast<qelt_variant*>(&out);  // must stay untouched
        qelt_variant* const sentinel = out;
        EXPECT_EQ(qelt_read_from_buffer(&out, c.bytes.data(), uint32_t(c.bytes.size())), c.code);
        EXPECT_EQ(out, sentinel);
    }
}

TEST(BridgeRead, NullArgumentsAndMissingFiles) {
    qelt_variant* out = nullptr;
    const uint8_t byte = 0;
    EXPECT_EQ(qelt_read_from_buffer(nullptr, &byte, 1), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_read_from_buffer(&out, nullptr, 1), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_read_from_file(&out, nullptr, 1), QELT_ERR_NULL_PTR);
    const std::string missing = temp_path("does-not-exist.qel");
    EXPECT_EQ(qelt_read_from_file(&out, missing.c_str(), missing.size() + 1), QEL_ERR_FILE);
    EXPECT_EQ(qelt_read_from_file(&out, "", 0), QEL_ERR_SIZE);
    EXPECT_EQ(out, nullptr);
}

// Each allocation of a read refused in turn, first the variant library's
// (records, payloads, container bodies and arrays), then the C library's (the
// reader, the builder's stack of open containers): the read fails with a
// code, leaves *out alone and leaves no record of the partial tree behind. A
// refused table resize is no failure, and the tree read is then whole.
TEST(BridgeReadOutOfMemory, NoPartialTreeSurvives) {
    const Bytes stream = write_bytes(every_type_tree());
    auto live_records = [] {
        qelt_pool_stats stats{};
        qelt_pool_get_stats(&stats);
        return stats.records;
    };
    const size_t records = live_records();
    const struct {
        void (*arm)(long n);
        bool (*reached)();
    } hooks[] = {{[](long n) { qelt_pool_fail_in(int(n) + 1); }, [] { return qelt_pool_fail_in(0) == 0; }},
                 {alloc_failure::fail_at, alloc_failure::disarm}};
    testing::internal::CaptureStdout();  // the format library reports its failures
    for (const auto& hook : hooks) {
        for (long n = 0;; ++n) {
            qelt_variant* out = reinterpret_cast<qelt_variant*>(&out);
            qelt_variant* const sentinel = out;
            hook.arm(n);
            const qelt_err err = qelt_read_from_buffer(&out, stream.data(), uint32_t(stream.size()));
            const bool reached = hook.reached();
            if (err == QELT_SUCCESS) {
                EXPECT_EQ(write_bytes(OwnedVariant(out)), stream) << n;
                if (!reached) break;
            } else {
                EXPECT_TRUE(reached) << n;
                EXPECT_EQ(out, sentinel) << n;
            }
            EXPECT_EQ(live_records(), records) << n;
        }
    }
    testing::internal::GetCapturedStdout();
}

// Depth -----------------------------------------------------------------------

class BridgeDeep : public testing::TestWithParam<bool> {};

// A million nested containers: written, read back and freed without native
// recursion (each would otherwise cost a stack frame).
TEST_P(BridgeDeep, MillionLevels) {
    const bool maps = GetParam();
    constexpr int kDepth = 1000000;
    OwnedVariant root = maps ? new_map() : new_list();
    qelt_variant* cur = root.get();
    for (int i = 1; i < kDepth; ++i) {
        OwnedVariant child = maps ? new_map() : new_list();
        cur = maps ? put(cur, i32(i), std::move(child)) : adopt(cur, std::move(child));
    }
    const Bytes bytes = write_bytes(root);
    EXPECT_EQ(bytes.size(), 7 + kDepth * (maps ? 7u : 2u) - (maps ? 5u : 0u));
    root.reset();
    EXPECT_EQ(write_bytes(read_bytes(bytes)), bytes);
}

INSTANTIATE_TEST_SUITE_P(ListsAndMaps, BridgeDeep, testing::Bool(),
                         [](const auto& info) { return info.param ? "Maps" : "Lists"; });
