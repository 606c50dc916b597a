#include "owned_variant.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

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
    using New = qelt_err (*)(qelt_variant**, const char*, uint32_t);
    using As = qelt_err (*)(const qelt_variant*, const char**, uint32_t*);
    const std::pair<New, As> kinds[] = {{qelt_variant_new_string_c, qelt_variant_as_string_c},
                                        {qelt_variant_new_string_utf8, qelt_variant_as_string_utf8}};
    for (const auto& [make_string, read] : kinds) {
        for (const auto& c : cases) {
            // An exact-size heap copy lets the sanitizer catch a read past it.
            auto buffer = std::make_unique<char[]>(c.buffer.size());
            std::memcpy(buffer.get(), c.buffer.data(), c.buffer.size());
            qelt_variant sentinel{};
            qelt_variant* raw = &sentinel;  // a failure must clear it
            ASSERT_EQ(make_string(&raw, buffer.get(), c.capacity), c.rc);
            if (c.rc != QELT_SUCCESS) {
                EXPECT_EQ(raw, nullptr);
                continue;
            }
            OwnedVariant v(raw);
            buffer[0] = 'X';  // the variant holds its own copy
            const char* text = nullptr;
            uint32_t size = 0;
            ASSERT_EQ(read(v.get(), &text, &size), QELT_SUCCESS);
            EXPECT_EQ(std::string(text, size), c.stored);
            EXPECT_EQ(v->size, size);
        }
    }
}

// Timestamp fields are stored unchecked, and the padding byte is zero whatever
// the caller's copy held, since hashing and equality read it.
TEST(Payload, BinaryAndTimestampHoldTheirOwnCopies) {
    unsigned char data[] = {0, 1, 0, 255};
    OwnedVariant blob = make(qelt_variant_new_binary, data, 4u, uint8_t{200});
    data[0] = 9;
    const void* out = nullptr;
    uint32_t length = 0;
    uint8_t type = 0;
    ASSERT_EQ(qelt_variant_as_binary(blob.get(), &out, &length, &type), QELT_SUCCESS);
    EXPECT_EQ(std::string(static_cast<const char*>(out), length), std::string("\0\1\0\xFF", 4));
    EXPECT_EQ(type, 200);

    qelt_timestamp in;
    std::memset(&in, 0xAA, sizeof in);
    in.year = -1;
    in.month = 13;
    in.microsecond = 5000000;
    OwnedVariant ts = make(qelt_variant_new_timestamp, &in);
    const qelt_timestamp* stored = nullptr;
    ASSERT_EQ(qelt_variant_as_timestamp(ts.get(), &stored), QELT_SUCCESS);
    ASSERT_NE(stored, &in);
    const unsigned char expected[12] = {0xFF, 0xFF, 13, 0xAA, 0xAA, 0xAA, 0xAA, 0, 0x40, 0x4B, 0x4C, 0};
    EXPECT_EQ(ts->size, 12u);
    EXPECT_EQ(std::memcmp(stored, expected, 12), 0);
}

// A null out-parameter is refused before the type is looked at, a missing
// terminator or an empty binary before the out-parameter; a refused read
// writes nothing.
TEST(Payload, Refusals) {
    OwnedVariant utf8 = make(qelt_variant_new_string_utf8, "abc", 4u), none = make(qelt_variant_new_none);
    const char* text = "untouched";
    const void* data = nullptr;
    const qelt_timestamp* stamp = nullptr;
    uint32_t length = 0;
    qelt_variant sentinel{};
    qelt_variant* out = &sentinel;
    const std::pair<qelt_err, qelt_err> cases[] = {
        {qelt_variant_new_string_c(nullptr, "abc", 0), QELT_ERR_NULL_PTR},
        {qelt_variant_as_string_c(utf8.get(), &text, nullptr), QELT_ERR_INVALID_TYPE},
        {qelt_variant_as_string_utf8(none.get(), &text, nullptr), QELT_ERR_INVALID_TYPE},
        {qelt_variant_new_binary(&out, "x", 0, 0), QELT_ERR_WRONG_STRING_SIZE},
        {qelt_variant_new_binary(nullptr, "x", 0, 0), QELT_ERR_WRONG_STRING_SIZE},
        {qelt_variant_new_binary(nullptr, "x", 1, 0), QELT_ERR_NULL_PTR},
        {qelt_variant_as_binary(utf8.get(), &data, &length, nullptr), QELT_ERR_NULL_PTR},
        {qelt_variant_as_timestamp(none.get(), &stamp), QELT_ERR_INVALID_TYPE},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
    EXPECT_STREQ(text, "untouched");
    EXPECT_TRUE(data == nullptr && stamp == nullptr && out == nullptr);
}

}  // namespace
