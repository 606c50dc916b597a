// Rebuilding a variant tree from a QEL stream.
//
// The reader decodes elements and hands each to qelt_read_callback, which
// turns it into a variant and places it with the tree builder. The reader
// only rejects what it cannot decode; the rules that make an element
// sequence a tree are enforced here. No partial tree survives a failure.

#include <cstdlib>
#include <memory>

#include "qelt_bridge_internal.h"

namespace {

struct ReaderFree {
    void operator()(qel_reader* r) const noexcept { qel_reader_free(r); }
};
using ReaderPtr = std::unique_ptr<qel_reader, ReaderFree>;

qelt_err as_qelt(qel_err code) { return static_cast<qelt_err>(code); }

bool is_container(const qelt_variant* v) {
    return v->type == QELT_VARIANT_TYPE_LIST || v->type == QELT_VARIANT_TYPE_MAP;
}

// Reads one fixed-width value with its accessor and makes its variant.
template <typename T>
qelt_err scalar(const qel_element* e, qelt_variant** out,
                qel_err (*get)(const qel_element*, T*), qelt_err (*make)(qelt_variant**, T)) {
    T value{};
    qel_err err = get(e, &value);
    return err ? as_qelt(err) : make(out, value);
}

qelt_err string_from(const qel_element* e, qelt_variant** out) {
    uint8_t subtype = 0;
    qel_err err = qel_element_get_string_type(e, &subtype);
    if (err) return as_qelt(err);
    const char* text = nullptr;
    uint32_t units = 0;
    switch (subtype) {
        case QEL_SUB_STRING_C: err = qel_element_get_string_c(e, &text, &units); break;
        case QEL_SUB_STRING_U8: err = qel_element_get_string_u8(e, &text, &units); break;
        default: return QELT_ERR_NYI;
    }
    if (err) return as_qelt(err);
    // Valid in the stream, but a string variant always holds its terminator.
    if (units == 0) return QELT_ERR_WRONG_STRING_SIZE;
    return subtype == QEL_SUB_STRING_C ? qelt_variant_new_string_c(out, text, units)
                                       : qelt_variant_new_string_utf8(out, text, units);
}

qelt_err binary_from(const qel_element* e, qelt_variant** out) {
    uint8_t bin_type = 0;
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    qel_err err = qel_element_get_binary(e, &bin_type, &data, &size);
    if (err) return as_qelt(err);
    // Valid in the stream, but there is no empty binary variant.
    if (size == 0) return QELT_ERR_WRONG_STRING_SIZE;
    return qelt_variant_new_binary(out, data, size, bin_type);
}

qelt_err timestamp_from(const qel_element* e, qelt_variant** out) {
    qel_timestamp t{};
    qel_err err = qel_element_get_timestamp(e, &t);
    if (err) return as_qelt(err);
    const qelt_timestamp ts = {t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond};
    return qelt_variant_new_timestamp(out, &ts);
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------------------
// Element conversion
// ---------------------------------------------------------------------------

qelt_err qelt_variant_from_element(const qel_element* element, qelt_variant** out) noexcept {
    uint8_t type = 0;
    uint8_t null_flag = 0;
    qel_err code = qel_element_get_type(element, &type, &null_flag);
    if (code) return as_qelt(code);
    if (null_flag) return QELT_ERR_NYI;
    const qel_element* e = element;
    switch (type) {
        case QEL_TYPE_END: return QELT_SUCCESS;
        case QEL_TYPE_FLOAT64: return scalar(e, out, qel_element_get_float64, qelt_variant_new_float64);
        case QEL_TYPE_FLOAT32: return scalar(e, out, qel_element_get_float32, qelt_variant_new_float32);
        case QEL_TYPE_FLOAT16: return scalar(e, out, qel_element_get_float16, qelt_variant_new_float16);
        case QEL_TYPE_STRING: return string_from(e, out);
        case QEL_TYPE_INT64: return scalar(e, out, qel_element_get_int64, qelt_variant_new_int64);
        case QEL_TYPE_INT32: return scalar(e, out, qel_element_get_int32, qelt_variant_new_int32);
        case QEL_TYPE_INT16: return scalar(e, out, qel_element_get_int16, qelt_variant_new_int16);
        case QEL_TYPE_INT8: return scalar(e, out, qel_element_get_int8, qelt_variant_new_int8);
        case QEL_TYPE_UINT64: return scalar(e, out, qel_element_get_uint64, qelt_variant_new_uint64);
        case QEL_TYPE_UINT32: return scalar(e, out, qel_element_get_uint32, qelt_variant_new_uint32);
        case QEL_TYPE_UINT16: return scalar(e, out, qel_element_get_uint16, qelt_variant_new_uint16);
        case QEL_TYPE_UINT8: return scalar(e, out, qel_element_get_uint8, qelt_variant_new_uint8);
        case QEL_TYPE_BOOL: return scalar(e, out, qel_element_get_bool, qelt_variant_new_bool);
        case QEL_TYPE_BIN: return binary_from(e, out);
        case QEL_TYPE_NONE: return qelt_variant_new_none(out);
        case QEL_TYPE_TIMESTAMP: return timestamp_from(e, out);
        case QEL_TYPE_LIST: return qelt_variant_new_list(out);
        case QEL_TYPE_MAP: return qelt_variant_new_map(out);
        default: return QELT_ERR_NYI;  // opaque64, date, time, table
    }
}

// ---------------------------------------------------------------------------
// Tree builder
// ---------------------------------------------------------------------------

qelt_tree_builder* qelt_tree_builder_new(void) noexcept {
    return static_cast<qelt_tree_builder*>(std::calloc(1, sizeof(qelt_tree_builder)));
}

void qelt_tree_builder_free(qelt_tree_builder* builder) noexcept {
    if (builder == nullptr) return;
    while (builder->top != nullptr) qelt_tree_builder_pop(builder);
    std::free(builder);
}

qelt_err qelt_tree_builder_add(qelt_tree_builder* builder, qelt_variant* value) noexcept {
    if (builder == nullptr || value == nullptr) return QELT_ERR_NULL_PTR;
    qelt_variant* container = builder->top ? builder->top->container : nullptr;
    if (container == nullptr) {
        // The root: the push that follows records it.
        if (is_container(value)) return QELT_SUCCESS;
        qelt_variant_decref(value);
        return QELT_ERR_ILLEGAL_FILE_CONTENT;
    }
    qelt_err err;
    switch (container->type) {
        case QELT_VARIANT_TYPE_LIST:
            err = qelt_variant_list_append(container, value, nullptr);
            qelt_variant_decref(value);
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
            qelt_variant_decref(value);
            qelt_variant_decref(builder->pending_key);
            builder->pending_key = nullptr;
            return err;
        default:
            qelt_variant_decref(value);
            return QELT_ERR_UNKNOWN;
    }
}

qelt_err qelt_tree_builder_push(qelt_tree_builder* builder, qelt_variant* container) noexcept {
    if (builder == nullptr || container == nullptr) return QELT_ERR_NULL_PTR;
    auto* entry =
        static_cast<qelt_tree_builder_entry*>(std::calloc(1, sizeof(qelt_tree_builder_entry)));
    if (entry == nullptr) return QELT_ERR_OUT_OF_MEMORY;
    qelt_err err = qelt_variant_incref(container);
    if (err) {
        std::free(entry);
        return err;
    }
    if (builder->root == nullptr) builder->root = container;
    entry->container = container;
    entry->prev = builder->top;
    if (builder->top != nullptr) {
        builder->top->next = entry;
    } else {
        builder->bottom = entry;
    }
    builder->top = entry;
    return QELT_SUCCESS;
}

void qelt_tree_builder_pop(qelt_tree_builder* builder) noexcept {
    if (builder == nullptr || builder->top == nullptr) return;
    qelt_tree_builder_entry* entry = builder->top;
    builder->top = entry->prev;
    if (builder->top != nullptr) {
        builder->top->next = nullptr;
    } else {
        builder->bottom = nullptr;
    }
    qelt_variant_decref(entry->container);
    std::free(entry);
}

// ---------------------------------------------------------------------------
// Driver
// ---------------------------------------------------------------------------

uint32_t qelt_read_callback(const qel_element* element, void* user_data) noexcept {
    auto* builder = static_cast<qelt_tree_builder*>(user_data);
    if (builder == nullptr) return QELT_ERR_NULL_PTR;
    qelt_variant* value = nullptr;
    qelt_err err = qelt_variant_from_element(element, &value);
    if (err) return static_cast<uint32_t>(err);
    // Whether `value` is about to become the root, held only by this call.
    const bool unplaced_root = builder->top == nullptr;
    if (value != nullptr) {
        err = qelt_tree_builder_add(builder, value);
        if (err) return static_cast<uint32_t>(err);
    }
    uint8_t type = 0;
    qel_err code = qel_element_get_type(element, &type, nullptr);
    if (code) {
        if (value != nullptr && unplaced_root) qelt_variant_decref(value);
        return code;
    }
    if (type == QEL_TYPE_END) {
        if (builder->pending_key != nullptr) return QELT_ERR_ILLEGAL_FILE_CONTENT;
        qelt_tree_builder_pop(builder);
        return QELT_SUCCESS;
    }
    if (type == QEL_TYPE_LIST || type == QEL_TYPE_MAP) {
        err = qelt_tree_builder_push(builder, value);
        if (err) {
            // A nested container belongs to its parent already; a root that
            // could not be recorded is held by nothing else.
            if (unplaced_root) qelt_variant_decref(value);
            return QELT_ERR_OUT_OF_MEMORY;
        }
    }
    return QELT_SUCCESS;
}

qelt_err qelt_read_from_reader(qel_reader* reader, qelt_variant** out) noexcept {
    if (reader == nullptr || out == nullptr) return QELT_ERR_NULL_PTR;
    qelt_tree_builder* builder = qelt_tree_builder_new();
    if (builder == nullptr) return QELT_ERR_OUT_OF_MEMORY;

    qelt_err err = as_qelt(qel_reader_set_callback(reader, qelt_read_callback, builder));
    if (!err) err = as_qelt(qel_reader_parse(reader));
    if (!err && (builder->bottom != nullptr || builder->pending_key != nullptr)) {
        err = QELT_ERR_ILLEGAL_FILE_CONTENT;
    }
    if (err) {
        // The builder's entries still hold the open containers; freeing it
        // below gives up those references and with them the partial tree.
        if (builder->root != nullptr) qelt_variant_decref(builder->root);
        if (builder->pending_key != nullptr) qelt_variant_decref(builder->pending_key);
    } else {
        *out = builder->root;
        if (*out == nullptr) err = QELT_ERR_ILLEGAL_FILE_CONTENT;
    }
    builder->root = nullptr;
    builder->pending_key = nullptr;
    qelt_tree_builder_free(builder);
    return err;
}

qelt_err qelt_read_from_buffer(qelt_variant** out, const uint8_t* buffer, uint32_t size) noexcept {
    if (out == nullptr || buffer == nullptr) return QELT_ERR_NULL_PTR;
    qel_reader* raw = nullptr;
    qelt_err err = as_qelt(qel_reader_new_buffer(&raw));
    if (err) return err;
    ReaderPtr reader(raw);
    err = as_qelt(qel_reader_set_buffer(reader.get(), buffer, size));
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
