#include <cstring>
#include <limits>

#include "qel_test_util.h"

namespace {

// One row per scalar type: its C type, type code, emitter, accessor and the
// accessor's type test as printed.
#define QEL_SCALAR_TRAITS(Name, T, code, value)                                         \
    struct Name {                                                                       \
        using type = T;                                                                 \
        static constexpr uint8_t type_code = code;                                      \
        static constexpr auto write = &qel_writer_write_##value;                        \
        static constexpr auto get = &qel_element_get_##value;                           \
        static constexpr const char* test = #code " == e->type_with_null_flag";          \
    };
QEL_SCALAR_TRAITS(Int8, int8_t, QEL_TYPE_INT8, int8)
QEL_SCALAR_TRAITS(Int16, int16_t, QEL_TYPE_INT16, int16)
QEL_SCALAR_TRAITS(Int32, int32_t, QEL_TYPE_INT32, int32)
QEL_SCALAR_TRAITS(Int64, int64_t, QEL_TYPE_INT64, int64)
QEL_SCALAR_TRAITS(Uint8, uint8_t, QEL_TYPE_UINT8, uint8)
QEL_SCALAR_TRAITS(Uint16, uint16_t, QEL_TYPE_UINT16, uint16)
QEL_SCALAR_TRAITS(Uint32, uint32_t, QEL_TYPE_UINT32, uint32)
QEL_SCALAR_TRAITS(Uint64, uint64_t, QEL_TYPE_UINT64, uint64)
QEL_SCALAR_TRAITS(Float16, uint16_t, QEL_TYPE_FLOAT16, float16)
QEL_SCALAR_TRAITS(Float32, float, QEL_TYPE_FLOAT32, float32)
QEL_SCALAR_TRAITS(Float64, double, QEL_TYPE_FLOAT64, float64)
QEL_SCALAR_TRAITS(Bool, uint8_t, QEL_TYPE_BOOL, bool)
#undef QEL_SCALAR_TRAITS

template <typename Traits>
class QelScalar : public testing::Test {};
using Scalars = testing::Types<Int8, Int16, Int32, Int64, Uint8, Uint16, Uint32, Uint64, Float16, Float32, Float64, Bool>;
TYPED_TEST_SUITE(QelScalar, Scalars);

// Writes the values in a list and decodes them one by one.
template <typename Traits>
std::vector<qel_element*> round_trip(const std::vector<typename Traits::type>& values) {
    qel_writer* w = nullptr;
    qel_writer_new_buffer(&w);
    qel_writer_list_open(w);
    for (auto v : values) EXPECT_EQ(Traits::write(w, v), QEL_SUCCESS);
    const Bytes stream = contents(w);
    qel_writer_free(w);
    qel_reader* r = nullptr;
    qel_reader_new_buffer(&r);
    qel_reader_set_buffer(r, stream.data() + 8, stream.size() - 8);  // past the header and the list's opening
    std::vector<qel_element*> out;
    for (size_t i = 0; i < values.size(); ++i) {
        qel_element* e = nullptr;
        uint8_t eod = 0;
        EXPECT_EQ(qel_reader_next_value(r, &e, &eod), QEL_SUCCESS);
        out.push_back(e);
    }
    qel_reader_free(r);
    return out;
}

TYPED_TEST(QelScalar, ExtremesRoundTripBitForBit) {
    using T = typename TypeParam::type;
    std::vector<T> values{std::numeric_limits<T>::lowest(), T{0}, T{1}};
    if constexpr (TypeParam::type_code == QEL_TYPE_FLOAT16) values = {0x0000, 0x8000, 0x0001, 0x7BFF, 0xFBFF};
    else values.push_back(std::numeric_limits<T>::max());
    const auto elements = round_trip<TypeParam>(values);
    for (size_t i = 0; i < values.size(); ++i) {
        T got{};
        ASSERT_EQ(TypeParam::get(elements[i], &got), QEL_SUCCESS);
        EXPECT_EQ(std::memcmp(&got, &values[i], sizeof(T)), 0) << i;
        uint8_t code = 0, flag = 1;
        ASSERT_EQ(qel_element_get_type(elements[i], &code, &flag), QEL_SUCCESS);
        EXPECT_EQ(code, TypeParam::type_code);
        EXPECT_EQ(flag, 0);
        qel_element_free(elements[i]);
    }
}

TYPED_TEST(QelScalar, OtherTypesAndNullFlagAreMismatches) {
    typename TypeParam::type got{};
    for (uint8_t byte : {uint8_t(TypeParam::type_code | QEL_NULL_FLAG), uint8_t(QEL_TYPE_NONE),
                         uint8_t(TypeParam::type_code == QEL_TYPE_INT8 ? QEL_TYPE_UINT8 : QEL_TYPE_INT8)}) {
        qel_element e{};
        e.type_with_null_flag = byte;
        const std::string out = captured([&] { EXPECT_EQ(TypeParam::get(&e, &got), QEL_ERR_INVALID); });
        EXPECT_NE(out.find(record("element type mismatch", TypeParam::test, 5503)), std::string::npos) << out;
    }
    const std::string out = captured([&] { EXPECT_EQ(TypeParam::get(nullptr, &got), QEL_ERR_INVALID); });
    EXPECT_NE(out.find(record("invalid handle", "e", 5503)), std::string::npos);
}

TEST(QelElement, StringAccessorsCheckInTheirOrder) {
    qel_element u8{};
    u8.type_with_null_flag = QEL_TYPE_STRING;
    u8.string.type = QEL_SUB_STRING_U8;
    const char* text = nullptr;
    uint32_t units = 0;
    struct Case { std::function<qel_err()> call; const char* message; const char* expression; };
    const Case cases[] = {
        {[&] { return qel_element_get_string_c(nullptr, nullptr, &units); }, "missing str parameter", "str"},
        {[&] { return qel_element_get_string_c(nullptr, &text, nullptr); }, "missing units parameter", "units"},
        {[&] { return qel_element_get_string_u8(nullptr, &text, &units); }, "invalid handle", "e"},
        {[&] { return qel_element_get_string_c(&u8, &text, &units); }, "string type mismatch", "QEL_SUB_STRING_C == e->string.type"},
        {[&] { qel_element bin{}; bin.type_with_null_flag = QEL_TYPE_BIN; return qel_element_get_string_u8(&bin, &text, &units); },
         "element type mismatch", "QEL_TYPE_STRING == (QEL_TYPE_MASK & e->type_with_null_flag)"},
        {[&] { return qel_element_get_binary(&u8, nullptr, nullptr, nullptr); }, "element type mismatch",
         "QEL_TYPE_BIN == (QEL_TYPE_MASK & e->type_with_null_flag)"},
        {[&] { qel_element n{}; n.type_with_null_flag = 0x84; uint8_t t; return qel_element_get_string_type(&n, &t); },
         "element type mismatch", "QEL_TYPE_STRING == e->type_with_null_flag"},
        {[&] { return qel_element_get_timestamp(&u8, nullptr); }, "element type mismatch", "QEL_TYPE_TIMESTAMP == e->type_with_null_flag"},
        {[&] { return qel_element_get_type(nullptr, nullptr, nullptr); }, "invalid handle", "NULL != e"},
        {[&] { return qel_element_get_type(&u8, nullptr, nullptr); }, "missing parameter", "NULL != value"},
    };
    for (const Case& c : cases) {
        const std::string out = captured([&] { EXPECT_EQ(c.call(), QEL_ERR_INVALID) << c.message; });
        EXPECT_NE(out.find(record(c.message, c.expression, 5503)), std::string::npos) << out;
    }
    EXPECT_EQ(qel_element_free(nullptr), QEL_SUCCESS);
}

TEST(QelElement, TimestampAndBinaryRoundTrip) {
    qel_writer* w = nullptr;
    qel_writer_new_buffer(&w);
    qel_writer_list_open(w);
    const qel_timestamp ts{-32768, 255, 1, 2, 3, 4, 0xFFFFFFFFu};
    qel_writer_write_timestamp(w, &ts);
    qel_writer_write_binary(w, 200, "xyz", 3);
    qel_writer_list_close(w);
    const Bytes stream = contents(w);
    qel_writer_free(w);
    qel_reader* r = nullptr;
    qel_reader_new_buffer(&r);
    qel_reader_set_buffer(r, stream.data() + 8, stream.size() - 8);
    qel_element* e = nullptr;
    uint8_t eod = 0;
    ASSERT_EQ(qel_reader_next_value(r, &e, &eod), QEL_SUCCESS);
    qel_timestamp got{};
    ASSERT_EQ(qel_element_get_timestamp(e, &got), QEL_SUCCESS);
    EXPECT_EQ(std::tie(got.year, got.month, got.day, got.hour, got.minute, got.second, got.microsecond),
              std::tie(ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second, ts.microsecond));
    qel_element_free(e);
    ASSERT_EQ(qel_reader_next_value(r, &e, &eod), QEL_SUCCESS);
    uint8_t subtype = 0;
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(qel_element_get_binary(e, &subtype, &data, &size), QEL_SUCCESS);
    EXPECT_EQ(subtype, 200);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size), "xyz");
    qel_element_free(e);
    qel_reader_free(r);
}

}  // namespace
