// Python objects to variant trees and back, through the variant C API that
// _qeltypes shares: the codec links no copy of the variant library, and every
// handle it takes or gives is checked and made by _qeltypes itself.
//
// to_variant encodes the object with the encoder (so the mapping, the typed
// values and every refusal are the very ones of dumps) and builds the tree
// from those elements. from_variant walks the tree with an explicit stack and
// makes each scalar with the decoder's own conversion.

#include "variants.h"

#include <bit>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "decoder.h"
#include "encoder.h"
#include "qel/qel_wire.h"
#include "runtime.h"

namespace qelcodec {

namespace {

const QelVariantCAPI& api()
{
    return *g.variants;
}

/* A scalar's value as the stream holds it: sizeof(T) bytes, little-endian. */
template <typename T>
T load_wire(const uint8_t* p)
{
    if constexpr (sizeof(T) == 1)
        return std::bit_cast<T>(p[0]);
    else if constexpr (sizeof(T) == 2)
        return std::bit_cast<T>(qel_wire_load_u16(p));
    else if constexpr (sizeof(T) == 4)
        return std::bit_cast<T>(qel_wire_load_u32(p));
    else
        return std::bit_cast<T>(qel_wire_load_u64(p));
}

/* Stores a scalar as the stream holds it; returns its size. */
template <typename T>
size_t store_wire(uint8_t* p, T value)
{
    if constexpr (sizeof(T) == 1)
        p[0] = std::bit_cast<uint8_t>(value);
    else if constexpr (sizeof(T) == 2)
        qel_wire_store_u16(p, std::bit_cast<uint16_t>(value));
    else if constexpr (sizeof(T) == 4)
        qel_wire_store_u32(p, std::bit_cast<uint32_t>(value));
    else
        qel_wire_store_u64(p, std::bit_cast<uint64_t>(value));
    return sizeof(T);
}

/* ======================================================================== */
/* Elements to variants                                                      */
/* ======================================================================== */

class TreeBuilder {
public:
    ~TreeBuilder()
    {
        // The root owns every open container; pending keys are ours.
        for (const Open& o : stack_)
            if (o.key != nullptr)
                api().decref(o.key);
        if (root_ != nullptr)
            api().decref(root_);
    }

