// The writer: emitters that check each element against the nesting state
// and append it to a growing buffer or a file.
#include "qel_writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "qel_check.h"
#include "qel_file.h"
#include "qel_heap.h"
#include "qel_string.h"

/* ======================================================================== */
/* Output                                                                    */
/* ======================================================================== */

namespace {

// Bytes a buffer-mode writer starts with, and its least growth step.
enum { QEL_WRITER_BUFFER_STEP = 4096 };

// Room for `bytes` more bytes in a buffer-mode writer.
qel_err reserve(qel_writer* w, uint64_t bytes) noexcept {
    if (bytes <= w->capacity - w->used) [[likely]]
        return QEL_SUCCESS;
    // At least one step and the whole write at once; doubling on top keeps
    // a long stream at a logarithmic number of reallocations.
    const uint64_t stepped = w->capacity + QEL_WRITER_BUFFER_STEP +
                             bytes / QEL_WRITER_BUFFER_STEP * QEL_WRITER_BUFFER_STEP;
    const uint64_t grown = std::max(stepped, w->capacity * 2);
    void* bigger = grown <= SIZE_MAX ? std::realloc(w->buffer, static_cast<size_t>(grown)) : nullptr;
    QEL_CHECK(NULL != bigger, "resize buffer failed", QEL_ERR_ALLOCATION, "QEL_FALSE");
    w->buffer = static_cast<uint8_t*>(bigger);
    w->capacity = grown;
    return QEL_SUCCESS;
}

// Appends `bytes` bytes to the stream (file, or buffer grown as needed).
qel_err qel_writer_output(qel_writer* w, const void* sequence, uint64_t bytes) noexcept {
    if (w->mode == QEL_MODE_FILE) {
        QEL_CHECK(fwrite(sequence, 1, bytes, w->file) == bytes, "write to file failed", QEL_ERR_FILE);
        return QEL_SUCCESS;
    }
    if (qel_err err = reserve(w, bytes)) return err;
    if (bytes > 0) std::memcpy(w->buffer + w->used, sequence, static_cast<size_t>(bytes));
    w->used += bytes;
    return QEL_SUCCESS;
}

}  // namespace

/* ======================================================================== */
/* Handle                                                                    */
/* ======================================================================== */

namespace {

// The temporary file of a replacing writer, removed unless it was moved
// over its target.
struct Replacement {
    char* temporary;
    char* target;
    ~Replacement() {
        if (temporary != nullptr) std::remove(temporary);
        qel_free(temporary);
        qel_free(target);
    }
};

// Everything a handle owns; `publish` moves a replacing writer's file over
// its target. Buffered bytes that never reach the file are a failed write; a
// flush by someone else (fflush(NULL)) leaves its failure only in the
// stream's error flag.
qel_err release_writer(qel_writer* w, bool publish) noexcept {
    Replacement replacement{w->temporary, w->target};
    qel_free(w->buffer);
    const int closed = qel_handle_release(w);
    QEL_CHECK(0 == closed, "write to file failed", QEL_ERR_FILE);
    if (publish && replacement.temporary != nullptr) {
        QEL_CHECK(0 == std::rename(replacement.temporary, replacement.target), "write to file failed",
                  QEL_ERR_FILE);
        qel_free(replacement.temporary);
        replacement.temporary = nullptr;
    }
    return QEL_SUCCESS;
}

struct WriterRelease {
    void operator()(qel_writer* w) const noexcept { release_writer(w, false); }
};
using WriterGuard = std::unique_ptr<qel_writer, WriterRelease>;

constexpr uint8_t kHeader[QEL_HEADER_SIZE] = QEL_HEADER_BYTES;

// *writer is written only on success.
qel_err qel_writer_alloc(qel_writer** writer) noexcept {
    qel_writer* newhdl = qel_handle_new<qel_writer>();
    QEL_CHECK(newhdl, "allocation failed", QEL_ERR_ALLOCATION);
    *writer = newhdl;
    return QEL_SUCCESS;
}

}  // namespace

