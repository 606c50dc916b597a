// The reader: decodes a buffer or a file element by element, following the
// nesting to the end of the document, for a callback or a pull loop.
#include "qel_reader.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "qel_check.h"
#include "qel_heap.h"
#include "qel_string.h"

/* ======================================================================== */
/* Handle                                                                    */
/* ======================================================================== */

namespace {

void release_input(qel_reader* r) noexcept {
    if (r->owns_buffer) qel_free(const_cast<uint8_t*>(r->buffer));
    r->buffer = nullptr;
    r->owns_buffer = false;
}

// A file that fails to close loses nothing that was read from it.
void release_reader(qel_reader* r) noexcept {
    release_input(r);
    qel_handle_release(r);
}

// *reader is written only on success.
qel_err qel_reader_alloc(qel_reader** reader) noexcept {
    qel_reader* newr = qel_handle_new<qel_reader>();
    QEL_CHECK(newr, "allocation failed", QEL_ERR_ALLOCATION);
    *reader = newr;
    return QEL_SUCCESS;
}

}  // namespace

extern "C" qel_err qel_reader_new_buffer(qel_reader** reader) noexcept {
    QEL_CHECK(NULL != reader, "illegal parameters", QEL_ERR_INVALID);
    qel_reader* newr = nullptr;
    if (qel_err err = qel_reader_alloc(&newr)) return err;
    newr->mode = QEL_MODE_BUFFER;
    *reader = newr;
    return QEL_SUCCESS;
}

extern "C" qel_err qel_reader_new_file(qel_reader** reader, const char* filename, size_t n_fn) noexcept {
    QEL_CHECK(NULL != reader, "illegal parameters", QEL_ERR_INVALID);
    FILE* file = nullptr;
    if (qel_err err = qel_file_open(&file, filename, n_fn, 0)) return err;
    qel_reader* newr = nullptr;
    if (qel_err err = qel_reader_alloc(&newr)) {
        std::fclose(file);
        return err;
    }
    newr->mode = QEL_MODE_FILE;
    newr->file = file;
    // A regular file's size bounds every declared length before anything is
    // allocated for it; other files are read in bounded pieces instead.
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0) {
        newr->file_size_known = true;
        newr->file_remaining = static_cast<uint64_t>(info.st_size);
    }
    *reader = newr;
    return QEL_SUCCESS;
}

extern "C" qel_err qel_reader_set_buffer(qel_reader* r, const uint8_t* buffer, uint64_t size) noexcept {
    QEL_CHECK(r, "invalid handle", QEL_ERR_INVALID);
    QEL_CHECK(buffer, "invalid buffer", QEL_ERR_INVALID);
    QEL_CHECK(QEL_MODE_BUFFER == r->mode, "invalid handle", QEL_ERR_INVALID);
    void* copy = size <= SIZE_MAX ? qel_calloc(static_cast<size_t>(size), 1) : nullptr;
    QEL_CHECK(NULL != copy, "allocation failed", QEL_ERR_ALLOCATION);
    if (size > 0) std::memcpy(copy, buffer, static_cast<size_t>(size));
    release_input(r);
    r->buffer = static_cast<uint8_t*>(copy);
    r->owns_buffer = true;
    r->size = size;
    r->position = 0;
    r->state = qel_state_stack_reset(&r->states);
    return QEL_SUCCESS;
}

extern "C" qel_err qel_reader_set_buffer_borrowed(qel_reader* r, const uint8_t* buffer,
                                                  uint64_t size) noexcept {
    QEL_CHECK(r, "invalid handle", QEL_ERR_INVALID);
    QEL_CHECK(buffer, "invalid buffer", QEL_ERR_INVALID);
    QEL_CHECK(QEL_MODE_BUFFER == r->mode, "invalid handle", QEL_ERR_INVALID);
    release_input(r);
    r->buffer = buffer;
    r->size = size;
    r->position = 0;
    r->state = qel_state_stack_reset(&r->states);
    return QEL_SUCCESS;
}

extern "C" qel_err qel_reader_set_callback(qel_reader* r, qel_reader_callback callback,
                                           void* user_data) noexcept {
    QEL_CHECK(r, "invalid handle", QEL_ERR_INVALID);
    r->callback = callback;
    r->user_data = callback != nullptr ? user_data : nullptr;
    return QEL_SUCCESS;
}

