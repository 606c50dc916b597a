#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "qelt/qelt.h"
#include "qelt/qelt_bridge.h"
#include "qelt_bridge_internal.h"
#include "qelt_internal.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kHeader = {0x5F, 0x51, 0x45, 0x4C, 0x01, 0x00, 0x00};

Bytes with_header(std::initializer_list<uint8_t> body) {
    Bytes out = kHeader;
    out.insert(out.end(), body);
    return out;
}

// CTest runs tests of one executable side by side, so each test gets names
// of its own.
std::string temp_path(const char* name) {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string unique = std::string(test->test_suite_name()) + "." + test->name() + ".";
    for (char& c : unique) c = c == '/' ? '_' : c;  // parameterised names hold slashes
    return std::string(QEL_TEST_TMPDIR) + "/" + unique + name;
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Takes over the caller's reference: `adopt(list, make())` appends and drops ours.
qelt_variant* adopt(qelt_variant* list, qelt_variant* item) {
    EXPECT_EQ(qelt_variant_list_append(list, item, nullptr), QELT_SUCCESS);
    qelt_variant_decref(item);
    return item;
}

void put(qelt_variant* map, qelt_variant* key, qelt_variant* value) {
    EXPECT_EQ(qelt_variant_map_set(map, key, value), QELT_SUCCESS);
    qelt_variant_decref(key);
    qelt_variant_decref(value);
}

qelt_variant* cstr(const char* s) {
    qelt_variant* v = nullptr;
    EXPECT_EQ(qelt_variant_new_string_c(&v, s, static_cast<uint32_t>(std::strlen(s) + 1)), 0);
    return v;
}

qelt_variant* u8str(const char* s) {
    qelt_variant* v = nullptr;
    EXPECT_EQ(qelt_variant_new_string_utf8(&v, s, static_cast<uint32_t>(std::strlen(s) + 1)), 0);
    return v;
}

template <typename T>
qelt_variant* make(qelt_err (*ctor)(qelt_variant**, T), T value) {
    qelt_variant* v = nullptr;
    EXPECT_EQ(ctor(&v, value), QELT_SUCCESS);
    return v;
}

qelt_variant* new_list() {
    qelt_variant* v = nullptr;
    EXPECT_EQ(qelt_variant_new_list(&v), QELT_SUCCESS);
    return v;
}

qelt_variant* new_map() {
    qelt_variant* v = nullptr;
    EXPECT_EQ(qelt_variant_new_map(&v), QELT_SUCCESS);
    return v;
}

// A tree read back holds every record once: each count is 1, held by its
// container (the root's by the caller).
void expect_single_owners(qelt_variant* v) {
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->refcount, 1);
    qelt_variant *key = nullptr, *item = nullptr;
    if (v->type == QELT_VARIANT_TYPE_LIST) {
        for (int32_t i = 0; qelt_variant_list_get_item(v, &item, i) == QELT_SUCCESS; ++i) {
            expect_single_owners(item);
        }
    } else if (v->type == QELT_VARIANT_TYPE_MAP) {
        uint8_t found = 0;
        while (qelt_variant_map_next(v, &key, &item, &found) == QELT_SUCCESS && found) {
            expect_single_owners(key);
            expect_single_owners(item);
        }
    }
}

Bytes write_bytes(qelt_variant* root) {
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(qelt_write_to_buffer(root, &buffer, &size), QELT_SUCCESS);
    Bytes out(buffer, buffer + size);
    qelt_free_buffer(buffer);
    return out;
}

