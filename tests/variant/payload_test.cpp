#include "owned_variant.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

struct StringKind {
    uint8_t subtype;
    qelt_err (*make)(qelt_variant**, const char*, uint32_t);
    qelt_err (*read)(const qelt_variant*, const char**, uint32_t*);
};
const StringKind kKinds[] = {
    {QELT_STRING_TYPE_C, qelt_variant_new_string_c, qelt_variant_as_string_c},
    {QELT_STRING_TYPE_UTF8, qelt_variant_new_string_utf8, qelt_variant_as_string_utf8},
};

TEST(String, CapacityBoundsTheSearch) {
    const struct {
        std::string buffer;
        uint32_t capacity;
        qelt_err rc;
        std::string stored;
    } cases[] = {
        {std::string("abc\0", 4), 4, QELT_SUCCESS, std::string("abc\0", 4)},
        {std::string("\0", 1), 1, QELT_SUCCESS, std::string("\0", 1)},
        {std::string("a\0b\0", 4), 4, QELT_SUCCESS, std::string("a\0", 2)},
        {std::string("abc", 3), 3, QELT_ERR_WRONG_STRING_SIZE, ""},
        {std::string("abc\0", 4), 0, QELT_ERR_WRONG_STRING_SIZE, ""},
    };
    for (const StringKind& kind : kKinds) {
        for (const auto& c : cases) {
            // An exact-size heap copy lets the sanitizer catch a read past it.
            auto buffer = std::make_unique<char[]>(c.buffer.size());
            std::memcpy(buffer.get(), c.buffer.data(), c.buffer.size());
            qelt_variant sentinel{};
            qelt_variant* raw = &sentinel;  // a failure must clear it
            ASSERT_EQ(kind.make(&raw, buffer.get(), c.capacity), c.rc) << int(kind.subtype);
            if (c.rc != QELT_SUCCESS) {
                EXPECT_EQ(raw, nullptr);
                continue;
            }
            OwnedVariant v(raw);
            buffer[0] = 'X';  // the variant holds its own copy
            const char* text = nullptr;
            uint32_t size = 0;
            ASSERT_EQ(kind.read(v.get(), &text, &size), QELT_SUCCESS);
            EXPECT_EQ(std::string(text, size), c.stored);
            EXPECT_EQ(v->size, size);
            EXPECT_EQ(kind.read(v.get(), &text, nullptr), QELT_SUCCESS);
        }
    }
}

TEST(Binary, StoresCopyAndAnyBinaryType) {
    unsigned char data[] = {0, 1, 0, 255};
    OwnedVariant v = make(qelt_variant_new_binary, data, 4u, uint8_t{200});
    data[0] = 9;
    const void* out = nullptr;
    uint32_t length = 0;
    uint8_t type = 0;
    ASSERT_EQ(qelt_variant_as_binary(v.get(), &out, &length, &type), QELT_SUCCESS);
    const unsigned char expected[] = {0, 1, 0, 255};
    ASSERT_EQ(length, sizeof expected);
    EXPECT_EQ(std::memcmp(out, expected, length), 0);
    EXPECT_EQ(type, 200);
}

// Fields are stored as given, unchecked; the padding byte is zero whatever
// the caller's copy held, since hashing and equality read it.
TEST(Timestamp, FieldsUncheckedAndPaddingZero) {
    qelt_timestamp in;
    std::memset(&in, 0xAA, sizeof in);  // the padding byte of the caller's copy
    in.year = -1;
    in.month = 13;
    in.day = 31;
    in.hour = 23;
    in.minute = 59;
    in.second = 60;
    in.microsecond = 5000000;
    OwnedVariant v = make(qelt_variant_new_timestamp, &in);
    EXPECT_EQ(v->size, 12u);
    const qelt_timestamp* out = nullptr;
    ASSERT_EQ(qelt_variant_as_timestamp(v.get(), &out), QELT_SUCCESS);
    ASSERT_NE(out, &in);
    const unsigned char expected[12] = {0xFF, 0xFF, 13, 31, 23, 59, 60, 0, 0x40, 0x4B, 0x4C, 0x00};
    EXPECT_EQ(std::memcmp(out, expected, 12), 0);
}

// Null checks come before the size and the type; a refused read writes nothing.
TEST(Payload, Refusals) {
    OwnedVariant utf8 = make(qelt_variant_new_string_utf8, "abc", 4u), none = make(qelt_variant_new_none);
    const char* text = "untouched";
    uint32_t size = 99;
    const void* data = nullptr;
    const qelt_timestamp* stamp = nullptr;
    uint8_t type = 0;
    qelt_variant sentinel{};
    qelt_variant* out = &sentinel;
    const std::pair<qelt_err, qelt_err> cases[] = {
        {qelt_variant_new_string_c(nullptr, "abc", 0), QELT_ERR_NULL_PTR},
        {qelt_variant_new_string_utf8(&out, nullptr, 4), QELT_ERR_NULL_PTR},
        {qelt_variant_as_string_c(utf8.get(), &text, &size), QELT_ERR_INVALID_TYPE},
        {qelt_variant_as_string_utf8(none.get(), &text, &size), QELT_ERR_INVALID_TYPE},
        {qelt_variant_as_string_c(nullptr, &text, &size), QELT_ERR_NULL_PTR},
        {qelt_variant_new_binary(&out, "x", 0, 0), QELT_ERR_WRONG_STRING_SIZE},
        {qelt_variant_new_binary(&out, nullptr, 0, 0), QELT_ERR_NULL_PTR},
        {qelt_variant_new_binary(nullptr, "x", 0, 0), QELT_ERR_WRONG_STRING_SIZE},
        {qelt_variant_new_binary(nullptr, "x", 1, 0), QELT_ERR_NULL_PTR},
        {qelt_variant_as_binary(utf8.get(), &data, &size, &type), QELT_ERR_INVALID_TYPE},
        {qelt_variant_as_binary(utf8.get(), &data, &size, nullptr), QELT_ERR_NULL_PTR},
        {qelt_variant_new_timestamp(&out, nullptr), QELT_ERR_NULL_PTR},
        {qelt_variant_as_timestamp(nullptr, &stamp), QELT_ERR_NULL_PTR},
        {qelt_variant_as_timestamp(none.get(), &stamp), QELT_ERR_INVALID_TYPE},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(size, 99u);
    EXPECT_TRUE(data == nullptr && stamp == nullptr && out == nullptr);
}

}  // namespace
