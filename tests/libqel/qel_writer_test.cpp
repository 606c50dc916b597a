#include "qel_writer.h"

#include <fstream>
#include <iterator>

#include "qel_test_util.h"

namespace {

class QelWriter : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qel_writer_new_buffer(&w), QEL_SUCCESS); }
    void TearDown() override { EXPECT_EQ(qel_writer_free(w), QEL_SUCCESS); }
    qel_writer* w = nullptr;
};

TEST_F(QelWriter, WorkedStreamsToBufferAndFile) {
    EXPECT_EQ(contents(w), with_header(""));
    const std::string name = temp_path("writer.qel");
    qel_writer* file = nullptr;
    ASSERT_EQ(qel_writer_new_file(&file, name.c_str(), name.size() + 1), QEL_SUCCESS);
    EXPECT_EQ(contents(file), Bytes{});
    for (qel_writer* each : {w, file}) {
        qel_writer_map_open(each);
        qel_writer_write_string_c(each, "a\0ignored", 9);
        qel_writer_write_int8(each, 5);
        ASSERT_EQ(qel_writer_map_close(each), QEL_SUCCESS);
    }
    ASSERT_EQ(qel_writer_free(file), QEL_SUCCESS);
    std::ifstream in(name, std::ios::binary);
    EXPECT_EQ(contents(w), with_header("31 04 00 02 00 00 00 61 00 08 05 00"));
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), contents(w));
}

TEST_F(QelWriter, EveryEmitterPairedWithItsBytes) {
    qel_writer_list_open(w);
    const qel_timestamp ts{-2, 12, 31, 23, 59, 58, 0x01020304};
    const std::pair<std::function<qel_err()>, const char*> cases[] = {
        {[&] { return qel_writer_write_float64(w, 1.0); }, "01 00 00 00 00 00 00 F0 3F"},
        {[&] { return qel_writer_write_float32(w, -2.0f); }, "02 00 00 00 C0"},
        {[&] { return qel_writer_write_float16(w, 0x7BFF); }, "03 FF 7B"},
        {[&] { return qel_writer_write_float16(w, 0x0001); }, "03 01 00"},
        {[&] { return qel_writer_write_int64(w, -2); }, "05 FE FF FF FF FF FF FF FF"},
        {[&] { return qel_writer_write_int32(w, 0x01020304); }, "06 04 03 02 01"},
        {[&] { return qel_writer_write_int16(w, -256); }, "07 00 FF"},
        {[&] { return qel_writer_write_int8(w, -1); }, "08 FF"},
        {[&] { return qel_writer_write_uint64(w, 0x0102030405060708u); }, "09 08 07 06 05 04 03 02 01"},
        {[&] { return qel_writer_write_uint32(w, 0xFFFFFFFEu); }, "0A FE FF FF FF"},
        {[&] { return qel_writer_write_uint16(w, 0x1234); }, "0B 34 12"},
        {[&] { return qel_writer_write_uint8(w, 200); }, "0C C8"},
        {[&] { return qel_writer_write_bool(w, 7); }, "0D 07"},
        {[&] { return qel_writer_write_binary(w, 9, "\xAA\xBB", 2); }, "0E 09 02 00 00 00 AA BB"},
        {[&] { return qel_writer_write_binary(w, 1, nullptr, 0); }, "0E 01 00 00 00 00"},
        {[&] { return qel_writer_write_none(w); }, "0F"},
        {[&] { return qel_writer_write_timestamp(w, &ts); }, "13 FE FF 0C 1F 17 3B 3A 04 03 02 01"},
        {[&] { return qel_writer_write_string_c(w, "", 1); }, "04 00 01 00 00 00 00"},
        {[&] { return qel_writer_write_string_u8(w, "\xC3\xA9", 3); }, "04 01 03 00 00 00 C3 A9 00"},
    };
    for (const auto& [call, bytes] : cases) {
        const size_t before = contents(w).size();
        ASSERT_EQ(call(), QEL_SUCCESS) << bytes;
        const Bytes all = contents(w);
        EXPECT_EQ(Bytes(all.begin() + before, all.end()), hex(bytes));
    }
}