qelt_err read_bytes(const Bytes& bytes, qelt_variant** out) {
    *out = nullptr;
    return qelt_read_from_buffer(out, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// A map holding every value type, both string subtypes, binary types,
// timestamps with out-of-range fields, nested and empty containers.
qelt_variant* every_type_tree() {
    qelt_variant* root = new_map();
    put(root, cstr("f64"), make(qelt_variant_new_float64, -0.0));
    put(root, cstr("f32"), make(qelt_variant_new_float32, 0.1f));
    put(root, cstr("f16 subnormal"), make<uint16_t>(qelt_variant_new_float16, 0x0001));
    put(root, cstr("f16 max"), make<uint16_t>(qelt_variant_new_float16, 0xFBFF));
    put(root, cstr("i64"), make<int64_t>(qelt_variant_new_int64, INT64_MIN));
    put(root, cstr("i32"), make<int32_t>(qelt_variant_new_int32, -7));
    put(root, cstr("i16"), make<int16_t>(qelt_variant_new_int16, INT16_MIN));
    put(root, cstr("i8"), make<int8_t>(qelt_variant_new_int8, -128));
    put(root, cstr("u64"), make<uint64_t>(qelt_variant_new_uint64, UINT64_MAX));
    put(root, cstr("u32"), make<uint32_t>(qelt_variant_new_uint32, UINT32_MAX));
    put(root, cstr("u16"), make<uint16_t>(qelt_variant_new_uint16, 65535));
    put(root, cstr("u8"), make<uint8_t>(qelt_variant_new_uint8, 255));
    put(root, cstr("bool 2"), make<uint8_t>(qelt_variant_new_bool, 2));
    qelt_variant* none = nullptr;
    qelt_variant_new_none(&none);
    put(root, u8str("none"), none);
    put(root, u8str("utf8 ü"), u8str("grüße"));
    put(root, u8str("empty"), cstr(""));
    qelt_variant* blob = nullptr;
    const uint8_t bytes[] = {0, 1, 2, 0xFF};
    qelt_variant_new_binary(&blob, bytes, sizeof bytes, 200);
    put(root, cstr("blob"), blob);
    qelt_variant* ts = nullptr;
    const qelt_timestamp odd = {-1, 13, 32, 25, 61, 61, 5000000};
    qelt_variant_new_timestamp(&ts, &odd);
    put(root, cstr("timestamp"), ts);
    // Keys of other types than strings.
    put(root, make<int32_t>(qelt_variant_new_int32, 42), cstr("int key"));
    qelt_variant* inner = new_list();
    adopt(inner, new_map());
    adopt(inner, new_list());
    qelt_variant* nested = adopt(inner, new_map());
    put(nested, make<uint8_t>(qelt_variant_new_bool, 1), cstr("deep"));
    put(root, cstr("nested"), inner);
    return root;
}

}  // namespace

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

TEST(BridgeWrite, EmptyRootsAreOpeningAndEndMarker) {
    qelt_variant* list = new_list();
    qelt_variant* map = new_map();
    EXPECT_EQ(write_bytes(list), with_header({0x30, 0x00}));
    EXPECT_EQ(write_bytes(map), with_header({0x31, 0x00}));
    qelt_variant_decref(list);
    qelt_variant_decref(map);
}

TEST(BridgeWrite, WorkedMapStream) {
    qelt_variant* map = new_map();
    put(map, cstr("a"), make<int8_t>(qelt_variant_new_int8, 5));
    EXPECT_EQ(write_bytes(map),
              with_header({0x31, 0x04, 0x00, 0x02, 0, 0, 0, 0x61, 0x00, 0x08, 0x05, 0x00}));
    qelt_variant_decref(map);
}

TEST(BridgeWrite, RefusedRootsAndNullArguments) {
    qelt_variant* scalar = make<int64_t>(qelt_variant_new_int64, 1);
    uint8_t* buffer = reinterpret_cast<uint8_t*>(1);
    uint32_t size = 99;
    EXPECT_EQ(qelt_write_to_buffer(scalar, &buffer, &size), QELT_ERR_INVALID_TYPE);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(qelt_write_to_buffer(nullptr, &buffer, &size), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_write_to_buffer(scalar, nullptr, &size), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_free_buffer(nullptr), QELT_ERR_NULL_PTR);

    // A refused root leaves an existing file as it was.
    const std::string path = temp_path("keep.qel");
    { std::ofstream(path, std::ios::binary) << "precious"; }
    EXPECT_EQ(qelt_write_to_file(scalar, path.c_str(), path.size() + 1), QELT_ERR_INVALID_TYPE);
    EXPECT_EQ(qelt_write_to_file(nullptr, path.c_str(), path.size() + 1), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_write_to_file(scalar, nullptr, 5), QELT_ERR_NULL_PTR);
    const Bytes kept = read_file(path);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "precious");
    qelt_variant_decref(scalar);
}

