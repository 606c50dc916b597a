// Rebuilding a variant tree from a QEL stream.
//
// The reader decodes elements and hands each to the tree builder, which
// turns it into a variant and places it. The reader only rejects what it
// cannot decode; the rules that make an element sequence a tree are enforced
// here. No partial tree survives a failure.

#include <bit>
#include <memory>
#include <new>
#include <vector>

#include "qelt_bridge_internal.h"
#include "qelt_internal.h"

namespace {

struct ReaderFree {
    void operator()(qel_reader* r) const noexcept { qel_reader_free(r); }
};
using ReaderPtr = std::unique_ptr<qel_reader, ReaderFree>;

// The decoded value of a scalar element as the C type of its variant: the
// element's field of the same width, bit for bit.
template <typename T>
T element_value(const qel_element& e) {
    if constexpr (sizeof(T) == 1) return std::bit_cast<T>(e.u8);
    else if constexpr (sizeof(T) == 2) return std::bit_cast<T>(e.u16);
    else if constexpr (sizeof(T) == 4) return std::bit_cast<T>(e.u32);
    else return std::bit_cast<T>(e.u64);
}

// The state of one read: the containers that are open, outermost first; the
// root; a map key that waits for its value. The builder holds the root from
// the moment it is made, and through the root every open container, so that
// releasing the root and a waiting key gives up the whole partial tree.
class qelt_tree_builder {
public:
    qelt_tree_builder() = default;
    qelt_tree_builder(const qelt_tree_builder&) = delete;
    qelt_tree_builder& operator=(const qelt_tree_builder&) = delete;
    ~qelt_tree_builder() {
        if (root_ != nullptr) qelt_variant_decref(root_);
        if (pending_key_ != nullptr) qelt_variant_decref(pending_key_);
    }

    // The one dispatch of an element: its exact type byte (so a null-flagged
    // element falls to the default) makes a value and places it, opens a
    // container, or closes one.
    qelt_err on_element(const qel_element& e) noexcept {
        const uint8_t type = e.type_with_null_flag;
        qelt_variant* value = nullptr;
        qelt_err err = QELT_SUCCESS;
        switch (type) {
#define QELT_READ_SCALAR(name, ctype, TYPE, member)                           \
    case QEL_TYPE_##TYPE:                                                     \
        static_assert(int{QEL_TYPE_##TYPE} == int{QELT_VARIANT_TYPE_##TYPE}); \
        err = qelt_variant_alloc(&value, type);                               \
        if (!err) value->value.member = element_value<ctype>(e);              \
        break;
            QELT_SCALAR_TYPES(QELT_READ_SCALAR)
#undef QELT_READ_SCALAR
        case QEL_TYPE_NONE:
            err = qelt_variant_alloc(&value, type);
            break;
        case QEL_TYPE_STRING: {
            const qel_string_value& s = e.string;
            if (s.type != QEL_SUB_STRING_C && s.type != QEL_SUB_STRING_U8) return QELT_ERR_NYI;
            // Valid in the stream, but a string variant always holds its terminator.
            if (s.units == 0) return QELT_ERR_WRONG_STRING_SIZE;
            err = s.type == QEL_SUB_STRING_C ? qelt_variant_new_string_c(&value, s.c_string, s.units)
                                             : qelt_variant_new_string_utf8(&value, s.u8_string, s.units);
            break;
        }
        case QEL_TYPE_BIN:
            // Valid in the stream, but there is no empty binary variant.
            if (e.binary.size == 0) return QELT_ERR_WRONG_STRING_SIZE;
            err = qelt_variant_new_binary(&value, e.binary.data, e.binary.size, e.binary.type);
            break;
        case QEL_TYPE_TIMESTAMP: {
            const qel_timestamp& t = e.timestamp;
            const qelt_timestamp ts = {t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond};
            err = qelt_variant_new_timestamp(&value, &ts);
            break;
        }
        case QEL_TYPE_LIST:
        case QEL_TYPE_MAP:
            if (qelt_err made = qelt_variant_alloc(&value, type)) return made;
            return push(value);
        case QEL_TYPE_END:
            return pop();
        default:
            return QELT_ERR_NYI;  // null-flagged, opaque64, date, time, table
        }
        if (err) return err;
        if (open_.empty()) {
            // Before the root: a stream's root is a list or a map.
            qelt_variant_decref(value);
            return QELT_ERR_ILLEGAL_FILE_CONTENT;
        }
        return add(value);
    }

    // The root and its reference, once the reader has reached the end of
    // the document (every container closed, no key waiting).
    qelt_variant* take_root() noexcept {
        qelt_variant* root = root_;
        root_ = nullptr;
        return root;
    }

private:
    // Places a new value in the innermost open container: appended to a
    // list, parked as a map's key, or stored with the waiting key. Takes over
    // the value's one reference, also on failure.
    qelt_err add(qelt_variant* value) noexcept {
        qelt_variant* container = open_.back();
        if (container->type == QELT_VARIANT_TYPE_LIST) {
            // The list takes over the new value's one reference.
            const qelt_err err = qelt_list_push(container, value);
            if (err) qelt_variant_decref(value);
            return err;
        }
        if (pending_key_ == nullptr) {
            pending_key_ = value;
            return QELT_SUCCESS;
        }
        const qelt_err err = qelt_variant_map_set(container, pending_key_, value);
        if (err) {
            qelt_variant_decref(value);
            qelt_variant_decref(pending_key_);
        } else {
            // The map holds its own references now, so ours are never the
            // last.
            --value->refcount;
            --pending_key_->refcount;
        }
        pending_key_ = nullptr;
        return err;
    }

    // Places a new container and opens it; the first one is the root.
    qelt_err push(qelt_variant* container) noexcept {
        if (open_.empty()) {
            root_ = container;
        } else if (open_.back()->type == QELT_VARIANT_TYPE_MAP && pending_key_ == nullptr) {
            // Refused at its opening: a container parked in the one key slot
            // would otherwise be taken as the key of a map nested in it,
            // dropping it from the tree in a reference cycle.
            qelt_variant_decref(container);
            return QELT_ERR_ILLEGAL_FILE_CONTENT;
        } else if (qelt_err err = add(container)) {
            return err;
        }
        try {
            open_.push_back(container);
        } catch (const std::bad_alloc&) {
            return QELT_ERR_OUT_OF_MEMORY;
        }
        return QELT_SUCCESS;
    }

    // The reader hands over no end marker at document level, so a container
    // is open.
    qelt_err pop() noexcept {
        if (pending_key_ != nullptr) return QELT_ERR_ILLEGAL_FILE_CONTENT;
        open_.pop_back();
        return QELT_SUCCESS;
    }

    std::vector<qelt_variant*> open_;
    qelt_variant* root_ = nullptr;
    qelt_variant* pending_key_ = nullptr;
};

uint32_t qelt_read_callback(const qel_element* element, void* builder) noexcept {
    return static_cast<uint32_t>(static_cast<qelt_tree_builder*>(builder)->on_element(*element));
}

// Parses the reader's document into a tree; *out is written only when the
// document was read to its end.
qelt_err qelt_read_from_reader(qel_reader* reader, qelt_variant** out) noexcept {
    qelt_tree_builder builder;
    qelt_err err = as_qelt(qel_reader_set_callback(reader, qelt_read_callback, &builder));
    if (!err) err = as_qelt(qel_reader_parse(reader));
    if (!err) *out = builder.take_root();
    return err;
}

}  // namespace

extern "C" {

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