extern "C" qel_err qel_reader_free(qel_reader* r) noexcept {
    QEL_CHECK(r, "invalid handle", QEL_ERR_INVALID);
    release_reader(r);
    return QEL_SUCCESS;
}

/* ======================================================================== */
/* Input                                                                     */
/* ======================================================================== */

namespace {

// Whether `bytes` more bytes can still come: checked before a declared
// length is allocated, so a short input fails at once and alike from a
// buffer and from a file.
qel_err check_available(qel_reader* r, uint64_t bytes) noexcept {
    if (r->mode == QEL_MODE_BUFFER) {
        QEL_CHECK(bytes <= r->size - r->position, "read past end of buffer", QEL_ERR_FILE);
    } else if (r->file_size_known) {
        QEL_CHECK(bytes <= r->file_remaining, "read from file failed", QEL_ERR_FILE);
    }
    return QEL_SUCCESS;
}

qel_err read_file(qel_reader* r, void* sequence, uint64_t bytes) noexcept {
    QEL_CHECK(fread(sequence, 1, bytes, r->file) == bytes, "read from file failed", QEL_ERR_FILE);
    if (r->file_size_known) r->file_remaining -= std::min(bytes, r->file_remaining);
    return QEL_SUCCESS;
}

// Reads exactly `bytes` bytes, or fails with QEL_ERR_FILE without reading
// past the end of the input.
qel_err qel_reader_input(qel_reader* r, void* sequence, uint64_t bytes) noexcept {
    if (r->mode == QEL_MODE_FILE) return read_file(r, sequence, bytes);
    if (qel_err err = check_available(r, bytes)) return err;
    if (bytes > 0) std::memcpy(sequence, r->buffer + r->position, static_cast<size_t>(bytes));
    r->position += bytes;
    return QEL_SUCCESS;
}

template <typename U>
qel_err read_le(qel_reader* r, U* value) noexcept {
    uint8_t bytes[sizeof(U)];
    if (qel_err err = qel_reader_input(r, bytes, sizeof bytes)) return err;
    U assembled = 0;
    for (size_t i = sizeof(U); i-- > 0;) assembled = static_cast<U>((assembled << 8) | bytes[i]);
    *value = assembled;
    return QEL_SUCCESS;
}

template <typename U, typename... More>
qel_err read_fields(qel_reader* r, U* first, More*... more) noexcept {
    qel_err err = read_le(r, first);
    ((err = err ? err : read_le(r, more)), ...);
    return err;
}

// A payload block of `bytes` bytes, filled from the input. With the input's
// remaining size unknown (a pipe) the block only grows as data arrives, so a
// declared length cannot reserve memory that the input does not hold.
qel_err read_payload(qel_reader* r, uint64_t bytes, uint8_t** data, const char* expression) noexcept {
    *data = nullptr;
    if (qel_err err = check_available(r, bytes)) return err;
    constexpr uint64_t piece = uint64_t{1} << 20;
    const bool bounded = r->mode == QEL_MODE_BUFFER || r->file_size_known;
    uint64_t capacity = bounded ? bytes : std::min(bytes, piece);
    uint8_t* block = capacity <= SIZE_MAX ? static_cast<uint8_t*>(qel_calloc(static_cast<size_t>(capacity), 1))
                                          : nullptr;
    QEL_CHECK(NULL != block, "allocation failed", QEL_ERR_ALLOCATION, expression);
    uint64_t filled = 0;
    for (;;) {
        if (qel_err err = qel_reader_input(r, block + filled, capacity - filled)) {
            qel_free(block);
            return err;
        }
        filled = capacity;
        if (filled == bytes) break;
        capacity = std::min(bytes, capacity * 2);
        void* bigger = capacity <= SIZE_MAX ? std::realloc(block, static_cast<size_t>(capacity)) : nullptr;
        if (bigger == nullptr) qel_free(block);
        QEL_CHECK(NULL != bigger, "allocation failed", QEL_ERR_ALLOCATION, expression);
        block = static_cast<uint8_t*>(bigger);
    }
    *data = block;
    return QEL_SUCCESS;
}

}  // namespace

/* ======================================================================== */
/* Element decoding                                                          */
/* ======================================================================== */