TEST(BridgeWrite, WriterRefusalsPassThrough) {
    // A NaN float16 fails in the writer; the file keeps header and opening.
    qelt_variant* list = new_list();
    adopt(list, make<uint16_t>(qelt_variant_new_float16, 0x7E00));
    const std::string path = temp_path("nan.qel");
    EXPECT_EQ(qelt_write_to_file(list, path.c_str(), path.size() + 1), QEL_ERR_INVALID);
    EXPECT_EQ(read_file(path), with_header({0x30}));
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(qelt_write_to_buffer(list, &buffer, &size), QEL_ERR_INVALID);
    EXPECT_EQ(buffer, nullptr);
    qelt_variant_decref(list);

    // Bytes that never reach the disk are a failed write, even when they only
    // fail at the final flush.
    qelt_variant* small = new_list();
    if (FILE* probe = std::fopen("/dev/full", "wb")) {
        std::fclose(probe);
        EXPECT_EQ(qelt_write_to_file(small, "/dev/full", 10), QEL_ERR_FILE);
    }
    qelt_variant_decref(small);

    // A container as a map key is the writer's refusal too, also when it is
    // the list that holds the map.
    qelt_variant* map = new_map();
    put(map, new_list(), cstr("v"));
    EXPECT_EQ(qelt_write_to_buffer(map, &buffer, &size), QEL_ERR_NOT_ALLOWED);
    EXPECT_EQ(qelt_variant_map_clear(map), QELT_SUCCESS);
    qelt_variant* outer = new_list();
    adopt(outer, map);
    qelt_variant* value = cstr("v");
    EXPECT_EQ(qelt_variant_map_set(map, outer, value), QELT_SUCCESS);
    qelt_variant_decref(value);
    EXPECT_EQ(qelt_write_to_buffer(outer, &buffer, &size), QEL_ERR_NOT_ALLOWED);
    EXPECT_EQ(qelt_variant_map_clear(map), QELT_SUCCESS);
    qelt_variant_decref(outer);
}

TEST(BridgeWrite, CyclesAreRefusedButSharingIsNot) {
    // list -> map -> list: a walk would never end.
    qelt_variant* list = new_list();
    qelt_variant* map = new_map();
    EXPECT_EQ(qelt_variant_list_append(list, map, nullptr), QELT_SUCCESS);
    qelt_variant* key = cstr("back");
    EXPECT_EQ(qelt_variant_map_set(map, key, list), QELT_SUCCESS);
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(qelt_write_to_buffer(list, &buffer, &size), QELT_ERR_CIRCULAR_REFERENCE);
    // Break the cycle so both can be freed.
    EXPECT_EQ(qelt_variant_map_delete(map, key), QELT_SUCCESS);
    qelt_variant_decref(key);

    // The same map twice in one list is written twice, completely.
    put(map, cstr("k"), make<int8_t>(qelt_variant_new_int8, 1));
    EXPECT_EQ(qelt_variant_list_append(list, map, nullptr), QELT_SUCCESS);
    const Bytes once = {0x31, 0x04, 0x00, 0x02, 0, 0, 0, 0x6B, 0x00, 0x08, 0x01, 0x00};
    Bytes expected = kHeader;
    expected.push_back(0x30);
    expected.insert(expected.end(), once.begin(), once.end());
    expected.insert(expected.end(), once.begin(), once.end());
    expected.push_back(0x00);
    EXPECT_EQ(write_bytes(list), expected);
    uint16_t count = 0;
    qelt_variant_get_refcount(map, &count);
    EXPECT_EQ(count, 3);  // ours and two list slots: writing takes no reference
    qelt_variant_decref(map);
    qelt_variant_decref(list);
}

