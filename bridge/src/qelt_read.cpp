// Rebuilding a variant tree from a QEL stream.
//
// The reader decodes elements and hands each to qelt_read_callback, which
// turns it into a variant and places it with the tree builder. The reader
// only rejects what it cannot decode; the rules that make an element
// sequence a tree are enforced here. No partial tree survives a failure.

#include <cstdlib>
#include <cstring>
#include <memory>

#include "qelt_bridge_internal.h"
#include "qelt_internal.h"

namespace {

struct ReaderFree {
    void operator()(qel_reader* r) const noexcept { qel_reader_free(r); }
};
using ReaderPtr = std::unique_ptr<qel_reader, ReaderFree>;

qelt_err as_qelt(qel_err code) { return static_cast<qelt_err>(code); }

bool is_container(const qelt_variant* v) {
    return v->type == QELT_VARIANT_TYPE_LIST || v->type == QELT_VARIANT_TYPE_MAP;
}

// A scalar variant straight from the element's value bits: the type codes of
// the format and the variants are the same numbers, and a value narrower
// than 8 bytes lands in the low bytes of the zero-filled record, as the
// typed constructors store it.
template <typename Bits>
qelt_err scalar_from(qelt_variant** out, uint8_t type, Bits bits) {
    if (const qelt_err err = qelt_variant_alloc(out, type)) return err;
    std::memcpy(&(*out)->value, &bits, sizeof bits);
    return QELT_SUCCESS;
}

// The one dispatch of an element: its exact type byte (so a null-flagged
// element falls to the default) picks the constructor, which reads the
// decoded value straight from the element.
qelt_err element_to_variant(const qel_element* e, qelt_variant** out) {
    const uint8_t type = e->type_with_null_flag;
    switch (type) {
        case QEL_TYPE_END: return QELT_SUCCESS;
        case QEL_TYPE_FLOAT64: case QEL_TYPE_INT64: case QEL_TYPE_UINT64:
            return scalar_from(out, type, e->u64);
        case QEL_TYPE_FLOAT32: case QEL_TYPE_INT32: case QEL_TYPE_UINT32:
            return scalar_from(out, type, e->u32);
        case QEL_TYPE_FLOAT16: case QEL_TYPE_INT16: case QEL_TYPE_UINT16:
            return scalar_from(out, type, e->u16);
        case QEL_TYPE_INT8: case QEL_TYPE_UINT8: case QEL_TYPE_BOOL:
            return scalar_from(out, type, e->u8);
        case QEL_TYPE_NONE: case QEL_TYPE_LIST: case QEL_TYPE_MAP:
            return qelt_variant_alloc(out, type);
        case QEL_TYPE_STRING: {
            const qel_string_value& s = e->string;
            if (s.type != QEL_SUB_STRING_C && s.type != QEL_SUB_STRING_U8) return QELT_ERR_NYI;
            // Valid in the stream, but a string variant always holds its terminator.
            if (s.units == 0) return QELT_ERR_WRONG_STRING_SIZE;
            return s.type == QEL_SUB_STRING_C ? qelt_variant_new_string_c(out, s.c_string, s.units)
                                              : qelt_variant_new_string_utf8(out, s.u8_string, s.units);
        }
        case QEL_TYPE_BIN:
            // Valid in the stream, but there is no empty binary variant.
            if (e->binary.size == 0) return QELT_ERR_WRONG_STRING_SIZE;
            return qelt_variant_new_binary(out, e->binary.data, e->binary.size, e->binary.type);
        case QEL_TYPE_TIMESTAMP: {
            const qel_timestamp& t = e->timestamp;
            const qelt_timestamp ts = {t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond};
            return qelt_variant_new_timestamp(out, &ts);
        }
        default: return QELT_ERR_NYI;  // null-flagged, opaque64, date, time, table
    }
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------------------
// Element conversion
// ---------------------------------------------------------------------------

qelt_err qelt_variant_from_element(const qel_element* element, qelt_variant** out) noexcept {
    // The type query reports a missing element as the format library does.
    uint8_t type = 0;
    if (qel_err code = qel_element_get_type(element, &type, nullptr)) return as_qelt(code);
    return element_to_variant(element, out);
}

// ---------------------------------------------------------------------------
// Tree builder
// ---------------------------------------------------------------------------

qelt_tree_builder* qelt_tree_builder_new(void) noexcept {
    return static_cast<qelt_tree_builder*>(std::calloc(1, sizeof(qelt_tree_builder)));
}

void qelt_tree_builder_free(qelt_tree_builder* builder) noexcept {
    if (builder == nullptr) return;
    std::free(builder->open);
    std::free(builder);
}

qelt_err qelt_tree_builder_add(qelt_tree_builder* builder, qelt_variant* value) noexcept {
    if (builder == nullptr || value == nullptr) return QELT_ERR_NULL_PTR;
    if (builder->depth == 0) {
        // The root: the push that follows records it.
        if (is_container(value)) return QELT_SUCCESS;
        qelt_variant_decref(value);
        return QELT_ERR_ILLEGAL_FILE_CONTENT;
    }
    qelt_variant* container = builder->open[builder->depth - 1];
    qelt_err err;
    switch (container->type) {
        case QELT_VARIANT_TYPE_LIST:
            // The list takes over the new value's one reference.
            err = qelt_list_push(container, value);
            if (err) qelt_variant_decref(value);
            return err;
        case QELT_VARIANT_TYPE_MAP:
            if (builder->pending_key == nullptr) {
                // Refused at its opening: a container parked in the one key
                // slot would otherwise be taken as the key of a map nested in
                // it, dropping it from the tree in a reference cycle.
                if (is_container(value)) {
                    qelt_variant_decref(value);
                    return QELT_ERR_ILLEGAL_FILE_CONTENT;
                }
                builder->pending_key = value;
                return QELT_SUCCESS;
            }
            err = qelt_variant_map_set(container, builder->pending_key, value);
            if (err) {
                qelt_variant_decref(value);
                qelt_variant_decref(builder->pending_key);
            } else {
                // The map holds its own references now, so ours are never
                // the last.
                --value->refcount;
                --builder->pending_key->refcount;
            }
            builder->pending_key = nullptr;
            return err;
        default:
            qelt_variant_decref(value);
            return QELT_ERR_UNKNOWN;
    }
}

qelt_err qelt_tree_builder_push(qelt_tree_builder* builder, qelt_variant* container) noexcept {
    if (builder == nullptr || container == nullptr) return QELT_ERR_NULL_PTR;
    if (builder->depth == builder->capacity) {
        // Doubling: a tree of depth n costs O(log n) growths.
        const uint64_t grown = builder->capacity == 0 ? 16 : uint64_t{builder->capacity} * 2;
        void* bigger = grown <= UINT32_MAX ? std::realloc(builder->open, grown * sizeof(qelt_variant*)) : nullptr;
        if (bigger == nullptr) return QELT_ERR_OUT_OF_MEMORY;
        builder->open = static_cast<qelt_variant**>(bigger);
        builder->capacity = static_cast<uint32_t>(grown);
    }
    if (builder->root == nullptr) builder->root = container;
    builder->open[builder->depth++] = container;
    return QELT_SUCCESS;
}

void qelt_tree_builder_pop(qelt_tree_builder* builder) noexcept {
    if (builder != nullptr && builder->depth > 0) --builder->depth;
}

// ---------------------------------------------------------------------------
// Driver
// ---------------------------------------------------------------------------

uint32_t qelt_read_callback(const qel_element* element, void* user_data) noexcept {
    auto* builder = static_cast<qelt_tree_builder*>(user_data);
    if (builder == nullptr) return QELT_ERR_NULL_PTR;
    if (element == nullptr) return static_cast<uint32_t>(qelt_variant_from_element(element, nullptr));
    qelt_variant* value = nullptr;
    qelt_err err = element_to_variant(element, &value);
    if (err) return static_cast<uint32_t>(err);
    if (value == nullptr) {  // an end marker
        if (builder->pending_key != nullptr) return QELT_ERR_ILLEGAL_FILE_CONTENT;
        qelt_tree_builder_pop(builder);
        return QELT_SUCCESS;
    }
    // Whether `value` is about to become the root, held only by this call.
    const bool unplaced_root = builder->depth == 0;
    err = qelt_tree_builder_add(builder, value);
    if (err || !is_container(value)) return static_cast<uint32_t>(err);
    if (qelt_tree_builder_push(builder, value) != QELT_SUCCESS) {
        // A nested container belongs to its parent already; a root that
        // could not be recorded is held by nothing else.
        if (unplaced_root) qelt_variant_decref(value);
        return QELT_ERR_OUT_OF_MEMORY;
    }
    return QELT_SUCCESS;
}

qelt_err qelt_read_from_reader(qel_reader* reader, qelt_variant** out) noexcept {
    if (reader == nullptr || out == nullptr) return QELT_ERR_NULL_PTR;
    qelt_tree_builder* builder = qelt_tree_builder_new();
    if (builder == nullptr) return QELT_ERR_OUT_OF_MEMORY;

    qelt_err err = as_qelt(qel_reader_set_callback(reader, qelt_read_callback, builder));
    if (!err) err = as_qelt(qel_reader_parse(reader));
    if (!err && (builder->depth != 0 || builder->pending_key != nullptr)) {
        err = QELT_ERR_ILLEGAL_FILE_CONTENT;
    }
    if (err) {
        // Every open container lies in the root's tree, so releasing the
        // root and a waiting key gives up the whole partial tree.
        if (builder->root != nullptr) qelt_variant_decref(builder->root);
        if (builder->pending_key != nullptr) qelt_variant_decref(builder->pending_key);
    } else {
        *out = builder->root;
        if (*out == nullptr) err = QELT_ERR_ILLEGAL_FILE_CONTENT;
    }
    qelt_tree_builder_free(builder);
    return err;
}

qelt_err qelt_read_from_buffer(qelt_variant** out, const uint8_t* buffer, uint32_t size) noexcept {
    if (out == nullptr || buffer == nullptr) return QELT_ERR_NULL_PTR;
    qel_reader* raw = nullptr;
    qelt_err err = as_qelt(qel_reader_new_buffer(&raw));
    if (err) return err;
    ReaderPtr reader(raw);
    // Read where the bytes lie: the caller's buffer outlives this call.
    err = as_qelt(qel_reader_set_buffer_borrowed(reader.get(), buffer, size));
    return err ? err : qelt_read_from_reader(reader.get(), out);
}

qelt_err qelt_read_from_file(qelt_variant** out, const char* filename, uint32_t n_fn) noexcept {
    if (out == nullptr || filename == nullptr) return QELT_ERR_NULL_PTR;
    qel_reader* raw = nullptr;
    qelt_err err = as_qelt(qel_reader_new_file(&raw, filename, n_fn));
    if (err) return err;
    ReaderPtr reader(raw);
    return qelt_read_from_reader(reader.get(), out);
}

}  // extern "C"