namespace {

bool owns_data(const qel_element* e) noexcept {
    return (e->type_with_null_flag == QEL_TYPE_STRING && e->string.type <= QEL_SUB_STRING_U32) ||
           e->type_with_null_flag == QEL_TYPE_BIN;
}

// Leaves the block as a fresh zero-filled element.
void clear_element(qel_element* e) noexcept {
    if (owns_data(e))
        qel_free(e->type_with_null_flag == QEL_TYPE_BIN ? e->binary.data
                                                        : static_cast<void*>(e->string.c_string));
    std::memset(e, 0, sizeof *e);
}

// Decodes a string's subtype, units and code units into `v`, whose type byte
// has been read; on failure `v` owns no data.
qel_err qel_reader_read_string(qel_reader* r, qel_element* v) noexcept {
    static const char* const expressions[] = {"v->string.c_string", "v->string.u8_string",
                                              "v->string.u16_string", "v->string.u32_string"};
    if (qel_err err = read_fields(r, &v->string.type, &v->string.units)) return err;
    QEL_CHECK(v->string.type <= QEL_SUB_STRING_U32, "invalid string subtype", QEL_ERR_INVALID, "0");
    const uint32_t unit_size = qel_string_unit_size(v->string.type);
    uint8_t* units = nullptr;
    if (qel_err err = read_payload(r, uint64_t{v->string.units} * unit_size, &units,
                                   expressions[v->string.type]))
        return err;
    if constexpr (std::endian::native == std::endian::big) {
        for (uint64_t i = 0; i < uint64_t{v->string.units} * unit_size; i += unit_size)
            std::reverse(units + i, units + i + unit_size);
    }
    v->string.c_string = reinterpret_cast<char*>(units);
    return QEL_SUCCESS;
}

qel_err read_binary(qel_reader* r, qel_element* v) noexcept {
    if (qel_err err = read_fields(r, &v->binary.type, &v->binary.size)) return err;
    return read_payload(r, v->binary.size, &v->binary.data, "v->binary.data");
}

// Decodes what follows the type byte already in `v` and advances the state.
qel_err decode_element(qel_reader* r, qel_element* v) noexcept {
    const uint8_t code = v->type_with_null_flag & QEL_TYPE_MASK;
    qel_err err = QEL_SUCCESS;
    if ((v->type_with_null_flag & QEL_NULL_FLAG) != 0) {
        // A null element has no payload; a null container opens nothing.
        if (!qel_wire_null_flag_allowed(code)) return QEL_ERR_INVALID;
        return qel_state_step(QEL_STEP_ATOMIC, &r->state, &r->states);
    }
    switch (code) {
    case QEL_TYPE_END:
        if (r->state->state == STATE_TABLE_KEYS) {
            r->state->state = STATE_TABLE_ROWS;
            return QEL_SUCCESS;
        }
        // At document level there is nothing to close.
        if (r->states.depth == 0) return QEL_ERR_INVALID;
        r->state = qel_state_pop(&r->states);
        return qel_state_step(QEL_STEP_CONTAINER, &r->state, &r->states);
    case QEL_TYPE_FLOAT64:
    case QEL_TYPE_INT64:
    case QEL_TYPE_UINT64:
    case QEL_TYPE_OPAQUE64:
        err = read_le(r, &v->u64);
        break;
    case QEL_TYPE_FLOAT32:
    case QEL_TYPE_INT32:
    case QEL_TYPE_UINT32:
        err = read_le(r, &v->u32);
        break;
    case QEL_TYPE_FLOAT16:
    case QEL_TYPE_INT16:
    case QEL_TYPE_UINT16:
        err = read_le(r, &v->u16);
        break;
    case QEL_TYPE_INT8:
    case QEL_TYPE_UINT8:
    case QEL_TYPE_BOOL:
        err = read_le(r, &v->u8);
        break;
    case QEL_TYPE_STRING:
        err = qel_reader_read_string(r, v);
        break;
    case QEL_TYPE_BIN:
        err = read_binary(r, v);
        break;
    case QEL_TYPE_NONE:
        break;
    case QEL_TYPE_DATE: {
        qel_timestamp& t = v->timestamp;
        uint16_t year = 0;
        err = read_fields(r, &year, &t.month, &t.day);
        t.year = static_cast<int16_t>(year);
        break;
    }
    case QEL_TYPE_TIME: {
        qel_timestamp& t = v->timestamp;
        err = read_fields(r, &t.hour, &t.minute, &t.second);
        break;
    }
    case QEL_TYPE_TIMESTAMP: {
        qel_timestamp& t = v->timestamp;
        uint16_t year = 0;
        err = read_fields(r, &year, &t.month, &t.day, &t.hour, &t.minute, &t.second, &t.microsecond);
        t.year = static_cast<int16_t>(year);
        break;
    }
    case QEL_TYPE_LIST:
        return qel_state_enter(STATE_LIST, &r->state, &r->states);
    case QEL_TYPE_MAP:
        return qel_state_enter(STATE_DICT_KEY, &r->state, &r->states);
    case QEL_TYPE_TABLE:
        return qel_state_enter(STATE_TABLE_KEYS, &r->state, &r->states);
    default:
        return QEL_ERR_INVALID;
    }
    if (err) return err;
    return qel_state_step(QEL_STEP_ATOMIC, &r->state, &r->states);
}

template <typename U>
U load_le(const uint8_t* p) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        U value;
        std::memcpy(&value, p, sizeof value);
        return value;
    } else {
        U value = 0;
        for (size_t i = sizeof(U); i-- > 0;) value = static_cast<U>((value << 8) | p[i]);
        return value;
    }
}