    /* Builds the tree of the elements in [p, end), which the encoder wrote:
     * one whole value, well formed. */
    bool build(const uint8_t* p, const uint8_t* end)
    {
        while (p < end) {
            const uint8_t type = *p;
            if (type == QEL_TYPE_END) {
                stack_.pop_back();
                ++p;
                continue;
            }
            const int fixed = qel_wire_payload_size(type);
            size_t size = 1 + static_cast<size_t>(fixed > 0 ? fixed : 0);
            qelt_variant* v = nullptr;
            qelt_err rc = QELT_SUCCESS;
            switch (type) {
            case QEL_TYPE_LIST:
                rc = api().new_list(&v);
                break;
            case QEL_TYPE_MAP:
                rc = api().new_map(&v);
                break;
#define QELTYPES_BUILD_SCALAR(name, ctype, TYPE, member)                      \
    case QEL_TYPE_##TYPE:                                                     \
        static_assert(int{QEL_TYPE_##TYPE} == int{QELT_VARIANT_TYPE_##TYPE}); \
        rc = api().new_##name(&v, load_wire<ctype>(p + 1));                   \
        break;
                QELT_SCALAR_TYPES(QELTYPES_BUILD_SCALAR)
#undef QELTYPES_BUILD_SCALAR
            case QEL_TYPE_NONE:
                rc = api().new_none(&v);
                break;
            case QEL_TYPE_TIMESTAMP: {
                const qelt_timestamp ts{static_cast<int16_t>(qel_wire_load_u16(p + 1)),
                                        p[3],
                                        p[4],
                                        p[5],
                                        p[6],
                                        p[7],
                                        qel_wire_load_u32(p + 8)};
                rc = api().new_timestamp(&v, &ts);
                break;
            }
            case QEL_TYPE_STRING: {
                const uint32_t units = qel_wire_load_u32(p + 2);
                const auto* text = reinterpret_cast<const char*>(p + 1 + QEL_STRING_HEAD_SIZE);
                rc = p[1] == QEL_SUB_STRING_C ? api().new_string_c(&v, text, units)
                                              : api().new_string_utf8(&v, text, units);
                size = 1 + QEL_STRING_HEAD_SIZE + units;
                break;
            }
            case QEL_TYPE_BIN: {
                // An empty binary is refused here: the variant library holds none.
                const uint32_t n = qel_wire_load_u32(p + 2);
                rc = api().new_binary(&v, p + 1 + QEL_BINARY_HEAD_SIZE, n, p[1]);
                size = 1 + QEL_BINARY_HEAD_SIZE + n;
                break;
            }
            default:
                rc = QELT_ERR_INVALID_TYPE;
                break;
            }
            if (rc != QELT_SUCCESS) {
                api().raise_error("to_variant", rc);
                return false;
            }
            if (!place(v, type == QEL_TYPE_LIST || type == QEL_TYPE_MAP))
                return false;
            p += size;
        }
        return true;
    }

    /* The root, whose reference passes to the caller. */
    qelt_variant* take_root()
    {
        qelt_variant* root = root_;
        root_ = nullptr;
        return root;
    }

private:
    struct Open {
        qelt_variant* container; /* borrowed: held by its parent or as the root */
        qelt_variant* key;       /* map: the pending key, owned */
        bool map;
    };

    /* Hands `v` (our one reference) to its container, or keeps it as the
     * root; an opened container then stays on the stack. */
    bool place(qelt_variant* v, bool container)
    {
        qelt_err rc = QELT_SUCCESS;
        if (stack_.empty()) {
            root_ = v;
        } else if (!stack_.back().map) {
            rc = api().list_append(stack_.back().container, v, nullptr);
            api().decref(v);
        } else if (stack_.back().key == nullptr) {
            stack_.back().key = v;
        } else {
            Open& o = stack_.back();
            rc = api().map_set(o.container, o.key, v);
            api().decref(o.key);
            o.key = nullptr;
            api().decref(v);
        }
        if (rc != QELT_SUCCESS) {
            api().raise_error("to_variant", rc);
            return false;
        }
        if (container) {
            uint8_t type = 0;
            api().get_type(v, &type, nullptr);
            try {
                stack_.push_back(Open{v, nullptr, type == QELT_VARIANT_TYPE_MAP});
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return false;
            }
        }
        return true;
    }

    std::vector<Open> stack_;
    qelt_variant* root_ = nullptr;
};

/* ======================================================================== */
/* Variants to Python objects                                                */
/* ======================================================================== */

class TreeReader {
public:
    explicit TreeReader(bool typed) : decoder_(DecodeOptions{typed}), typed_(typed) {}

    ~TreeReader()
    {
        for (Open& o : stack_) {
            Py_XDECREF(o.container);
            Py_XDECREF(o.key);
        }
        Py_XDECREF(root_);
    }

    PyObject* read(qelt_variant* root)
    {
        if (!emit(root, false))
            return nullptr;
        while (!stack_.empty())
            if (!step())
                return nullptr;
        PyObject* result = root_;
        root_ = nullptr;
        return result;
    }

private:
    struct Open {
        qelt_variant* variant;
        PyObject* container; /* owned */
        PyObject* key;       /* dict: the pending key, owned */
        int32_t next;
        int32_t size;
        Py_ssize_t count;
        bool map;
    };

    bool step()
    {
        Open& o = stack_.back();
        qelt_variant* item = nullptr;
        if (!o.map) {
            if (o.next >= o.size)
                return close();
            const qelt_err rc = api().list_get_item(o.variant, &item, o.next++);
            if (rc != QELT_SUCCESS)
                return fail(rc);
            return emit(item, false);
        }
        qelt_variant* value = nullptr;
        uint8_t found = 0;
        const qelt_err rc = api().map_next(o.variant, &item, &value, &found);
        if (rc != QELT_SUCCESS)
            return fail(rc);
        if (!found)
            return close();
        return emit(item, true) && emit(value, false);
    }

    bool emit(qelt_variant* v, bool key)
    {
        uint8_t type = 0;
        uint8_t subtype = 0;
        qelt_err rc = v == nullptr ? QELT_ERR_NULL_PTR : api().get_type(v, &type, &subtype);
        if (rc != QELT_SUCCESS)
            return fail(rc);
        if (type == QELT_VARIANT_TYPE_LIST || type == QELT_VARIANT_TYPE_MAP) {
            const bool map = type == QELT_VARIANT_TYPE_MAP;
            if (key) {
                PyErr_Format(PyExc_ValueError, "a variant map has a %s as a key, which no dict can hold",
                             map ? "map" : "list");
                return false;
            }
            int32_t size = 0;
            rc = map ? api().map_first(v) : api().list_get_size(v, &size);
            if (rc != QELT_SUCCESS)
                return fail(rc);
            Ref container(map ? PyDict_New() : PyList_New(0));
            if (!container)
                return false;
            try {
                stack_.push_back(Open{v, container.release(), nullptr, 0, size, 0, map});
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return false;
            }
            if (stack_.size() >= next_cycle_check_) {
                next_cycle_check_ *= 2;
                return check_cycles();
            }
            return true;
        }
        element_.clear();
        if (!element_of(v, type, subtype))
            return false;
        PyObject* value = decoder_.value(reinterpret_cast<const uint8_t*>(element_.data()), element_.size(), key);
        return value != nullptr && place(value);
    }

    /* The element bytes of a scalar variant, into element_. */
    bool element_of(qelt_variant* v, uint8_t type, uint8_t subtype)
    {
        uint8_t bytes[1 + QEL_TIMESTAMP_SIZE] = {type};
        size_t size = 1;
        qelt_err rc = QELT_SUCCESS;
        switch (type) {
#define QELTYPES_SCALAR_BYTES(name, ctype, TYPE, member) \
    case QELT_VARIANT_TYPE_##TYPE: {                     \
        ctype x{};                                       \
        rc = api().as_##name(v, &x);                     \
        size = 1 + store_wire(bytes + 1, x);             \
        break;                                           \
    }
            QELT_SCALAR_TYPES(QELTYPES_SCALAR_BYTES)
#undef QELTYPES_SCALAR_BYTES
        case QELT_VARIANT_TYPE_NONE:
            break;
        case QELT_VARIANT_TYPE_TIMESTAMP: {
            const qelt_timestamp* ts = nullptr;
            rc = api().as_timestamp(v, &ts);
            if (rc == QELT_SUCCESS) {
                qel_wire_store_u16(bytes + 1, static_cast<uint16_t>(ts->year));
                const uint8_t fields[] = {ts->month, ts->day, ts->hour, ts->minute, ts->second};
                std::memcpy(bytes + 3, fields, sizeof fields);
                qel_wire_store_u32(bytes + 8, ts->microsecond);
            }
            size = 1 + QEL_TIMESTAMP_SIZE;
            break;
        }
        case QELT_VARIANT_TYPE_STRING: {
            const char* text = nullptr;
            uint32_t units = 0;
            rc = subtype == QELT_STRING_TYPE_C ? api().as_string_c(v, &text, &units)
                                               : api().as_string_utf8(v, &text, &units);
            if (rc != QELT_SUCCESS)
                return fail(rc);
            return head(QEL_TYPE_STRING, subtype, units) && append(text, units);
        }
        case QELT_VARIANT_TYPE_BINARY: {
            const void* data = nullptr;
            uint32_t length = 0;
            uint8_t bin_type = 0;
            rc = api().as_binary(v, &data, &length, &bin_type);
            if (rc != QELT_SUCCESS)
                return fail(rc);
            return head(QEL_TYPE_BIN, bin_type, length) && append(data, length);
        }
        default:
            rc = QELT_ERR_INVALID_TYPE;
            break;
        }
        if (rc != QELT_SUCCESS)
            return fail(rc);
        return append(bytes, size);
    }

    bool head(uint8_t type, uint8_t subtype, uint32_t length)
    {
        uint8_t bytes[1 + 5] = {type, subtype};
        qel_wire_store_u32(bytes + 2, length);
        return append(bytes, sizeof bytes);
    }

    bool append(const void* data, size_t size)
    {
        try {
            element_.append(static_cast<const char*>(data), size);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    bool place(PyObject* value)
    {
        if (stack_.empty()) {
            root_ = value;
            return true;
        }
        Open& o = stack_.back();
        if (!o.map) {
            const int rc = PyList_Append(o.container, value);
            Py_DECREF(value);
            return rc == 0;
        }
        if (o.key == nullptr) {
            o.key = value;
            return true;
        }
        Ref key(o.key);
        o.key = nullptr;
        const int rc = PyDict_SetItem(o.container, key.get(), value);
        Py_DECREF(value);
        if (rc < 0)
            return false;
        const Py_ssize_t count = PyDict_Size(o.container);
        // Keys of a variant map are distinct QEL values; equal Python keys
        // would lose an entry.
        if (count == o.count) {
            PyErr_Format(g.decode_error,
                         "two keys of a variant map differ in QEL but are equal as Python values%s",
                         decoder_typed() ? "" : "; from_variant(..., typed=True) keeps them apart");
            return false;
        }
        o.count = count;
        return true;
    }

    bool decoder_typed() const
    {
        return typed_;
    }

    bool close()
    {
        Open done = stack_.back();
        stack_.pop_back();
        return place(done.container);
    }

    bool check_cycles()
    {
        try {
            std::unordered_set<qelt_variant*> open;
            for (const Open& o : stack_)
                if (!open.insert(o.variant).second) {
                    PyErr_SetString(PyExc_ValueError, "the variant tree holds itself (a cycle)");
                    return false;
                }
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    bool fail(qelt_err rc)
    {
        api().raise_error("from_variant", rc);
        return false;
    }

    Decoder decoder_;
    bool typed_ = false;
    std::vector<Open> stack_;
    std::string element_;
    PyObject* root_ = nullptr;
    size_t next_cycle_check_ = 32;
};

} // namespace

PyObject* to_variant(PyObject* obj, const EncodeOptions& options)
{
    Encoder encoder(options);
    if (!encoder.write_value(obj))
        return nullptr;
    Ref bytes(encoder.take_bytes());
    if (!bytes)
        return nullptr;
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0)
        return nullptr;
    TreeBuilder builder;
    const auto* p = reinterpret_cast<const uint8_t*>(data);
    if (!builder.build(p, p + size))
        return nullptr;
    return api().handle_to_py(builder.take_root());
}

PyObject* from_variant(PyObject* handle, bool typed)
{
    qelt_variant* root = nullptr;
    if (api().handle_from_py(handle, &root, "from_variant") < 0)
        return nullptr;
    TreeReader reader(typed);
    return reader.read(root);
}

} // namespace qelcodec