extern "C" qel_err qel_writer_new_buffer(qel_writer** writer) noexcept {
    QEL_CHECK(NULL != writer, "illegal parameters", QEL_ERR_INVALID);
    qel_writer* created = nullptr;
    if (qel_err err = qel_writer_alloc(&created)) return err;
    WriterGuard newhdl(created);
    newhdl->mode = QEL_MODE_BUFFER;
    newhdl->buffer = static_cast<uint8_t*>(qel_calloc(QEL_WRITER_BUFFER_STEP, 1));
    QEL_CHECK(NULL != newhdl->buffer, "allocation failed", QEL_ERR_ALLOCATION);
    newhdl->capacity = QEL_WRITER_BUFFER_STEP;
    if (qel_err err = qel_writer_output(newhdl.get(), kHeader, sizeof kHeader)) return err;
    *writer = newhdl.release();
    return QEL_SUCCESS;
}

namespace {

// A file-mode handle around an open stream, and the header written. A failed
// header leaves the handle in *writer for the caller to free; on every other
// failure the stream is closed and its temporary file removed.
qel_err new_file_writer(qel_writer** writer, FILE* file, char* temporary, char* target) noexcept {
    qel_writer* newhdl = nullptr;
    if (qel_err err = qel_writer_alloc(&newhdl)) {
        std::fclose(file);
        const Replacement discarded{temporary, target};
        return err;
    }
    newhdl->mode = QEL_MODE_FILE;
    newhdl->file = file;
    newhdl->temporary = temporary;
    newhdl->target = target;
    *writer = newhdl;
    return qel_writer_output(newhdl, kHeader, sizeof kHeader);
}

}  // namespace

extern "C" qel_err qel_writer_new_file(qel_writer** writer, const char* filename, size_t n_fn) noexcept {
    QEL_CHECK(NULL != writer, "illegal parameters", QEL_ERR_INVALID);
    FILE* file = nullptr;
    if (qel_err err = qel_file_open(&file, filename, n_fn, 1)) return err;
    return new_file_writer(writer, file, nullptr, nullptr);
}

extern "C" qel_err qel_writer_new_file_replacing(qel_writer** writer, const char* filename,
                                                 size_t n_fn) noexcept {
    QEL_CHECK(NULL != writer, "illegal parameters", QEL_ERR_INVALID);
    FILE* file = nullptr;
    char* temporary = nullptr;
    char* target = nullptr;
    if (qel_err err = qel_file_open_replacing(&file, &temporary, &target, filename, n_fn)) return err;
    return new_file_writer(writer, file, temporary, target);
}

extern "C" qel_err qel_writer_get_buffer(qel_writer* w, const uint8_t** buffer, uint64_t* size) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    if (buffer != nullptr) *buffer = w->buffer;
    if (size != nullptr) *size = w->used;
    return QEL_SUCCESS;
}

extern "C" qel_err qel_writer_take_buffer(qel_writer* w, uint8_t** buffer, uint64_t* size) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    QEL_CHECK(NULL != buffer && NULL != size, "illegal parameters", QEL_ERR_INVALID);
    *buffer = w->buffer;
    *size = w->used;
    w->buffer = nullptr;
    w->capacity = w->used = 0;
    return QEL_SUCCESS;
}

extern "C" qel_err qel_writer_free(qel_writer* w) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    return release_writer(w, false);
}

extern "C" qel_err qel_writer_commit(qel_writer* w) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    return release_writer(w, true);
}

/* ======================================================================== */
/* Emitters                                                                  */
/* ======================================================================== */

