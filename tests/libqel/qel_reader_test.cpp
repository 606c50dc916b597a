#include "qel_reader.h"

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "qel_test_util.h"

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
    if (from_file)
        std::ofstream(name, std::ios::binary)
            .write(reinterpret_cast<const char*>(stream.data()), stream.size());
    Parsed p;
    p.out = captured([&] {
        static const uint8_t nothing = 0;
        qel_reader* r = nullptr;
        if (from_file) ASSERT_EQ(qel_reader_new_file(&r, name.c_str(), name.size() + 1), QEL_SUCCESS);
        else ASSERT_EQ(qel_reader_new_buffer(&r), QEL_SUCCESS);
        if (!from_file)
            ASSERT_EQ(qel_reader_set_buffer(r, stream.empty() ? &nothing : stream.data(), stream.size()),
                      QEL_SUCCESS);
        qel_reader_set_callback(r, collect, &p.types);
        p.code = qel_reader_parse(r);
        EXPECT_EQ(qel_reader_free(r), QEL_SUCCESS);
    });
    return p;
}

// Every kind of element the reader knows, as list items: the multi-field ones
// at their fields' extremes, null-flagged and zero-size ones, each payload
// width, and nested containers.
const std::string kEveryElement =
    "10 01 02 03 04 05 06 07 08  11 00 80 0C 1F  12 17 3B 3A  13 FF 7F 01 02 03 04 05 FF FF FF FF "
    "04 02 02 00 00 00 41 12 00 00  04 03 01 00 00 00 04 03 02 01 "
    "88 84 8E B0  0E 07 00 00 00 00  04 01 00 00 00 00  04 00 02 00 00 00 61 00 "
    "01 00 00 00 00 00 00 F8 3F  02 00 00 20 40  03 00 3C  05 FF FF FF FF FF FF FF FF  06 FE FF FF FF "
    "07 FD FF  0D 01  0E 01 03 00 00 00 61 62 63  0F  31 04 00 02 00 00 00 61 00 30 00 00 "
    "32 04 00 01 00 00 00 00 00 08 01 00";

TEST(QelReader, WorkedStreamsGiveTheirElementsThenEndOfData) {
    for (bool from_file : {false, true}) {
        EXPECT_EQ(parse(with_header("30 00"), from_file).types, hex("30 00"));
        EXPECT_EQ(parse(with_header("31 00"), from_file).types, hex("31 00"));
        EXPECT_EQ(parse(with_header("31 04 00 02 00 00 00 61 00 08 05 00 FF"), from_file).types,
                  hex("31 04 08 00"));
        // In a table the first end marker ends the keys, the second the table.
        Parsed table = parse(with_header("32 04 00 01 00 00 00 00 04 00 01 00 00 00 00 00 08 01 0F 0F 0F 00"),
                             from_file);
        EXPECT_EQ(table.code, QEL_SUCCESS);
        EXPECT_EQ(table.types, hex("32 04 04 00 08 0F 0F 0F 00"));
    }
}

TEST(QelReader, InvalidContentIsRefused) {
    // Type codes 20 and 51, the null flag on END, NONE and 127, an end marker
    // with nothing open, a string subtype above 3, a bad header.
    for (const char* body :
         {"30 14", "30 33", "30 80", "30 8F", "30 FF", "00", "08 01 00", "30 04 04 01 00 00 00 00"}) {
        Parsed p = parse(with_header(body), false);
        EXPECT_EQ(p.code, QEL_ERR_INVALID) << body;
        EXPECT_RECORD(p.out, "failed to get next value", "QEL_SUCCESS == err", 5503);
    }
    EXPECT_RECORD(parse(with_header("30 04 04 01 00 00 00 00"), false).out, "invalid string subtype", "0",
                  5503);
    Bytes stream = with_header("30 00");
    stream[4] = 2;
    EXPECT_RECORD(parse(stream, false).out, "unsupported QEL version", "r->header.version == 1", 5503);
    stream[3] = 'l';
    EXPECT_RECORD(parse(stream, false).out, "no qel header found",
                  "strncmp(QEL_MAGIC, (const char*)r->header.magic,4) == 0", 5503);
}