TEST(BridgeWrite, NullItemsAndValuesAreWrittenAsNone) {
    // No library call stores a null, but a body can hold one; poke it in and
    // restore it before the containers are freed.
    qelt_variant* list = new_list();
    qelt_variant* item = adopt(list, make<int8_t>(qelt_variant_new_int8, 1));
    auto* items = static_cast<qelt_list*>(list->value.ptr)->items;
    items[0] = nullptr;
    EXPECT_EQ(write_bytes(list), with_header({0x30, 0x0F, 0x00}));
    items[0] = item;
    qelt_variant_decref(list);

    // The int32 keys 0 and 8 share a bucket: 8 lies in an overflow entry,
    // whose key may be poked to null without the bucket looking empty.
    qelt_variant* map = new_map();
    put(map, make<int32_t>(qelt_variant_new_int32, 0), make<int8_t>(qelt_variant_new_int8, 3));
    put(map, make<int32_t>(qelt_variant_new_int32, 8), make<int8_t>(qelt_variant_new_int8, 4));
    qelt_hashtable* table = static_cast<qelt_map*>(map->value.ptr)->table;
    qelt_hashtable_entry* overflow = table->buckets[6].next;
    ASSERT_NE(overflow, nullptr);
    qelt_variant* value = overflow->value;
    overflow->value = nullptr;
    EXPECT_EQ(write_bytes(map), with_header({0x31, 0x06, 0, 0, 0, 0, 0x08, 0x03,
                                             0x06, 8, 0, 0, 0, 0x0F, 0x00}));
    qelt_variant* key = overflow->key;
    overflow->key = nullptr;  // a null key has no meaning: refused
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(qelt_write_to_buffer(map, &buffer, &size), QELT_ERR_NULL_PTR);
    overflow->key = key;
    overflow->value = value;
    qelt_variant_decref(map);

    qel_writer* w = nullptr;
    ASSERT_EQ(qel_writer_new_buffer(&w), QEL_SUCCESS);
    EXPECT_EQ(qelt_write_variant(w, nullptr), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_write_variant(nullptr, map), QELT_ERR_NULL_PTR);
    qel_writer_free(w);
}

// Records that no constructor makes: a string of an unknown subtype and a
// record of an unknown type.
TEST(BridgeWrite, UnknownSubtypeAndTypeAreRefused) {
    qelt_variant* list = new_list();
    qelt_variant* text = adopt(list, cstr("x"));
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    text->subtype = 2;
    EXPECT_EQ(qelt_write_to_buffer(list, &buffer, &size), QELT_ERR_NYI);
    text->subtype = QELT_STRING_TYPE_C;
    text->type = 16;
    EXPECT_EQ(qelt_write_to_buffer(list, &buffer, &size), QELT_ERR_INVALID_TYPE);
    text->type = QELT_VARIANT_TYPE_STRING;
    qelt_variant_decref(list);
}

// ---------------------------------------------------------------------------
// Round trips
// ---------------------------------------------------------------------------