// The next element of a buffer, decoded where it lies: strings of 1-byte
// units and binaries point into the input. Only an element that is whole,
// valid and needs no growth of the nesting array is taken here; for anything
// else nothing is consumed and false sends the reader down the general path,
// which decodes or refuses it with its own records.
bool decode_in_place(qel_reader* r, qel_element* v) noexcept {
    // Room for two more levels: neither an opening nor a key's value level
    // can need the array to grow below.
    if (!qel_state_room(&r->states, 2)) return false;
    const uint64_t left = r->size - r->position;
    if (left == 0) return false;
    const uint8_t* p = r->buffer + r->position;
    const uint8_t type = p[0];
    uint64_t length = 1;
    switch (type) {
    case QEL_TYPE_END:
        if (r->state->state == STATE_TABLE_KEYS || r->states.depth == 0) return false;
        v->type_with_null_flag = type;
        r->position += 1;
        qel_state_pop(&r->states);
        r->state = qel_state_next(QEL_STEP_CONTAINER, &r->states);
        return true;
    case QEL_TYPE_FLOAT64:
    case QEL_TYPE_INT64:
    case QEL_TYPE_UINT64:
    case QEL_TYPE_OPAQUE64:
        if (left < 9) return false;
        v->u64 = load_le<uint64_t>(p + 1);
        length = 9;
        break;
    case QEL_TYPE_FLOAT32:
    case QEL_TYPE_INT32:
    case QEL_TYPE_UINT32:
        if (left < 5) return false;
        v->u32 = load_le<uint32_t>(p + 1);
        length = 5;
        break;
    case QEL_TYPE_FLOAT16:
    case QEL_TYPE_INT16:
    case QEL_TYPE_UINT16:
        if (left < 3) return false;
        v->u16 = load_le<uint16_t>(p + 1);
        length = 3;
        break;
    case QEL_TYPE_INT8:
    case QEL_TYPE_UINT8:
    case QEL_TYPE_BOOL:
        if (left < 2) return false;
        v->u8 = p[1];
        length = 2;
        break;
    case QEL_TYPE_NONE:
        break;
    case QEL_TYPE_STRING: {
        if (left < 6 || p[1] > QEL_SUB_STRING_U8) return false;
        const uint32_t units = load_le<uint32_t>(p + 2);
        if (left - 6 < units) return false;
        v->string.type = p[1];
        v->string.c_string = reinterpret_cast<char*>(const_cast<uint8_t*>(p + 6));
        v->string.units = units;
        length = 6 + uint64_t{units};
        break;
    }
    case QEL_TYPE_BIN: {
        if (left < 6) return false;
        const uint32_t size = load_le<uint32_t>(p + 2);
        if (left - 6 < size) return false;
        v->binary.type = p[1];
        v->binary.data = const_cast<uint8_t*>(p + 6);
        v->binary.size = size;
        length = 6 + uint64_t{size};
        break;
    }
    case QEL_TYPE_DATE:
        if (left < 5) return false;
        v->timestamp.year = static_cast<int16_t>(load_le<uint16_t>(p + 1));
        v->timestamp.month = p[3];
        v->timestamp.day = p[4];
        length = 5;
        break;
    case QEL_TYPE_TIME:
        if (left < 4) return false;
        v->timestamp.hour = p[1];
        v->timestamp.minute = p[2];
        v->timestamp.second = p[3];
        length = 4;
        break;
    case QEL_TYPE_TIMESTAMP: {
        if (left < 12) return false;
        qel_timestamp& t = v->timestamp;
        t.year = static_cast<int16_t>(load_le<uint16_t>(p + 1));
        t.month = p[3];
        t.day = p[4];
        t.hour = p[5];
        t.minute = p[6];
        t.second = p[7];
        t.microsecond = load_le<uint32_t>(p + 8);
        length = 12;
        break;
    }
    case QEL_TYPE_LIST:
    case QEL_TYPE_MAP:
    case QEL_TYPE_TABLE: {
        static constexpr uint32_t opened[] = {STATE_LIST, STATE_DICT_KEY, STATE_TABLE_KEYS};
        v->type_with_null_flag = type;
        r->position += 1;
        r->state = qel_state_push(opened[type - QEL_TYPE_LIST], &r->states);
        return true;
    }
    default:
        // A null element has no payload; a null container opens nothing.
        if ((type & QEL_NULL_FLAG) == 0 || !qel_wire_null_flag_allowed(type & QEL_TYPE_MASK)) return false;
        break;
    }
    v->type_with_null_flag = type;
    r->position += length;
    // Room for the value level was checked above.
    qel_state_advance(QEL_STEP_ATOMIC, &r->state, &r->states);
    return true;
}