TEST(QelReader, PulledElementsHoldTheirFields) {
    // A scalar at document level is decoded in place, before the root list.
    const Bytes body = hex("08 01 30 " + kEveryElement + " 00");
    qel_reader* r = nullptr;
    qel_reader_new_buffer(&r);
    qel_reader_set_buffer(r, body.data(), body.size());
    qel_element* e = nullptr;
    uint8_t eod = 0;
    auto next = [&] {
        qel_element_free(e);
        EXPECT_EQ(qel_reader_next_value(r, &e, &eod), QEL_SUCCESS);
        return e;
    };
    next();
    EXPECT_EQ(r->state->state, STATE_START);
    next();
    EXPECT_EQ(next()->u64, 0x0807060504030201u);
    const qel_timestamp date = next()->timestamp, time = next()->timestamp;
    EXPECT_EQ(
        std::tie(date.year, date.month, date.day, time.hour, time.minute, time.second),
        std::make_tuple(int16_t{-32768}, uint8_t{12}, uint8_t{31}, uint8_t{23}, uint8_t{59}, uint8_t{58}));
    qel_timestamp ts{};
    ASSERT_EQ(qel_element_get_timestamp(next(), &ts), QEL_SUCCESS);
    EXPECT_EQ(std::tie(ts.year, ts.month, ts.day, ts.hour, ts.minute, ts.second, ts.microsecond),
              std::make_tuple(int16_t{32767}, uint8_t{1}, uint8_t{2}, uint8_t{3}, uint8_t{4}, uint8_t{5},
                              0xFFFFFFFFu));
    const qel_string_value* s = &next()->string;
    ASSERT_EQ(s->units, 2u);
    EXPECT_EQ(s->u16_string[0] * 0x10000u + s->u16_string[1], 0x12410000u);
    s = &next()->string;
    ASSERT_EQ(s->units, 1u);
    EXPECT_EQ(s->u32_string[0], 0x01020304u);
    // Null-flagged elements carry no payload, and a null list opens nothing.
    uint8_t type = 0, flag = 0;
    ASSERT_EQ(qel_element_get_type(next(), &type, &flag), QEL_SUCCESS);
    EXPECT_EQ(type * 10 + flag, 81);
    const char* text = "x";
    const uint8_t* data = &flag;
    uint32_t units = 9, size = 1;
    EXPECT_EQ(qel_element_get_string_c(next(), &text, &units), QEL_SUCCESS);
    EXPECT_EQ(qel_element_get_binary(next(), nullptr, &data, nullptr), QEL_SUCCESS);
    EXPECT_EQ(std::make_tuple(text, units, data), std::make_tuple(nullptr, 0u, nullptr));
    next();
    // Zero-size payloads still get a block of their own.
    ASSERT_EQ(qel_element_get_binary(next(), &type, &data, &size), QEL_SUCCESS);
    EXPECT_EQ(std::make_tuple(type, size, data != nullptr), std::make_tuple(uint8_t{7}, 0u, true));
    ASSERT_EQ(qel_element_get_string_u8(next(), &text, &units), QEL_SUCCESS);
    EXPECT_EQ(std::make_tuple(units, text != nullptr), std::make_tuple(0u, true));
    ASSERT_EQ(qel_element_get_string_c(next(), &text, &units), QEL_SUCCESS);
    EXPECT_EQ(std::string(text, units), std::string("a", 2));
    while (r->state->state != STATE_END && !testing::Test::HasFailure()) next();
    EXPECT_EQ(next(), nullptr);
    EXPECT_EQ(eod, 1);
    qel_reader_free(r);
}

TEST(QelReader, CallbackResultEndsTheParseAndANewBufferANewDocument) {
    const Bytes stream = with_header("30 08 01 00");
    Bytes types;
    qel_reader* r = nullptr;
    qel_reader_new_buffer(&r);
    qel_reader_set_buffer(r, stream.data(), stream.size());
    qel_reader_set_callback(
        r, [](const qel_element* e, void* t) -> uint32_t { return collect(e, t) + 7; }, &types);
    EXPECT_EQ(qel_reader_parse(r), 7u);
    qel_reader_set_callback(r, collect, &types);
    qel_reader_set_buffer(r, stream.data(), stream.size());
    EXPECT_EQ(qel_reader_parse(r), QEL_SUCCESS);
    EXPECT_EQ(types, hex("30 30 08 00"));
    qel_reader_free(r);
}

// A borrowed buffer is read where it lies: strings of 1-byte units and
// binaries point into it; a copied one gives the same elements.
TEST(QelReader, BorrowedBufferHandsOutItsOwnBytes) {
    const Bytes stream =
        with_header("30 04 01 03 00 00 00 68 69 00 0E 05 02 00 00 00 AB CD 04 02 01 00 00 00 41 00 00");
    struct Seen {
        std::vector<std::pair<const void*, std::string>> payloads;
    };
    auto record = [](const qel_element* e, void* user) -> uint32_t {
        auto* seen = static_cast<Seen*>(user);
        if (e->type_with_null_flag == QEL_TYPE_STRING)
            seen->payloads.emplace_back(
                e->string.c_string,
                std::string(e->string.c_string,
                            e->string.units * (e->string.type == QEL_SUB_STRING_U16 ? 2 : 1)));
        if (e->type_with_null_flag == QEL_TYPE_BIN)
            seen->payloads.emplace_back(
                e->binary.data, std::string(reinterpret_cast<const char*>(e->binary.data), e->binary.size));
        return 0;
    };
    Seen borrowed, copied;
    for (auto [seen, borrow] : {std::pair{&borrowed, true}, std::pair{&copied, false}}) {
        qel_reader* r = nullptr;
        ASSERT_EQ(qel_reader_new_buffer(&r), QEL_SUCCESS);
        ASSERT_EQ(borrow ? qel_reader_set_buffer_borrowed(r, stream.data(), stream.size())
                         : qel_reader_set_buffer(r, stream.data(), stream.size()),
                  QEL_SUCCESS);
        qel_reader_set_callback(r, record, seen);
        EXPECT_EQ(qel_reader_parse(r), QEL_SUCCESS);
        qel_reader_free(r);
    }
    ASSERT_EQ(borrowed.payloads.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(borrowed.payloads[i].second, copied.payloads[i].second);
        EXPECT_NE(copied.payloads[i].first, borrowed.payloads[i].first);
    }
    // The UTF-16 string is copied into an aligned block of its own.
    EXPECT_EQ(borrowed.payloads[0].first, stream.data() + 14);
    EXPECT_EQ(borrowed.payloads[1].first, stream.data() + 23);
    EXPECT_NE(borrowed.payloads[2].first, stream.data() + 31);
}