TEST_F(QelWriter, RefusalsLeaveStreamAndStateUnchanged) {
    struct Case {
        int setup;
        std::function<qel_err()> call;
        int code;
        const char* message;
        const char* expression;
    };
    const char* atomic = "qel_state_allow_atomic(w->state->state)";
    const char* container = "qel_state_allow_container(w->state->state)";
    const char* close_map = "w->state->state==STATE_DICT_KEY";
    enum { kStart, kList, kMap, kKey, kDone };
    const Case cases[] = {
        {kStart, [&] { return qel_writer_write_int8(w, 1); }, 5504, "value not allowed", atomic},
        {kStart, [&] { return qel_writer_write_float16(w, 0x7E00); }, 5504, "value not allowed", atomic},
        {kStart, [&] { return qel_writer_write_string_c(w, "x", 2); }, 5504, "value not allowed",
         "qel_state_allow_string(w->state->state)"},
        {kStart, [&] { return qel_writer_list_close(w); }, 5505, "close list not allowed",
         "w->state->state==STATE_LIST"},
        {kDone, [&] { return qel_writer_write_none(w); }, 5504, "value not allowed", atomic},
        {kDone, [&] { return qel_writer_map_open(w); }, 5504, "map not allowed", container},
        {kDone, [&] { return qel_writer_map_close(w); }, 5505, "close map not allowed", close_map},
        {kKey, [&] { return qel_writer_map_close(w); }, 5505, "close map not allowed", close_map},
        {kMap, [&] { return qel_writer_list_open(w); }, 5504, "list not allowed", container},
        {kList, [&] { return qel_writer_map_close(w); }, 5505, "close map not allowed", close_map},
        {kList, [&] { return qel_writer_write_float16(w, 0x7C00); }, 5503, "value is out of range", "0"},
        {kList, [&] { return qel_writer_write_float16(w, 0xFC00); }, 5503, "value is out of range", "0"},
        {kList, [&] { return qel_writer_write_float16(w, 0x7E00); }, 5503, "value is NaN", "0"},
        {kList, [&] { return qel_writer_write_float16(w, 0x7C01); }, 5503, "value is NaN", "0"},
        {kStart, [&] { return qel_writer_write_string_c(w, "abc", 3); }, 5508, "invalid string buffer size",
         "string_end_found"},
        {kList, [&] { return qel_writer_write_string_u8(w, "", 0); }, 5508, "invalid string buffer size",
         "1 <= units_in"},
        {kList, [&] { return qel_writer_write_string_c(w, nullptr, 0); }, 5503, "missing string buffer",
         "NULL != string_buffer"},
        {kList, [&] { return qel_writer_write_binary(w, 0, nullptr, 1); }, 5503, "illegal parameters",
         "NULL != data || 0 == size"},
        {kList, [&] { return qel_writer_write_timestamp(w, nullptr); }, 5503, "illegal parameters",
         "NULL != timestamp"},
        {kList, [&] { return qel_writer_write_int32(nullptr, 1); }, 5503, "invalid writer handle", "w"},
        {kList, [&] { return qel_writer_list_open(nullptr); }, 5503, "invalid writer handle", "w"},
        {kList, [&] { return qel_writer_free(nullptr); }, 5503, "invalid writer handle", "w"},
        {kList, [&] { return qel_writer_new_file(nullptr, "x", 2); }, 5503, "illegal parameters",
         "NULL != writer"},
    };
    for (const Case& c : cases) {
        qel_writer_free(w);
        ASSERT_EQ(qel_writer_new_buffer(&w), QEL_SUCCESS);
        if (c.setup == kList || c.setup == kDone) qel_writer_list_open(w);
        if (c.setup == kDone) qel_writer_list_close(w);
        if (c.setup == kMap || c.setup == kKey) qel_writer_map_open(w);
        if (c.setup == kKey) qel_writer_write_int8(w, 1);
        const Bytes before = contents(w);
        const uint32_t state = w->state->state;
        const std::string out =
            captured([&] { EXPECT_EQ(c.call(), static_cast<qel_err>(c.code)) << c.message; });
        EXPECT_RECORD(out, c.message, c.expression, c.code);
        EXPECT_EQ(contents(w), before) << c.message;
        EXPECT_EQ(w->state->state, state) << c.message;
    }
}

TEST(QelWriterFile, BytesLostOnCloseAreReported) {
    // A full device takes buffered bytes without complaint until they are flushed.
    qel_writer* w = nullptr;
    if (qel_writer_new_file(&w, "/dev/full", 10) != QEL_SUCCESS) GTEST_SKIP() << "no /dev/full";
    qel_writer_list_open(w);
    qel_writer_list_close(w);
    const std::string out = captured([&] { EXPECT_EQ(qel_writer_free(w), QEL_ERR_FILE); });
    EXPECT_RECORD(out, "write to file failed", "0 == closed", 5507);
}

}  // namespace
