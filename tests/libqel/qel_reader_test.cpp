#include "qel_reader.h"

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "qel_test_util.h"
#include "qel_writer.h"

namespace {

struct Parsed {
    qel_err code = QEL_SUCCESS;
    Bytes types;  // each element's type byte, in the order the callback saw them
    std::string out;
};

uint32_t collect(const qel_element* e, void* types) {
    static_cast<Bytes*>(types)->push_back(e->type_with_null_flag);
    return 0;
}

// Parses `stream` from an exact-size copy (so a read past it is caught) or
// from a file holding exactly its bytes.
Parsed parse(const Bytes& stream, bool from_file) {
    const std::string name = temp_path("reader.qel");
    if (from_file) std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    Parsed p;
    p.out = captured([&] {
        static const uint8_t nothing = 0;
        qel_reader* r = nullptr;
        if (from_file) ASSERT_EQ(qel_reader_new_file(&r, name.c_str(), name.size() + 1), QEL_SUCCESS);
        else ASSERT_EQ(qel_reader_new_buffer(&r), QEL_SUCCESS);
        if (!from_file) ASSERT_EQ(qel_reader_set_buffer(r, stream.empty() ? &nothing : stream.data(), stream.size()), QEL_SUCCESS);
        qel_reader_set_callback(r, collect, &p.types);
        p.code = qel_reader_parse(r);
        EXPECT_EQ(qel_reader_free(r), QEL_SUCCESS);
    });
    return p;
}

// Pull decoding of raw elements (no header), one owned element at a time.
struct Pull {
    explicit Pull(const Bytes& body) {
        qel_reader_new_buffer(&r);
        qel_reader_set_buffer(r, body.data(), body.size());
    }
    ~Pull() {
        qel_element_free(e);
        qel_reader_free(r);
    }
    qel_element* next() {
        qel_element_free(e);
        uint8_t eod = 0;
        EXPECT_EQ(qel_reader_next_value(r, &e, &eod), QEL_SUCCESS);
        return e;
    }
    qel_reader* r = nullptr;
    qel_element* e = nullptr;
};

TEST(QelReader, WorkedStreamsGiveTheirElementsThenEndOfData) {
    for (bool from_file : {false, true}) {
        EXPECT_EQ(parse(with_header("30 00"), from_file).types, hex("30 00"));
        EXPECT_EQ(parse(with_header("31 00"), from_file).types, hex("31 00"));
        EXPECT_EQ(parse(with_header("31 04 00 02 00 00 00 61 00 08 05 00 FF"), from_file).types, hex("31 04 08 00"));
        // In a table the first end marker ends the keys, the second the table.
        Parsed table = parse(with_header("32 04 00 01 00 00 00 00 04 00 01 00 00 00 00 00 08 01 0F 0F 0F 00"), from_file);
        EXPECT_EQ(table.code, QEL_SUCCESS);
        EXPECT_EQ(table.types, hex("32 04 04 00 08 0F 0F 0F 00"));
    }
}

TEST(QelReader, InvalidContentIsRefused) {
    // Type codes 20 and 51, the null flag on END, NONE and 127, an end marker
    // with nothing open, a string subtype above 3, a bad header.
    for (const char* body : {"30 14", "30 33", "30 80", "30 8F", "30 FF", "00", "08 01 00", "30 04 04 01 00 00 00 00"}) {
        Parsed p = parse(with_header(body), false);
        EXPECT_EQ(p.code, QEL_ERR_INVALID) << body;
        EXPECT_RECORD(p.out, "failed to get next value", "QEL_SUCCESS == err", 5503);
    }
    EXPECT_RECORD(parse(with_header("30 04 04 01 00 00 00 00"), false).out, "invalid string subtype", "0", 5503);
    Bytes stream = with_header("30 00");
    stream[4] = 2;
    EXPECT_RECORD(parse(stream, false).out, "unsupported QEL version", "r->header.version == 1", 5503);
    stream[3] = 'l';
    EXPECT_RECORD(parse(stream, false).out, "no qel header found",
                  "strncmp(QEL_MAGIC, (const char*)r->header.magic,4) == 0", 5503);
}

TEST(QelReader, NullFlagsZeroPayloadsScalarRootsAndEndOfData) {
    Pull p(hex("08 01 30 88 84 8E B0 0E 07 00 00 00 00 04 01 00 00 00 00 04 00 02 00 00 00 61 00 00"));
    p.next();
    EXPECT_EQ(p.r->state->state, STATE_START);  // a scalar at document level is decoded in place
    p.next();
    uint8_t type = 0, flag = 0;
    ASSERT_EQ(qel_element_get_type(p.next(), &type, &flag), QEL_SUCCESS);
    EXPECT_EQ(type * 10 + flag, 81);
    int8_t v = 0;
    EXPECT_RECORD(captured([&] { EXPECT_EQ(qel_element_get_int8(p.e, &v), QEL_ERR_INVALID); }),
                  "element type mismatch", "QEL_TYPE_INT8 == e->type_with_null_flag", 5503);
    const char* text = "x";
    uint32_t units = 9;
    EXPECT_EQ(qel_element_get_string_c(p.next(), &text, &units), QEL_SUCCESS);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(units, 0u);
    const uint8_t* data = &flag;
    EXPECT_EQ(qel_element_get_binary(p.next(), nullptr, &data, nullptr), QEL_SUCCESS);
    EXPECT_EQ(data, nullptr);
    p.next();  // a null list opens nothing
    EXPECT_EQ(p.r->state->state, STATE_LIST);
    uint8_t subtype = 0;
    uint32_t size = 1;
    ASSERT_EQ(qel_element_get_binary(p.next(), &subtype, &data, &size), QEL_SUCCESS);
    EXPECT_EQ(subtype * 10 + size, 70u);
    EXPECT_NE(data, nullptr);
    ASSERT_EQ(qel_element_get_string_u8(p.next(), &text, &units), QEL_SUCCESS);
    EXPECT_EQ(units, 0u);
    ASSERT_EQ(qel_element_get_string_c(p.next(), &text, &units), QEL_SUCCESS);
    EXPECT_EQ(std::string(text, units), std::string("a", 2));
    p.next();
    EXPECT_EQ(p.r->state->state, STATE_END);
    qel_element* none = p.e;
    uint8_t eod = 0;
    EXPECT_EQ(qel_reader_next_value(p.r, &none, &eod), QEL_SUCCESS);
    EXPECT_EQ(eod * 2 + (none == nullptr), 3);
}

TEST(QelReader, FieldsOfEveryMultiFieldElement) {
    // Opaque64, date, time, timestamp, and strings of 16 and 32-bit units,
    // each at the extremes its fields can hold.
    Pull p(hex("10 01 02 03 04 05 06 07 08  11 00 80 0C 1F  12 17 3B 3A  13 FF 7F 01 02 03 04 05 FF FF FF FF"
               "04 02 02 00 00 00 41 12 00 00  04 03 01 00 00 00 04 03 02 01"));
    EXPECT_EQ(p.next()->u64, 0x0807060504030201u);
    const qel_timestamp& date = p.next()->timestamp;
    EXPECT_EQ(std::tie(date.year, date.month, date.day), std::make_tuple(int16_t{-32768}, uint8_t{12}, uint8_t{31}));
    const qel_timestamp& time = p.next()->timestamp;
    EXPECT_EQ(std::tie(time.hour, time.minute, time.second), std::make_tuple(uint8_t{23}, uint8_t{59}, uint8_t{58}));
    qel_timestamp ts{};
    ASSERT_EQ(qel_element_get_timestamp(p.next(), &ts), QEL_SUCCESS);
    EXPECT_EQ(std::tie(ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second, ts.microsecond),
              std::make_tuple(int16_t{32767}, uint8_t{1}, uint8_t{2}, uint8_t{3}, uint8_t{4}, uint8_t{5}, 0xFFFFFFFFu));
    const qel_string_value& u16 = p.next()->string;
    ASSERT_EQ(u16.units, 2u);
    EXPECT_EQ(u16.u16_string[0] * 0x10000u + u16.u16_string[1], 0x12410000u);
    const qel_string_value& u32 = p.next()->string;
    ASSERT_EQ(u32.units, 1u);
    EXPECT_EQ(u32.u32_string[0], 0x01020304u);
}

TEST(QelReader, CallbackResultEndsTheParse) {
    int calls = 0;
    qel_reader* r = nullptr;
    const Bytes stream = with_header("30 08 01 00");
    qel_reader_new_buffer(&r);
    qel_reader_set_buffer(r, stream.data(), stream.size());
    qel_reader_set_callback(r, [](const qel_element*, void* n) -> uint32_t { return ++*static_cast<int*>(n) * 7; }, &calls);
    EXPECT_EQ(qel_reader_parse(r), 7u);
    EXPECT_EQ(calls, 1);
    // A new buffer starts a new document.
    Bytes types;
    qel_reader_set_callback(r, collect, &types);
    qel_reader_set_buffer(r, stream.data(), stream.size());
    EXPECT_EQ(qel_reader_parse(r), QEL_SUCCESS);
    EXPECT_EQ(types, hex("30 08 00"));
    qel_reader_free(r);
}

TEST(QelReader, MissingArgumentsAreRefused) {
    const std::string out = captured([] {
        qel_element* e = nullptr;
        uint8_t eod = 0;
        qel_reader* r = nullptr;
        EXPECT_EQ(qel_reader_set_callback(nullptr, nullptr, nullptr), QEL_ERR_INVALID);
        EXPECT_EQ(qel_reader_next_value(nullptr, &e, &eod), QEL_ERR_INVALID);
        EXPECT_EQ(qel_reader_new_file(nullptr, "x", 2), QEL_ERR_INVALID);
        qel_reader_new_buffer(&r);
        EXPECT_EQ(qel_reader_next_value(r, nullptr, &eod), QEL_ERR_INVALID);
        EXPECT_EQ(qel_reader_next_value(r, &e, nullptr), QEL_ERR_INVALID);
        EXPECT_EQ(qel_reader_set_buffer(r, nullptr, 0), QEL_ERR_INVALID);
        qel_reader_free(r);
    });
    for (auto [message, expression] : {std::pair{"invalid handle", "r"}, {"missing reader!", "NULL != r"},
                                       {"element reference is NULL!", "NULL != v"}, {"eod reference is NULL!", "NULL != eod"},
                                       {"invalid buffer", "buffer"}, {"illegal parameters", "NULL != reader"}})
        EXPECT_RECORD(out, message, expression, 5503);
}

// Every element the writer has, nested three deep.
Bytes rich_stream() {
    qel_writer* w = nullptr;
    qel_writer_new_buffer(&w);
    const qel_timestamp ts{2018, 5, 6, 7, 8, 9, 10};
    qel_writer_map_open(w);
    qel_writer_write_string_u8(w, "list", 5);
    qel_writer_list_open(w);
    qel_writer_write_float64(w, 1.5);
    qel_writer_write_float32(w, 2.5f);
    qel_writer_write_float16(w, 0x3C00);
    qel_writer_write_int64(w, -1);
    qel_writer_write_int32(w, -2);
    qel_writer_write_int16(w, -3);
    qel_writer_write_uint16(w, 3);
    qel_writer_write_bool(w, 1);
    qel_writer_write_binary(w, 1, "abc", 3);
    qel_writer_write_none(w);
    qel_writer_write_timestamp(w, &ts);
    qel_writer_map_open(w);
    qel_writer_write_uint8(w, 9);
    qel_writer_write_string_c(w, "nested", 7);
    qel_writer_map_close(w);
    qel_writer_list_close(w);
    qel_writer_map_close(w);
    Bytes out = contents(w);
    qel_writer_free(w);
    return out;
}

TEST(QelReader, EveryTruncationFailsCleanlyFromBufferAndFile) {
    const Bytes stream = rich_stream();
    for (bool from_file : {false, true}) {
        ASSERT_EQ(parse(stream, from_file).code, QEL_SUCCESS);
        for (size_t n = 0; n < stream.size(); ++n)
            EXPECT_EQ(parse(Bytes(stream.begin(), stream.begin() + n), from_file).code, QEL_ERR_FILE) << n;
    }
}

TEST(QelReader, DeclaredLengthBeyondTheInputFailsBeforeAllocating) {
    // 4 and 16 GiB declared in a few bytes: an attempt to allocate them would
    // fail (or abort under a sanitizer) rather than report the short input.
    for (const char* body : {"30 0E 00 FF FF FF FF", "30 04 03 FF FF FF FF 00 00 00 00", "30 04 00 03 00 00 00 61 62"}) {
        Parsed b = parse(with_header(body), false);
        EXPECT_EQ(b.code, QEL_ERR_FILE) << body;
        EXPECT_RECORD(b.out, "read past end of buffer", "bytes <= r->size - r->position", 5507);
        EXPECT_RECORD(b.out, "failed to get next value", "QEL_SUCCESS == err", 5507);
        Parsed f = parse(with_header(body), true);
        EXPECT_EQ(f.code, QEL_ERR_FILE) << body;
        EXPECT_RECORD(f.out, "read from file failed", "bytes <= r->file_remaining", 5507);
    }
}

TEST(QelReader, PipeOfUnknownSizeIsReadInBoundedPieces) {
    const std::string name = temp_path("reader.fifo");
    std::remove(name.c_str());
    ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
    const Bytes stream = with_header("30 0E 00 FF FF FF FF 01 02 03");
    std::thread feeder([&] {
        std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    });
    qel_reader* r = nullptr;
    ASSERT_EQ(qel_reader_new_file(&r, name.c_str(), name.size() + 1), QEL_SUCCESS);
    const std::string out = captured([&] { EXPECT_EQ(qel_reader_parse(r), QEL_ERR_FILE); });
    EXPECT_RECORD(out, "read from file failed", "fread(sequence, 1, bytes, r->file) == bytes", 5507);
    qel_reader_free(r);
    feeder.join();
}

TEST(QelDeepNesting, MillionLevelsWriteAndReadInLinearTime) {
    constexpr uint32_t depth = 1000000;
    const auto start = std::chrono::steady_clock::now();
    qel_writer* w = nullptr;
    qel_writer_new_buffer(&w);
    for (uint32_t i = 0; i < depth; ++i) {
        ASSERT_EQ(qel_writer_map_open(w), QEL_SUCCESS);
        ASSERT_EQ(qel_writer_write_int8(w, 0), QEL_SUCCESS);
    }
    qel_writer_list_open(w);
    qel_writer_list_close(w);
    for (uint32_t i = 0; i < depth; ++i) ASSERT_EQ(qel_writer_map_close(w), QEL_SUCCESS);
    EXPECT_EQ(w->state->state, STATE_END);
    const Bytes stream = contents(w);
    qel_writer_free(w);
    Parsed p = parse(stream, false);
    EXPECT_EQ(p.code, QEL_SUCCESS);
    EXPECT_EQ(p.types.size(), depth * 3 + 2);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("[ measured ] %u levels written and read in %lld ms\n", depth, static_cast<long long>(ms.count()));
}

}  // namespace