TEST(QelReader, MissingArgumentsAreRefused) {
    qel_element* e = nullptr;
    uint8_t eod = 0;
    qel_reader* r = nullptr;
    qel_reader_new_buffer(&r);
    expect_refusals({
        {[&] { return qel_reader_set_callback(nullptr, nullptr, nullptr); }, "invalid handle", "r"},
        {[&] { return qel_reader_next_value(nullptr, &e, &eod); }, "missing reader!", "NULL != r"},
        {[&] { return qel_reader_new_file(nullptr, "x", 2); }, "illegal parameters", "NULL != reader"},
        {[&] { return qel_reader_next_value(r, nullptr, &eod); }, "element reference is NULL!", "NULL != v"},
        {[&] { return qel_reader_next_value(r, &e, nullptr); }, "eod reference is NULL!", "NULL != eod"},
        {[&] { return qel_reader_set_buffer(r, nullptr, 0); }, "invalid buffer", "buffer"},
    });
    qel_reader_free(r);
}

TEST(QelReader, EveryTruncationFailsCleanlyFromBufferAndFile) {
    const Bytes stream = with_header("30 " + kEveryElement + " 00");
    for (bool from_file : {false, true}) {
        ASSERT_EQ(parse(stream, from_file).code, QEL_SUCCESS);
        for (size_t n = 0; n < stream.size(); ++n)
            EXPECT_EQ(parse(Bytes(stream.begin(), stream.begin() + n), from_file).code, QEL_ERR_FILE) << n;
    }
}

TEST(QelReader, DeclaredLengthBeyondTheInputFailsBeforeAllocating) {
    // 4 and 16 GiB declared in a few bytes: an attempt to allocate them would
    // fail (or abort under a sanitizer) rather than report the short input.
    for (const char* body :
         {"30 0E 00 FF FF FF FF", "30 04 03 FF FF FF FF 00 00 00 00", "30 04 00 03 00 00 00 61 62"}) {
        Parsed b = parse(with_header(body), false);
        EXPECT_EQ(b.code, QEL_ERR_FILE) << body;
        EXPECT_RECORD(b.out, "read past end of buffer", "bytes <= r->size - r->position", 5507);
        EXPECT_RECORD(b.out, "failed to get next value", "QEL_SUCCESS == err", 5507);
        Parsed f = parse(with_header(body), true);
        EXPECT_EQ(f.code, QEL_ERR_FILE) << body;
        EXPECT_RECORD(f.out, "read from file failed", "bytes <= r->file_remaining", 5507);
    }
}

// From a pipe the size is unknown: a payload's block starts at 1 MiB and
// doubles as its bytes arrive, so 4 GiB declared with three bytes behind them
// are a short read rather than an allocation, and 3 MiB come whole.
TEST(QelReader, PipeOfUnknownSizeIsReadInGrowingPieces) {
    const struct {
        Bytes stream;
        qel_err code;
        size_t payload;
    } cases[] = {{with_header("30 0E 00 FF FF FF FF 01 02 03"), QEL_ERR_FILE, 0},
                 {one_binary(3 << 20), QEL_SUCCESS, 3 << 20}};
    for (const auto& c : cases) {
        PipeOf pipe(c.stream);
        qel_reader* r = nullptr;
        ASSERT_EQ(qel_reader_new_file(&r, pipe.name(), pipe.capacity()), QEL_SUCCESS);
        Bytes payload;
        qel_reader_set_callback(
            r,
            [](const qel_element* e, void* out) -> uint32_t {
                if (e->type_with_null_flag == QEL_TYPE_BIN)
                    static_cast<Bytes*>(out)->assign(e->binary.data, e->binary.data + e->binary.size);
                return 0;
            },
            &payload);
        const std::string out = captured([&] { EXPECT_EQ(qel_reader_parse(r), c.code); });
        qel_reader_free(r);
        EXPECT_EQ(payload, Bytes(c.payload, 0xAB));
        if (c.code)
            EXPECT_RECORD(out, "read from file failed", "fread(sequence, 1, bytes, r->file) == bytes", 5507);
    }
}

}  // namespace