TEST(BridgeRoundTrip, EveryValueTypeThroughBytesAndFile) {
    qelt_variant* root = every_type_tree();
    const Bytes bytes = write_bytes(root);

    // Written again, the copy gives the same bytes: every type, subtype,
    // value and list order came back, and each map was rebuilt in the order
    // its keys were written.
    qelt_variant* copy = nullptr;
    ASSERT_EQ(read_bytes(bytes, &copy), QELT_SUCCESS);
    expect_single_owners(copy);
    EXPECT_EQ(write_bytes(copy), bytes);

    const std::string path = temp_path("every.qel");
    ASSERT_EQ(qelt_write_to_file(root, path.c_str(), path.size() + 1), QELT_SUCCESS);
    EXPECT_EQ(read_file(path), bytes);
    qelt_variant* from_file = nullptr;
    ASSERT_EQ(qelt_read_from_file(&from_file, path.c_str(), path.size() + 1), QELT_SUCCESS);
    expect_single_owners(from_file);
    EXPECT_EQ(write_bytes(from_file), bytes);

    qelt_variant_decref(from_file);
    qelt_variant_decref(copy);
    qelt_variant_decref(root);
}

TEST(BridgeRoundTrip, RepeatedKeyKeepsTheLaterValueAndTrailingBytesAreIgnored) {
    const Bytes stream = with_header(
        {0x31, 0x08, 0x01, 0x08, 0x0A, 0x08, 0x01, 0x08, 0x0B, 0x00, 0xDE, 0xAD});
    qelt_variant* root = nullptr;
    ASSERT_EQ(read_bytes(stream, &root), QELT_SUCCESS);
    uint32_t size = 0;
    qelt_variant_map_get_size(root, &size);
    EXPECT_EQ(size, 1u);
    qelt_variant* key = make<int8_t>(qelt_variant_new_int8, 1);
    qelt_variant* value = nullptr;
    ASSERT_EQ(qelt_variant_map_get(root, key, &value), QELT_SUCCESS);
    int8_t got = 0;
    qelt_variant_as_int8(value, &got);
    EXPECT_EQ(got, 11);
    qelt_variant_decref(key);
    qelt_variant_decref(root);
}

// ---------------------------------------------------------------------------
// Refused streams
// ---------------------------------------------------------------------------

struct BadStream {
    const char* what;
    Bytes bytes;
    qelt_err code;
};