namespace {

// What may be emitted where the stream stands: the writer's rules, which
// the reader, following whatever the stream holds, never asks.
bool qel_state_allow_atomic(uint32_t state) noexcept {
    return state == STATE_LIST || state == STATE_DICT_KEY || state == STATE_DICT_VALUE ||
           state == STATE_TABLE_ROWS;
}

bool qel_state_allow_container(uint32_t state) noexcept {
    return state == STATE_START || state == STATE_LIST || state == STATE_DICT_VALUE ||
           state == STATE_TABLE_ROWS;
}

bool qel_state_allow_string(uint32_t state) noexcept {
    return state == STATE_LIST || state == STATE_DICT_KEY || state == STATE_DICT_VALUE ||
           state == STATE_TABLE_KEYS || state == STATE_TABLE_ROWS;
}

bool qel_half_is_nan(uint16_t pattern) noexcept {
    return (pattern & 0x7C00u) == 0x7C00u && (pattern & 0x03FFu) != 0;
}

// True for NaN and both infinities; asked after qel_half_is_nan.
bool qel_half_is_nonfinite(uint16_t pattern) noexcept { return (pattern & 0x7C00u) == 0x7C00u; }

template <size_t N>
struct UnsignedOf;
template <>
struct UnsignedOf<1> {
    using type = uint8_t;
};
template <>
struct UnsignedOf<2> {
    using type = uint16_t;
};
template <>
struct UnsignedOf<4> {
    using type = uint32_t;
};
template <>
struct UnsignedOf<8> {
    using type = uint64_t;
};

// One payload field, little-endian whatever the host.
template <typename T>
void put_field(uint8_t*& out, T value) noexcept {
    using Bits = typename UnsignedOf<sizeof(T)>::type;
    auto bits = std::bit_cast<Bits>(value);
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &bits, sizeof bits);
    } else {
        for (size_t i = 0; i < sizeof bits; ++i) {
            out[i] = static_cast<uint8_t>(bits & 0xFFu);
            bits = static_cast<Bits>(bits >> 8);
        }
    }
    out += sizeof bits;
}

template <typename T>
qel_err output_field(qel_writer* w, T value) noexcept {
    std::array<uint8_t, sizeof(T)> bytes;
    uint8_t* out = bytes.data();
    put_field(out, value);
    return qel_writer_output(w, bytes.data(), bytes.size());
}

// The data of a string or blob, written as it stands after its length.
struct Block {
    const void* data;
    uint32_t size;
};

void put_field(uint8_t*& out, Block block) noexcept {
    if (block.size > 0) std::memcpy(out, block.data, block.size);
    out += block.size;
}

qel_err output_field(qel_writer* w, Block block) noexcept {
    return qel_writer_output(w, block.data, block.size);
}

template <typename T>
constexpr uint64_t field_size(T) noexcept {
    return sizeof(T);
}
constexpr uint64_t field_size(Block block) noexcept { return block.size; }

// Type byte, then the fields in order; the state advances only once the
// whole element is out. A buffer grows once per element; a file takes each
// field by its own write, so that a failed write leaves exactly the fields
// before it.
template <typename... Fields>
qel_err emit(qel_writer* w, uint8_t type, uint32_t kind, Fields... fields) noexcept {
    if (w->mode == QEL_MODE_BUFFER) {
        const uint64_t total = (uint64_t{1} + ... + field_size(fields));
        if (qel_err err = reserve(w, total)) return err;
        uint8_t* out = w->buffer + w->used;
        *out++ = type;
        (put_field(out, fields), ...);
        w->used += total;
    } else {
        qel_err err = output_field(w, type);
        ((err = err ? err : output_field(w, fields)), ...);
        if (err) return err;
    }
    return qel_state_advance(kind, &w->state, &w->states);
}

template <uint8_t Type, typename T>
qel_err write_scalar(qel_writer* w, T value) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    QEL_CHECK(qel_state_allow_atomic(w->state->state), "value not allowed", QEL_ERR_NOT_ALLOWED);
    if constexpr (Type == QEL_TYPE_FLOAT16) {
        QEL_CHECK(!qel_half_is_nan(value), "value is NaN", QEL_ERR_INVALID, "0");
        QEL_CHECK(!qel_half_is_nonfinite(value), "value is out of range", QEL_ERR_INVALID, "0");
    }
    return emit(w, Type, QEL_STEP_ATOMIC, value);
}

qel_err write_string(qel_writer* w, uint8_t subtype, const char* string_buffer, uint32_t units_in) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    uint32_t units = 0;
    if (qel_err err = qel_string_get_units(subtype, string_buffer, units_in, &units)) return err;
    QEL_CHECK(qel_state_allow_string(w->state->state), "value not allowed", QEL_ERR_NOT_ALLOWED);
    return emit(w, QEL_TYPE_STRING, QEL_STEP_STRING, subtype, units, Block{string_buffer, units});
}

qel_err open_container(qel_writer* w, uint32_t state, uint8_t type) noexcept {
    if (qel_err err = qel_state_enter(state, &w->state, &w->states)) return err;
    return output_field(w, type);
}

