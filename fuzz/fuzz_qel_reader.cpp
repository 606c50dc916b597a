// The format library's reader alone on arbitrary bytes. The first input byte
// chooses the input (bit 7: a file, else a buffer) and after how many
// elements (bits 0-6, plus one; 127 never) the callback stops the parse; the
// pull API then takes the rest of the document. Every element is checked against what
// a decoder may hand out, and every payload byte is touched.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "fuzz_common.h"

namespace {

constexpr uint32_t kStop = 0x5707;  // the callback's own code; no library code

bool decodable(uint8_t type_byte) {
    const uint8_t code = type_byte & QEL_TYPE_MASK;
    const bool known = code <= QEL_TYPE_TIMESTAMP || (code >= QEL_TYPE_LIST && code <= QEL_TYPE_TABLE);
    if ((type_byte & QEL_NULL_FLAG) == 0) return known;
    return known && code != QEL_TYPE_END && code != QEL_TYPE_NONE;
}

uint32_t touch(const void* data, uint64_t bytes) {
    uint32_t sum = 0;
    const auto* p = static_cast<const uint8_t*>(data);
    for (uint64_t i = 0; i < bytes; ++i) sum = sum * 31 + p[i];
    return sum;
}

// Calls the accessor that fits the element and one that does not; the first
// must succeed, the second must refuse.
void inspect(const qel_element* e, uint32_t index) {
    const uint8_t byte = e->type_with_null_flag;
    FUZZ_CHECK(decodable(byte));
    uint8_t type = 0xFF, null_flag = 0xFF;
    FUZZ_CHECK(qel_element_get_type(e, &type, &null_flag) == QEL_SUCCESS);
    FUZZ_CHECK(type == (byte & QEL_TYPE_MASK) && null_flag == (byte >> 7));

    uint64_t u = 0;
    qel_err fit = QEL_SUCCESS;
    switch (byte) {
    case QEL_TYPE_INT8: {
        int8_t x;
        fit = qel_element_get_int8(e, &x);
        break;
    }
    case QEL_TYPE_UINT8: {
        uint8_t x;
        fit = qel_element_get_uint8(e, &x);
        break;
    }
    case QEL_TYPE_BOOL: {
        uint8_t x;
        fit = qel_element_get_bool(e, &x);
        break;
    }
    case QEL_TYPE_INT16: {
        int16_t x;
        fit = qel_element_get_int16(e, &x);
        break;
    }
    case QEL_TYPE_UINT16: {
        uint16_t x;
        fit = qel_element_get_uint16(e, &x);
        break;
    }
    case QEL_TYPE_FLOAT16: {
        uint16_t x;
        fit = qel_element_get_float16(e, &x);
        break;
    }
    case QEL_TYPE_INT32: {
        int32_t x;
        fit = qel_element_get_int32(e, &x);
        break;
    }
    case QEL_TYPE_UINT32: {
        uint32_t x;
        fit = qel_element_get_uint32(e, &x);
        break;
    }
    case QEL_TYPE_FLOAT32: {
        float x;
        fit = qel_element_get_float32(e, &x);
        break;
    }
    case QEL_TYPE_INT64: {
        int64_t x;
        fit = qel_element_get_int64(e, &x);
        break;
    }
    case QEL_TYPE_UINT64:
        fit = qel_element_get_uint64(e, &u);
        break;
    case QEL_TYPE_FLOAT64: {
        double x;
        fit = qel_element_get_float64(e, &x);
        break;
    }
    case QEL_TYPE_TIMESTAMP: {
        qel_timestamp t;
        fit = qel_element_get_timestamp(e, &t);
        break;
    }
    case QEL_TYPE_STRING: {
        uint8_t sub = 0xFF;
        FUZZ_CHECK(qel_element_get_string_type(e, &sub) == QEL_SUCCESS && sub <= QEL_SUB_STRING_U32);
        FUZZ_CHECK(e->string.c_string != nullptr);
        static constexpr uint32_t unit[] = {1, 1, 2, 4};
        touch(e->string.c_string, uint64_t{e->string.units} * unit[sub]);
        const char* text = nullptr;
        uint32_t units = 0;
        if (sub <= QEL_SUB_STRING_U8) {
            fit = sub == QEL_SUB_STRING_C ? qel_element_get_string_c(e, &text, &units)
                                          : qel_element_get_string_u8(e, &text, &units);
            FUZZ_CHECK(fit != QEL_SUCCESS || (text == e->string.c_string && units == e->string.units));
        }
        break;
    }
    case QEL_TYPE_BIN: {
        const uint8_t* data = nullptr;
        uint32_t size = 0;
        fit = qel_element_get_binary(e, nullptr, &data, &size);
        FUZZ_CHECK(data != nullptr);
        touch(data, size);
        break;
    }
    default:
        break;
    }
    FUZZ_CHECK(fit == QEL_SUCCESS);

    // Rotating through the refusals keeps the diagnostics (slow to format)
    // at one per element.
    qel_err misfit = QEL_SUCCESS;
    switch (index % 4) {
    case 0:
        if (byte != QEL_TYPE_UINT64) misfit = qel_element_get_uint64(e, &u);
        break;
    case 1: {
        int8_t x;
        if (byte != QEL_TYPE_INT8) misfit = qel_element_get_int8(e, &x);
        break;
    }
    case 2: {
        qel_timestamp t;
        if (byte != QEL_TYPE_TIMESTAMP) misfit = qel_element_get_timestamp(e, &t);
        break;
    }
    default: {
        const char* s = nullptr;
        uint32_t n = 0;
        if ((byte & QEL_TYPE_MASK) != QEL_TYPE_STRING) misfit = qel_element_get_string_u8(e, &s, &n);
        break;
    }
    }
    FUZZ_CHECK(misfit == QEL_SUCCESS || misfit == QEL_ERR_INVALID);
}

// What an element decoded to, folded into one number: its type byte, its
// value and every payload byte.
uint64_t digest(const qel_element* e) {
    uint64_t d = e->type_with_null_flag;
    switch (e->type_with_null_flag) {
    case QEL_TYPE_STRING: {
        static constexpr uint32_t unit[] = {1, 1, 2, 4};
        d = d * 31 + e->string.type * 7919 + e->string.units;
        return d * 31 + touch(e->string.c_string, uint64_t{e->string.units} * unit[e->string.type & 3]);
    }
    case QEL_TYPE_BIN:
        d = d * 31 + e->binary.type * 7919 + e->binary.size;
        return d * 31 + touch(e->binary.data, e->binary.size);
    case QEL_TYPE_DATE:
    case QEL_TYPE_TIME:
    case QEL_TYPE_TIMESTAMP:
        return d * 31 + touch(&e->timestamp.year, 2) + touch(&e->timestamp.month, 5) * 7 +
               e->timestamp.microsecond * 13ull;
    default:
        return d * 31 + e->u64;
    }
}

struct Counter {
    uint32_t seen = 0;
    uint32_t stop_after = 0;
    uint64_t digest = 0;
};

uint32_t on_element(const qel_element* e, void* user_data) {
    auto* c = static_cast<Counter*>(user_data);
    inspect(e, c->seen);
    c->digest = c->digest * 1000003 + digest(e);
    return ++c->seen >= c->stop_after ? kStop : 0;
}

// A file in memory, named through /proc, so that the file input runs without
// touching a disk.
struct MemFile {
    int fd = memfd_create("qel-fuzz", 0);
    char path[32] = {};
    MemFile() { std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd); }
    void fill(const uint8_t* data, size_t size) {
        FUZZ_CHECK(fd >= 0 && ftruncate(fd, 0) == 0);
        FUZZ_CHECK(size == 0 || pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    }
};

qel_reader* open_file(const uint8_t* stream, size_t length) {
    static MemFile file;
    file.fill(stream, length);
    qel_reader* r = nullptr;
    FUZZ_CHECK(qel_reader_new_file(&r, file.path, sizeof file.path) == QEL_SUCCESS && r != nullptr);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool from_file = (data[0] & 0x80) != 0;
    const uint8_t stop = data[0] & 0x7F;
    Counter counter{0, stop == 0x7F ? UINT32_MAX : stop + 1u};
    // A non-null address even for an empty stream, which is a valid buffer.
    const uint8_t* stream = size > 1 ? data + 1 : data;
    const size_t length = size - 1;

    qel_reader* r = nullptr;
    if (from_file) {
        r = open_file(stream, length);
    } else {
        FUZZ_CHECK(qel_reader_new_buffer(&r) == QEL_SUCCESS && r != nullptr);
        FUZZ_CHECK(qel_reader_set_buffer(r, stream, length) == QEL_SUCCESS);
    }
    FUZZ_CHECK(qel_reader_set_callback(r, on_element, &counter) == QEL_SUCCESS);
    const qel_err parsed = qel_reader_parse(r);
    // Every element costs at least its type byte.
    FUZZ_CHECK(counter.seen <= length);

    if (parsed == kStop) {
        FUZZ_CHECK(counter.seen == counter.stop_after);
        uint32_t pulled = 0;
        for (;;) {
            qel_element* e = reinterpret_cast<qel_element*>(1);
            uint8_t eod = 0xFF;
            const qel_err err = qel_reader_next_value(r, &e, &eod);
            if (err != QEL_SUCCESS) {
                FUZZ_CHECK(e == nullptr);
                break;
            }
            if (eod) {
                FUZZ_CHECK(eod == 1 && e == nullptr);
                // The end of the document stays the end.
                FUZZ_CHECK(qel_reader_next_value(r, &e, &eod) == QEL_SUCCESS && eod == 1 && !e);
                break;
            }
            FUZZ_CHECK(eod == 0 && e != nullptr);
            inspect(e, counter.seen + pulled);
            qel_element_free(e);
            FUZZ_CHECK(++pulled + counter.seen <= length);
        }
    } else {
        FUZZ_CHECK(counter.seen < counter.stop_after);
        // A second document from the same bytes decodes alike: a buffer's
        // rewind leaves nothing of the first run behind.
        if (!from_file) {
            Counter again{0, UINT32_MAX};
            FUZZ_CHECK(qel_reader_set_buffer(r, stream, length) == QEL_SUCCESS);
            FUZZ_CHECK(qel_reader_set_callback(r, on_element, &again) == QEL_SUCCESS);
            FUZZ_CHECK(qel_reader_parse(r) == parsed && again.digest == counter.digest);
        }
        // So do the same bytes from the other input, element for element: a
        // buffer is decoded where it lies, a file through copies.
        Counter other{0, UINT32_MAX};
        FUZZ_CHECK(qel_reader_free(r) == QEL_SUCCESS);
        if (from_file) {
            FUZZ_CHECK(qel_reader_new_buffer(&r) == QEL_SUCCESS && r != nullptr);
            FUZZ_CHECK(qel_reader_set_buffer_borrowed(r, stream, length) == QEL_SUCCESS);
        } else {
            r = open_file(stream, length);
        }
        FUZZ_CHECK(qel_reader_set_callback(r, on_element, &other) == QEL_SUCCESS);
        FUZZ_CHECK(qel_reader_parse(r) == parsed && other.seen == counter.seen &&
                   other.digest == counter.digest);
    }
    FUZZ_CHECK(qel_reader_free(r) == QEL_SUCCESS);
    return 0;
}