// The next element into the zero-filled block `v`, before the end of the
// document. On failure `v` is zero-filled again and owns nothing.
qel_err next_into(qel_reader* r, qel_element* v) noexcept {
    if (qel_err err = qel_reader_input(r, &v->type_with_null_flag, 1)) return err;
    qel_err err = decode_element(r, v);
    if (err) clear_element(v);
    QEL_CHECK(QEL_SUCCESS == err, "failed to get next value", err);
    return QEL_SUCCESS;
}

}  // namespace

extern "C" qel_err qel_reader_next_value(qel_reader* r, qel_element** v, uint8_t* eod) noexcept {
    QEL_CHECK(NULL != r, "missing reader!", QEL_ERR_INVALID);
    QEL_CHECK(NULL != v, "element reference is NULL!", QEL_ERR_INVALID);
    QEL_CHECK(NULL != eod, "eod reference is NULL!", QEL_ERR_INVALID);
    *v = nullptr;
    if (r->state->state == STATE_END) {
        *eod = 1;
        return QEL_SUCCESS;
    }
    *eod = 0;
    auto* value = static_cast<qel_element*>(qel_calloc(1, sizeof(qel_element)));
    QEL_CHECK(NULL != value, "error creating qel element!", QEL_ERR_ALLOCATION);
    if (qel_err err = next_into(r, value)) {
        qel_free(value);
        return err;
    }
    *v = value;
    return QEL_SUCCESS;
}

extern "C" qel_err qel_reader_parse(qel_reader* r) noexcept {
    QEL_CHECK(NULL != r, "missing reader!", QEL_ERR_INVALID);
    if (qel_err err = qel_reader_input(r, r->header.magic, sizeof r->header.magic)) return err;
    // The condition's spelling is the record's text.
    // clang-format off
    QEL_CHECK(strncmp(QEL_MAGIC, (const char*)r->header.magic,4) == 0, "no qel header found", QEL_ERR_INVALID);
    // clang-format on
    if (qel_err err = read_le(r, &r->header.version)) return err;
    QEL_CHECK(r->header.version == 1, "unsupported QEL version", QEL_ERR_INVALID);
    if (qel_err err = read_le(r, &r->header.reserved)) return err;

    // One element serves every step: the callback only borrows it. From a
    // buffer its data lies in the input; otherwise it has a block of its own,
    // released as soon as the callback returns.
    qel_element value{};
    const bool in_place = r->mode == QEL_MODE_BUFFER;
    while (r->state->state != STATE_END) {
        const bool borrowed = in_place && decode_in_place(r, &value);
        if (!borrowed) {
            if (qel_err err = next_into(r, &value)) return err;
        }
        const uint32_t result = r->callback != nullptr ? r->callback(&value, r->user_data) : 0;
        if (borrowed) {
            std::memset(&value, 0, sizeof value);
        } else {
            clear_element(&value);
        }
        if (result != 0) return result;
    }
    return QEL_SUCCESS;
}

/* ======================================================================== */
/* Elements                                                                  */
/* ======================================================================== */

