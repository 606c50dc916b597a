#include <cstring>
#include <limits>

#include "qel_test_util.h"

namespace {

// One struct per row of the library's scalar list: C type, type code,
// emitter and accessor. A wrong row shows in the writer's bytes.
#define QEL_SCALAR(name, T, TYPE, member)                                                   \
    struct Scalar_##name {                                                                  \
        using type = T;                                                                     \
        static constexpr uint8_t type_code = QEL_TYPE_##TYPE;                               \
        static constexpr auto write = &qel_writer_write_##name;                             \
        static constexpr auto get = &qel_element_get_##name;                                \
        static constexpr const char* test = "QEL_TYPE_" #TYPE " == e->type_with_null_flag"; \
    };
QEL_SCALAR_TYPES(QEL_SCALAR)
#undef QEL_SCALAR

template <typename Traits>
class QelScalar : public testing::Test {};
using Scalars =
    testing::Types<Scalar_int8, Scalar_int16, Scalar_int32, Scalar_int64, Scalar_uint8, Scalar_uint16,
                   Scalar_uint32, Scalar_uint64, Scalar_float16, Scalar_float32, Scalar_float64, Scalar_bool>;
TYPED_TEST_SUITE(QelScalar, Scalars);

// Each value read back bit for bit; the same element with the null flag or
// another type's byte is a mismatch.
TYPED_TEST(QelScalar, ExtremesRoundTripAndOtherTypesAreMismatches) {
    using T = typename TypeParam::type;
    std::vector<T> values{std::numeric_limits<T>::lowest(), T{0}, T{1}, std::numeric_limits<T>::max()};
    if constexpr (TypeParam::type_code == QEL_TYPE_FLOAT16) values = {0x0000, 0x8000, 0x0001, 0x7BFF, 0xFBFF};
    qel_writer* w = nullptr;
    qel_writer_new_buffer(&w);
    qel_writer_list_open(w);
    for (T v : values) ASSERT_EQ(TypeParam::write(w, v), QEL_SUCCESS);
    const Bytes stream = contents(w);
    qel_writer_free(w);
    qel_reader* r = nullptr;
    qel_reader_new_buffer(&r);
    qel_reader_set_buffer(r, stream.data() + 8, stream.size() - 8);  // the values alone
    qel_element* e = nullptr;
    uint8_t eod = 0;
    T got{};
    for (T expected : values) {
        qel_element_free(e);
        ASSERT_EQ(qel_reader_next_value(r, &e, &eod), QEL_SUCCESS);
        EXPECT_EQ(TypeParam::get(e, &got), QEL_SUCCESS);
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof(T)), 0);
    }
    qel_reader_free(r);
    const uint8_t other = TypeParam::type_code == QEL_TYPE_INT8 ? QEL_TYPE_UINT8 : QEL_TYPE_INT8;
    for (uint8_t byte : {uint8_t(TypeParam::type_code | QEL_NULL_FLAG), other}) {
        e->type_with_null_flag = byte;
        expect_refusals({{[&] { return TypeParam::get(e, &got); }, "element type mismatch", TypeParam::test}});
    }
    expect_refusals({{[&] { return TypeParam::get(nullptr, &got); }, "invalid handle", "e"}});
    qel_element_free(e);
}

TEST(QelElement, AccessorsCheckInTheirOrder) {
    qel_element u8{}, bin{}, null_string{};
    u8.type_with_null_flag = QEL_TYPE_STRING;
    u8.string.type = QEL_SUB_STRING_U8;
    bin.type_with_null_flag = QEL_TYPE_BIN;
    null_string.type_with_null_flag = QEL_TYPE_STRING | QEL_NULL_FLAG;
    const char* text = nullptr;
    uint32_t units = 0;
    uint8_t type = 0;
    expect_refusals({
        {[&] { return qel_element_get_string_c(nullptr, nullptr, &units); }, "missing str parameter", "str"},
        {[&] { return qel_element_get_string_c(nullptr, &text, nullptr); }, "missing units parameter", "units"},
        {[&] { return qel_element_get_string_u8(nullptr, &text, &units); }, "invalid handle", "e"},
        {[&] { return qel_element_get_string_c(&u8, &text, &units); }, "string type mismatch",
         "QEL_SUB_STRING_C == e->string.type"},
        {[&] { return qel_element_get_string_u8(&bin, &text, &units); }, "element type mismatch",
         "QEL_TYPE_STRING == (QEL_TYPE_MASK & e->type_with_null_flag)"},
        {[&] { return qel_element_get_binary(&u8, nullptr, nullptr, nullptr); }, "element type mismatch",
         "QEL_TYPE_BIN == (QEL_TYPE_MASK & e->type_with_null_flag)"},
        {[&] { return qel_element_get_string_type(&null_string, &type); }, "element type mismatch",
         "QEL_TYPE_STRING == e->type_with_null_flag"},
        {[&] { return qel_element_get_timestamp(&u8, nullptr); }, "element type mismatch",
         "QEL_TYPE_TIMESTAMP == e->type_with_null_flag"},
        {[&] { return qel_element_get_type(nullptr, &type, nullptr); }, "invalid handle", "NULL != e"},
        {[&] { return qel_element_get_type(&u8, nullptr, nullptr); }, "missing parameter", "NULL != value"},
    });
    EXPECT_EQ(qel_element_get_string_type(&u8, &type), QEL_SUCCESS);
    EXPECT_EQ(type, QEL_SUB_STRING_U8);
    EXPECT_EQ(qel_element_free(nullptr), QEL_SUCCESS);
    // A null-flagged binary gives no data whatever its bytes hold.
    static uint8_t stale[3] = {1, 2, 3};
    bin.type_with_null_flag |= QEL_NULL_FLAG;
    bin.binary = {7, stale, 3};
    const uint8_t* data = stale;
    type = units = 1;
    ASSERT_EQ(qel_element_get_binary(&bin, &type, &data, &units), QEL_SUCCESS);
    EXPECT_EQ(std::tie(type, data, units), std::make_tuple(uint8_t{0}, nullptr, 0u));
}

}  // namespace