qel_err close_container(qel_writer* w) noexcept {
    w->state = qel_state_pop(&w->states);
    if (qel_err err = output_field(w, uint8_t{QEL_TYPE_END})) return err;
    return qel_state_step(QEL_STEP_CONTAINER, &w->state, &w->states);
}

}  // namespace

#define QEL_DEFINE_WRITE(name, ctype, TYPE, member)                                   \
    extern "C" qel_err qel_writer_write_##name(qel_writer* w, ctype value) noexcept { \
        return write_scalar<QEL_TYPE_##TYPE>(w, value);                               \
    }
QEL_SCALAR_TYPES(QEL_DEFINE_WRITE)
#undef QEL_DEFINE_WRITE

extern "C" qel_err qel_writer_write_none(qel_writer* w) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    QEL_CHECK(qel_state_allow_atomic(w->state->state), "value not allowed", QEL_ERR_NOT_ALLOWED);
    return emit(w, QEL_TYPE_NONE, QEL_STEP_ATOMIC);
}

extern "C" qel_err qel_writer_write_binary(qel_writer* w, uint8_t subtype, const void* data,
                                           uint32_t size) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    QEL_CHECK(NULL != data || 0 == size, "illegal parameters", QEL_ERR_INVALID);
    QEL_CHECK(qel_state_allow_atomic(w->state->state), "value not allowed", QEL_ERR_NOT_ALLOWED);
    return emit(w, QEL_TYPE_BIN, QEL_STEP_ATOMIC, subtype, size, Block{data, size});
}

extern "C" qel_err qel_writer_write_timestamp(qel_writer* w, const qel_timestamp* timestamp) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    QEL_CHECK(NULL != timestamp, "illegal parameters", QEL_ERR_INVALID);
    QEL_CHECK(qel_state_allow_atomic(w->state->state), "value not allowed", QEL_ERR_NOT_ALLOWED);
    const qel_timestamp& t = *timestamp;
    return emit(w, QEL_TYPE_TIMESTAMP, QEL_STEP_ATOMIC, t.year, t.month, t.day, t.hour, t.minute, t.second,
                t.microsecond);
}

extern "C" qel_err qel_writer_write_string_whole(qel_writer* w, uint8_t subtype, const char* string,
                                                 uint32_t units) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    QEL_CHECK(qel_state_allow_string(w->state->state), "value not allowed", QEL_ERR_NOT_ALLOWED);
    return emit(w, QEL_TYPE_STRING, QEL_STEP_STRING, subtype, units, Block{string, units});
}

extern "C" qel_err qel_writer_write_string_c(qel_writer* w, const char* string, uint32_t units_in) noexcept {
    return write_string(w, QEL_SUB_STRING_C, string, units_in);
}

extern "C" qel_err qel_writer_write_string_u8(qel_writer* w, const char* string, uint32_t units_in) noexcept {
    return write_string(w, QEL_SUB_STRING_U8, string, units_in);
}

/* ======================================================================== */
/* Containers                                                                */
/* ======================================================================== */

extern "C" qel_err qel_writer_list_open(qel_writer* w) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    QEL_CHECK(qel_state_allow_container(w->state->state), "list not allowed", QEL_ERR_NOT_ALLOWED);
    return open_container(w, STATE_LIST, QEL_TYPE_LIST);
}

extern "C" qel_err qel_writer_map_open(qel_writer* w) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    QEL_CHECK(qel_state_allow_container(w->state->state), "map not allowed", QEL_ERR_NOT_ALLOWED);
    return open_container(w, STATE_DICT_KEY, QEL_TYPE_MAP);
}

extern "C" qel_err qel_writer_list_close(qel_writer* w) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    // The condition's spelling is the record's text.
    // clang-format off
    QEL_CHECK(w->state->state==STATE_LIST, "close list not allowed", QEL_ERR_CLOSE_NOT_ALLOWED);
    // clang-format on
    return close_container(w);
}

extern "C" qel_err qel_writer_map_close(qel_writer* w) noexcept {
    QEL_CHECK(w, "invalid writer handle", QEL_ERR_INVALID);
    // The condition's spelling is the record's text.
    // clang-format off
    QEL_CHECK(w->state->state==STATE_DICT_KEY, "close map not allowed", QEL_ERR_CLOSE_NOT_ALLOWED);
    // clang-format on
    return close_container(w);
}