TEST(BridgeRead, StreamsThatAreNotTrees) {
    const BadStream cases[] = {
        {"value before any container", with_header({0x08, 0x01}), QELT_ERR_ILLEGAL_FILE_CONTENT},
        {"end of data inside a list", with_header({0x30, 0x08, 0x01}), QEL_ERR_FILE},
        {"odd element count in a map", with_header({0x31, 0x08, 0x01, 0x00}),
         QELT_ERR_ILLEGAL_FILE_CONTENT},
        {"null-flagged element", with_header({0x30, 0x88, 0x00}), QELT_ERR_NYI},
        {"null-flagged container", with_header({0x30, 0xB0, 0x00}), QELT_ERR_NYI},
        {"date element", with_header({0x30, 0x11, 0xE2, 0x07, 1, 1, 0x00}), QELT_ERR_NYI},
        {"table", with_header({0x32, 0x00, 0x00}), QELT_ERR_NYI},
        {"utf-16 string", with_header({0x30, 0x04, 0x02, 1, 0, 0, 0, 0, 0, 0x00}), QELT_ERR_NYI},
        {"string of zero units", with_header({0x30, 0x04, 0x00, 0, 0, 0, 0, 0x00}),
         QELT_ERR_WRONG_STRING_SIZE},
        {"binary of zero bytes", with_header({0x30, 0x0E, 0x07, 0, 0, 0, 0, 0x00}),
         QELT_ERR_WRONG_STRING_SIZE},
        {"string without terminator", with_header({0x30, 0x04, 0x00, 2, 0, 0, 0, 'a', 'b', 0x00}),
         QELT_ERR_WRONG_STRING_SIZE},
        {"bad magic", {0x5F, 0x51, 0x45, 0x4D, 0x01, 0x00, 0x00, 0x30, 0x00}, QEL_ERR_INVALID},
        {"end marker at document level", with_header({0x00}), QEL_ERR_INVALID},
        {"huge declared binary", with_header({0x30, 0x0E, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}),
         QEL_ERR_FILE},
        // A list in key position whose nested map would otherwise take the
        // list itself as its first key.
        {"container as a map key",
         with_header({0x31, 0x30, 0x31, 0x08, 0x01, 0x00, 0x00, 0x08, 0x05, 0x08, 0x06, 0x00, 0x00}),
         QELT_ERR_ILLEGAL_FILE_CONTENT},
        {"empty map as a map key", with_header({0x31, 0x31, 0x00, 0x08, 0x05, 0x00}),
         QELT_ERR_ILLEGAL_FILE_CONTENT},
    };
    for (const BadStream& c : cases) {
        SCOPED_TRACE(c.what);
        qelt_variant* out = reinterpret_cast<qelt_variant*>(&out);  // must stay untouched
        qelt_variant* const sentinel = out;
        EXPECT_EQ(qelt_read_from_buffer(&out, c.bytes.data(), static_cast<uint32_t>(c.bytes.size())),
                  c.code);
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

// Every prefix of a valid stream fails, from bytes and from a file; every
// single-byte change either reads or fails. Run under AddressSanitizer this
// also proves that no partial tree is leaked and nothing is read past the end.
TEST(BridgeRead, PrefixesAndByteFlipsNeverSucceedWrongly) {
    qelt_variant* root = every_type_tree();
    const Bytes stream = write_bytes(root);
    qelt_variant_decref(root);
    const std::string path = temp_path("prefix.qel");

    testing::internal::CaptureStdout();  // the format library reports every failure
    for (size_t n = 0; n < stream.size(); ++n) {
        const Bytes prefix(stream.begin(), stream.begin() + n);
        qelt_variant* out = nullptr;
        EXPECT_NE(qelt_read_from_buffer(&out, prefix.data(), static_cast<uint32_t>(n)), QELT_SUCCESS)
            << n;
        EXPECT_EQ(out, nullptr);
        { std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(prefix.data()), n); }
        EXPECT_NE(qelt_read_from_file(&out, path.c_str(), path.size() + 1), QELT_SUCCESS) << n;
        EXPECT_EQ(out, nullptr);
    }
    for (size_t i = 0; i < stream.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes mutated = stream;
            mutated[i] ^= static_cast<uint8_t>(1u << bit);
            qelt_variant* out = nullptr;
            if (read_bytes(mutated, &out) == QELT_SUCCESS) {
                ASSERT_NE(out, nullptr);
                qelt_variant_decref(out);
            } else {
                EXPECT_EQ(out, nullptr);
            }
        }
    }
    testing::internal::GetCapturedStdout();
}

// ---------------------------------------------------------------------------
// Depth
// ---------------------------------------------------------------------------

class BridgeDeep : public testing::TestWithParam<bool> {};

// A million nested containers: written, read back and freed without native
// recursion (each would otherwise cost a stack frame).
TEST_P(BridgeDeep, MillionLevels) {
    const bool maps = GetParam();
    constexpr int kDepth = 1000000;
    qelt_variant* root = maps ? new_map() : new_list();
    qelt_variant* cur = root;
    for (int i = 1; i < kDepth; ++i) {
        qelt_variant* child = maps ? new_map() : new_list();
        if (maps) {
            put(cur, make<int32_t>(qelt_variant_new_int32, i), child);
        } else {
            adopt(cur, child);
        }
        cur = child;
    }
    const Bytes bytes = write_bytes(root);
    EXPECT_EQ(bytes.size(), kHeader.size() + kDepth * (maps ? 7u : 2u) - (maps ? 5u : 0u));
    qelt_variant_decref(root);

    qelt_variant* copy = nullptr;
    ASSERT_EQ(read_bytes(bytes, &copy), QELT_SUCCESS);
    EXPECT_EQ(write_bytes(copy), bytes);
    qelt_variant_decref(copy);
}

INSTANTIATE_TEST_SUITE_P(ListsAndMaps, BridgeDeep, testing::Bool(),
                         [](const auto& info) { return info.param ? "Maps" : "Lists"; });