extern "C" qel_err qel_element_free(qel_element* e) noexcept {
    if (e == nullptr) return QEL_SUCCESS;
    clear_element(e);
    qel_free(e);
    return QEL_SUCCESS;
}

namespace {

template <typename T, typename Bits>
qel_err get_value(const qel_element* e, T* value, uint8_t type, const char* type_test, Bits bits) noexcept {
    QEL_CHECK(e, "invalid handle", QEL_ERR_INVALID);
    QEL_CHECK(type == e->type_with_null_flag, "element type mismatch", QEL_ERR_INVALID, type_test);
    QEL_CHECK(NULL != value, "missing parameter", QEL_ERR_INVALID);
    *value = std::bit_cast<T>(bits(*e));
    return QEL_SUCCESS;
}

qel_err get_string(const qel_element* e, const char** str, uint32_t* units, uint8_t subtype,
                   const char* subtype_test) noexcept {
    QEL_CHECK(str, "missing str parameter", QEL_ERR_INVALID);
    QEL_CHECK(units, "missing units parameter", QEL_ERR_INVALID);
    QEL_CHECK(e, "invalid handle", QEL_ERR_INVALID);
    QEL_CHECK(QEL_TYPE_STRING == (QEL_TYPE_MASK & e->type_with_null_flag), "element type mismatch",
              QEL_ERR_INVALID);
    if ((e->type_with_null_flag & QEL_NULL_FLAG) != 0) {
        *str = nullptr;
        *units = 0;
        return QEL_SUCCESS;
    }
    QEL_CHECK(subtype == e->string.type, "string type mismatch", QEL_ERR_INVALID, subtype_test);
    *str = e->string.c_string;
    *units = e->string.units;
    return QEL_SUCCESS;
}

}  // namespace

// Accessors that demand the whole type byte, so a null-flagged element of
// the right code is a mismatch too.
#define QEL_DEFINE_GET(name, ctype, type, member)                                                   \
    extern "C" qel_err qel_element_get_##name(const qel_element* e, ctype* value) noexcept {        \
        return get_value(e, value, QEL_TYPE_##type, "QEL_TYPE_" #type " == e->type_with_null_flag", \
                         [](const qel_element& x) { return x.member; });                            \
    }
QEL_SCALAR_TYPES(QEL_DEFINE_GET)
QEL_DEFINE_GET(timestamp, qel_timestamp, TIMESTAMP, timestamp)
QEL_DEFINE_GET(string_type, uint8_t, STRING, string.type)
#undef QEL_DEFINE_GET

extern "C" qel_err qel_element_get_string_c(const qel_element* e, const char** str, uint32_t* units) noexcept {
    return get_string(e, str, units, QEL_SUB_STRING_C, "QEL_SUB_STRING_C == e->string.type");
}

extern "C" qel_err qel_element_get_string_u8(const qel_element* e, const char** str, uint32_t* units) noexcept {
    return get_string(e, str, units, QEL_SUB_STRING_U8, "QEL_SUB_STRING_U8 == e->string.type");
}

extern "C" qel_err qel_element_get_binary(const qel_element* e, uint8_t* subtype, const uint8_t** data,
                                          uint32_t* size) noexcept {
    QEL_CHECK(e, "invalid handle", QEL_ERR_INVALID);
    QEL_CHECK(QEL_TYPE_BIN == (QEL_TYPE_MASK & e->type_with_null_flag), "element type mismatch",
              QEL_ERR_INVALID);
    // A null binary has no value, whatever its bytes hold.
    const qel_binary_value none{};
    const qel_binary_value& b = (e->type_with_null_flag & QEL_NULL_FLAG) != 0 ? none : e->binary;
    if (subtype != nullptr) *subtype = b.type;
    if (data != nullptr) *data = b.data;
    if (size != nullptr) *size = b.size;
    return QEL_SUCCESS;
}

extern "C" qel_err qel_element_get_type(const qel_element* e, uint8_t* value, uint8_t* null_flag) noexcept {
    QEL_CHECK(NULL != e, "invalid handle", QEL_ERR_INVALID);
    QEL_CHECK(NULL != value, "missing parameter", QEL_ERR_INVALID);
    *value = e->type_with_null_flag & QEL_TYPE_MASK;
    if (null_flag != nullptr) *null_flag = e->type_with_null_flag >> 7;
    return QEL_SUCCESS;
}
