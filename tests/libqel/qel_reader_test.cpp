#include "qel_reader.h"
#include "qel_writer.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <thread>

#include "qel_test_util.h"

namespace {

struct Parsed {
    qel_err code = QEL_SUCCESS;
    Bytes types;  // each element's type byte, in the order the callback saw them
    std::string out;
};

uint32_t collect(const qel_element* e, void* user) {
    static_cast<Bytes*>(user)->push_back(e->type_with_null_flag);
    return 0;
}

Parsed parse_buffer(const Bytes& stream) {
    Parsed p;
    p.out = captured([&] {
        qel_reader* r = nullptr;
        ASSERT_EQ(qel_reader_new_buffer(&r), QEL_SUCCESS);
        // An exact-size copy of the caller's bytes: a read past them is caught.
        static const uint8_t nothing = 0;
        EXPECT_EQ(qel_reader_set_buffer(r, stream.empty() ? &nothing : stream.data(), stream.size()), QEL_SUCCESS);
        qel_reader_set_callback(r, collect, &p.types);
        p.code = qel_reader_parse(r);
        EXPECT_EQ(qel_reader_free(r), QEL_SUCCESS);
    });
    return p;
}

Parsed parse_file(const Bytes& stream) {
    const std::string name = temp_path("reader.qel");
    std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    Parsed p;
    p.out = captured([&] {
        qel_reader* r = nullptr;
        ASSERT_EQ(qel_reader_new_file(&r, name.c_str(), name.size() + 1), QEL_SUCCESS);
        qel_reader_set_callback(r, collect, &p.types);
        p.code = qel_reader_parse(r);
        EXPECT_EQ(qel_reader_free(r), QEL_SUCCESS);
    });
    return p;
}

// A pull reader over raw elements (no header), for looking at single elements.
struct Pull {
    explicit Pull(const Bytes& body) {
        qel_reader_new_buffer(&r);
        qel_reader_set_buffer(r, body.data(), body.size());
    }
    ~Pull() { qel_reader_free(r); }
    qel_element* next(qel_err expected = QEL_SUCCESS) {
        qel_element* e = nullptr;
        uint8_t eod = 0;
        EXPECT_EQ(qel_reader_next_value(r, &e, &eod), expected);
        return e;
    }
    qel_reader* r = nullptr;
};

struct Element {
    explicit Element(qel_element* e) : e(e) {}
    ~Element() { qel_element_free(e); }
    qel_element* e;
};

TEST(QelReader, WorkedStreamsGiveTheirElementsThenEndOfData) {
    for (auto parse : {parse_buffer, parse_file}) {
        EXPECT_EQ(parse(with_header("30 00")).types, hex("30 00"));
        EXPECT_EQ(parse(with_header("31 00")).types, hex("31 00"));
        Parsed map = parse(with_header("31 04 00 02 00 00 00 61 00 08 05 00 FF FF"));  // trailing bytes unread
        EXPECT_EQ(map.code, QEL_SUCCESS);
        EXPECT_EQ(map.types, hex("31 04 08 00"));
        Parsed table = parse(with_header("32 04 00 02 00 00 00 61 00 04 00 01 00 00 00 00 00 08 01 08 02 0F 0F 00"));
        EXPECT_EQ(table.code, QEL_SUCCESS);
        EXPECT_EQ(table.types, hex("32 04 04 00 08 08 0F 0F 00"));
    }
}

TEST(QelReader, PullDecodingStopsAtTheRootsEnd) {
    Pull p(hex("31 04 00 02 00 00 00 61 00 08 05 00"));
    Element open(p.next());
    Element key(p.next());
    const char* text = nullptr;
    uint32_t units = 0;
    ASSERT_EQ(qel_element_get_string_c(key.e, &text, &units), QEL_SUCCESS);
    EXPECT_EQ(units, 2u);
    EXPECT_EQ(std::memcmp(text, "a", 2), 0);
    Element value(p.next());
    int8_t v = 0;
    ASSERT_EQ(qel_element_get_int8(value.e, &v), QEL_SUCCESS);
    EXPECT_EQ(v, 5);
    Element end(p.next());
    qel_element* none = reinterpret_cast<qel_element*>(1);
    uint8_t eod = 0;
    EXPECT_EQ(qel_reader_next_value(p.r, &none, &eod), QEL_SUCCESS);
    EXPECT_EQ(eod, 1);
    EXPECT_EQ(none, nullptr);
}

TEST(QelReader, InvalidContentIsRefused) {
    struct Case { const char* body; const char* first_message; const char* first_expression; };
    const Case cases[] = {
        {"30 14", nullptr, nullptr}, {"30 33", nullptr, nullptr}, {"30 80", nullptr, nullptr},
        {"30 8F", nullptr, nullptr}, {"30 FF", nullptr, nullptr},
        {"00", nullptr, nullptr},  // an end marker with nothing open
        {"08 01 00", nullptr, nullptr},
        {"30 04 04 01 00 00 00 00", "invalid string subtype", "0"},
    };
    for (const Case& c : cases) {
        Parsed p = parse_buffer(with_header(c.body));
        EXPECT_EQ(p.code, QEL_ERR_INVALID) << c.body;
        EXPECT_NE(p.out.find(record("failed to get next value", "QEL_SUCCESS == err", 5503)), std::string::npos) << c.body;
        if (c.first_message) EXPECT_NE(p.out.find(record(c.first_message, c.first_expression, 5503)), std::string::npos);
    }
}

TEST(QelReader, HeaderIsChecked) {
    Bytes version2 = with_header("30 00");
    version2[4] = 2;
    Parsed p = parse_buffer(version2);
    EXPECT_EQ(p.code, QEL_ERR_INVALID);
    EXPECT_NE(p.out.find(record("unsupported QEL version", "r->header.version == 1", 5503)), std::string::npos);
    for (size_t i = 0; i < 4; ++i) {
        Bytes stream = with_header("30 00");
        stream[i] ^= 0x20;
        p = parse_buffer(stream);
        EXPECT_EQ(p.code, QEL_ERR_INVALID);
        EXPECT_NE(p.out.find(record("no qel header found", "strncmp(QEL_MAGIC, (const char*)r->header.magic,4) == 0", 5503)),
                  std::string::npos);
    }
}

TEST(QelReader, NullFlaggedElementsHaveNoPayload) {
    Pull p(hex("30 88 84 8E B0 00"));
    Element list(p.next());
    Element n8(p.next());
    uint8_t type = 0, flag = 0;
    ASSERT_EQ(qel_element_get_type(n8.e, &type, &flag), QEL_SUCCESS);
    EXPECT_EQ(type, 8);
    EXPECT_EQ(flag, 1);
    int8_t v = 0;
    std::string out = captured([&] { EXPECT_EQ(qel_element_get_int8(n8.e, &v), QEL_ERR_INVALID); });
    EXPECT_NE(out.find(record("element type mismatch", "QEL_TYPE_INT8 == e->type_with_null_flag", 5503)), std::string::npos);
    Element str(p.next());
    const char* text = "x";
    uint32_t units = 9;
    EXPECT_EQ(qel_element_get_string_c(str.e, &text, &units), QEL_SUCCESS);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(units, 0u);
    Element bin(p.next());
    const uint8_t* data = reinterpret_cast<const uint8_t*>(1);
    EXPECT_EQ(qel_element_get_binary(bin.e, nullptr, &data, nullptr), QEL_SUCCESS);
    EXPECT_EQ(data, nullptr);
    Element null_list(p.next());  // opens nothing: the next end marker closes the outer list
    EXPECT_EQ(p.r->state->state, STATE_LIST);
    Element end(p.next());
    EXPECT_EQ(p.r->state->state, STATE_END);
}

TEST(QelReader, ScalarAtDocumentLevelIsDecodedInPlace) {
    Pull p(hex("08 01 30 00"));
    Element scalar(p.next());
    EXPECT_EQ(p.r->state->state, STATE_START);
}

TEST(QelReader, ZeroSizePayloadsAreOrdinaryElements) {
    Pull p(hex("30 0E 07 00 00 00 00 04 01 00 00 00 00 00"));
    Element list(p.next());
    Element bin(p.next());
    uint8_t subtype = 0;
    const uint8_t* data = nullptr;
    uint32_t size = 1;
    ASSERT_EQ(qel_element_get_binary(bin.e, &subtype, &data, &size), QEL_SUCCESS);
    EXPECT_EQ(subtype, 7);
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(size, 0u);
    Element str(p.next());
    const char* text = nullptr;
    uint32_t units = 1;
    ASSERT_EQ(qel_element_get_string_u8(str.e, &text, &units), QEL_SUCCESS);
    EXPECT_EQ(units, 0u);
}

TEST(QelReader, CallbackResultEndsTheParse) {
    int calls = 0;
    qel_reader* r = nullptr;
    const Bytes stream = with_header("30 08 01 00");
    qel_reader_new_buffer(&r);
    qel_reader_set_buffer(r, stream.data(), stream.size());
    qel_reader_set_callback(r, [](const qel_element*, void* user) -> uint32_t { return ++*static_cast<int*>(user) * 7; }, &calls);
    EXPECT_EQ(qel_reader_parse(r), 7u);
    EXPECT_EQ(calls, 1);
    qel_reader_free(r);
}

TEST(QelReader, MissingArgumentsAreRefused) {
    const std::string out = captured([] {
        qel_element* e = nullptr;
        uint8_t eod = 0;
        EXPECT_EQ(qel_reader_set_callback(nullptr, nullptr, nullptr), QEL_ERR_INVALID);
        EXPECT_EQ(qel_reader_next_value(nullptr, &e, &eod), QEL_ERR_INVALID);
        EXPECT_EQ(qel_reader_parse(nullptr), QEL_ERR_INVALID);
        EXPECT_EQ(qel_reader_free(nullptr), QEL_ERR_INVALID);
        EXPECT_EQ(qel_reader_new_file(nullptr, "x", 2), QEL_ERR_INVALID);
        qel_reader* r = nullptr;
        qel_reader_new_buffer(&r);
        EXPECT_EQ(qel_reader_next_value(r, nullptr, &eod), QEL_ERR_INVALID);
        EXPECT_EQ(qel_reader_next_value(r, &e, nullptr), QEL_ERR_INVALID);
        EXPECT_EQ(qel_reader_set_buffer(r, nullptr, 0), QEL_ERR_INVALID);
        qel_reader_free(r);
    });
    for (auto [message, expression] : {std::pair{"invalid handle", "r"}, {"missing reader!", "NULL != r"},
                                       {"element reference is NULL!", "NULL != v"}, {"eod reference is NULL!", "NULL != eod"},
                                       {"invalid buffer", "buffer"}, {"illegal parameters", "NULL != reader"}}) {
        EXPECT_NE(out.find(record(message, expression, 5503)), std::string::npos) << message;
    }
}

TEST(QelReader, FileHoldingOnlyTheHeaderEndsTooEarly) {
    Parsed p = parse_file(kHeader);
    EXPECT_EQ(p.code, QEL_ERR_FILE);
    EXPECT_NE(p.out.find(record("read from file failed", "fread(sequence, 1, bytes, r->file) == bytes", 5507)),
              std::string::npos);
}

// A stream using every element the writer has, nested three deep.
Bytes rich_stream() {
    qel_writer* w = nullptr;
    qel_writer_new_buffer(&w);
    const qel_timestamp ts{2018, 5, 6, 7, 8, 9, 10};
    const uint8_t blob[] = {1, 2, 3};
    qel_writer_map_open(w);
    qel_writer_write_string_u8(w, "list", 5);
    qel_writer_list_open(w);
    qel_writer_write_float64(w, 1.5);
    qel_writer_write_float32(w, 2.5f);
    qel_writer_write_float16(w, 0x3C00);
    qel_writer_write_int64(w, -1);
    qel_writer_write_int32(w, -2);
    qel_writer_write_int16(w, -3);
    qel_writer_write_int8(w, -4);
    qel_writer_write_uint64(w, 1);
    qel_writer_write_uint32(w, 2);
    qel_writer_write_uint16(w, 3);
    qel_writer_write_uint8(w, 4);
    qel_writer_write_bool(w, 1);
    qel_writer_write_binary(w, 1, blob, 3);
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
    ASSERT_EQ(parse_buffer(stream).code, QEL_SUCCESS);
    ASSERT_EQ(parse_file(stream).code, QEL_SUCCESS);
    for (size_t n = 0; n < stream.size(); ++n) {
        const Bytes prefix(stream.begin(), stream.begin() + n);
        EXPECT_EQ(parse_buffer(prefix).code, QEL_ERR_FILE) << n;
        EXPECT_EQ(parse_file(prefix).code, QEL_ERR_FILE) << n;
    }
}

TEST(QelReader, DeclaredLengthBeyondTheInputFailsBeforeAllocating) {
    // Four and sixteen gigabytes declared in a few bytes; an attempt to
    // allocate them would fail (or abort under a sanitizer) rather than pass.
    for (const char* body : {"30 0E 00 FF FF FF FF", "30 04 03 FF FF FF FF 00 00 00 00", "30 04 00 03 00 00 00 61 62"}) {
        Parsed b = parse_buffer(with_header(body));
        EXPECT_EQ(b.code, QEL_ERR_FILE) << body;
        EXPECT_NE(b.out.find(record("read past end of buffer", "bytes <= r->size - r->position", 5507)), std::string::npos);
        EXPECT_NE(b.out.find(record("failed to get next value", "QEL_SUCCESS == err", 5507)), std::string::npos);
        Parsed f = parse_file(with_header(body));
        EXPECT_EQ(f.code, QEL_ERR_FILE) << body;
        EXPECT_NE(f.out.find(record("read from file failed", "bytes <= r->file_remaining", 5507)), std::string::npos);
    }
}

TEST(QelReader, PipeWithoutKnownSizeIsReadInBoundedPieces) {
    const std::string name = temp_path("reader.fifo");
    std::remove(name.c_str());
    ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
    const Bytes stream = with_header("30 0E 00 FF FF FF FF 01 02 03");
    std::thread feeder([&] { std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size()); });
    qel_reader* r = nullptr;
    ASSERT_EQ(qel_reader_new_file(&r, name.c_str(), name.size() + 1), QEL_SUCCESS);
    const std::string out = captured([&] { EXPECT_EQ(qel_reader_parse(r), QEL_ERR_FILE); });
    EXPECT_NE(out.find(record("read from file failed", "fread(sequence, 1, bytes, r->file) == bytes", 5507)), std::string::npos);
    qel_reader_free(r);
    feeder.join();
}

TEST(QelReader, SetBufferStartsANewDocument) {
    qel_reader* r = nullptr;
    qel_reader_new_buffer(&r);
    const Bytes first = with_header("30 30 30");
    const Bytes second = with_header("31 00");
    Bytes types;
    qel_reader_set_callback(r, collect, &types);
    qel_reader_set_buffer(r, first.data(), first.size());
    captured([&] { EXPECT_EQ(qel_reader_parse(r), QEL_ERR_FILE); });
    types.clear();
    qel_reader_set_buffer(r, second.data(), second.size());
    EXPECT_EQ(qel_reader_parse(r), QEL_SUCCESS);
    EXPECT_EQ(types, hex("31 00"));
    qel_reader_free(r);
}

TEST(QelDeepNesting, MillionLevelsWriteAndReadInLinearTime) {
    constexpr int depth = 1000000;
    const auto start = std::chrono::steady_clock::now();
    qel_writer* w = nullptr;
    ASSERT_EQ(qel_writer_new_buffer(&w), QEL_SUCCESS);
    for (int i = 0; i < depth; ++i) {
        ASSERT_EQ(qel_writer_map_open(w), QEL_SUCCESS);
        ASSERT_EQ(qel_writer_write_int8(w, 0), QEL_SUCCESS);
    }
    ASSERT_EQ(qel_writer_list_open(w), QEL_SUCCESS);
    ASSERT_EQ(qel_writer_list_close(w), QEL_SUCCESS);
    for (int i = 0; i < depth; ++i) ASSERT_EQ(qel_writer_map_close(w), QEL_SUCCESS);
    EXPECT_EQ(w->state->state, STATE_END);
    const Bytes stream = contents(w);
    qel_writer_free(w);
    ASSERT_EQ(stream.size(), 7u + depth * 4u + 2u);

    Parsed p = parse_buffer(stream);
    EXPECT_EQ(p.code, QEL_SUCCESS);
    EXPECT_EQ(p.types.size(), depth * 3u + 2u);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("[ measured ] %d levels written and read in %lld ms\n", depth, static_cast<long long>(ms.count()));
}

}  // namespace
