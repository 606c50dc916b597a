// The encoder: Python objects to QEL bytes in one pass with an explicit stack.

#include "encoder.h"

#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>

#include "floats.h"
#include "qel/qel_wire.h"
#include "wire.h"

namespace qelcodec {

namespace {

/* How far ahead of the item written the items of a list are prefetched. */
constexpr Py_ssize_t kPrefetchAhead = 8;

/* How many times `default` may hand back something that needs it again. */
constexpr int kDefaultChain = 16;

const char* type_name(PyObject* o)
{
    // tp_name is not in the limited API; the class's __name__ is.
    static thread_local char name[96];
    Ref n(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__qualname__"));
    const char* text = n ? PyUnicode_AsUTF8AndSize(n.get(), nullptr) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        text = "?";
    }
    std::snprintf(name, sizeof name, "%s", text);
    return name;
}

void release(PyObject*& o)
{
    PyObject* old = o;
    o = nullptr;
    Py_XDECREF(old);
}

} // namespace

Encoder::~Encoder()
{
    abandon();
}

void Encoder::abandon()
{
    for (size_t i = 0; i < stack_.size(); ++i) {
        Frame& f = stack_[i];
        release(f.container);
        release(f.source);
        if (i < pinned_)
            release(f.key);
    }
    stack_.clear();
    pinned_ = 0;
}

/* A frame's current key is borrowed from its dict while nothing but the
 * codec runs. Before code outside it runs (default, tzinfo methods, buffer
 * exporters), which could drop that entry, every frame takes a reference on
 * its key, so that an error path can still name it. */
void Encoder::pin_keys()
{
    for (size_t i = pinned_; i < stack_.size(); ++i)
        Py_XINCREF(stack_[i].key);
    pinned_ = stack_.size();
}

/* The innermost frame's next key. */
inline void Encoder::set_key(Frame& f, PyObject* key)
{
    const size_t index = stack_.size() - 1;
    if (index < pinned_) {
        Py_XDECREF(f.key);
        pinned_ = index;
    }
    f.key = key;
}

/* ======================================================================== */
/* The walk                                                                  */
/* ======================================================================== */

bool Encoder::write_header()
{
    static constexpr uint8_t header[QEL_HEADER_SIZE] = QEL_HEADER_BYTES;
    return output_.append(header, sizeof header);
}

bool Encoder::write_document(PyObject* root)
{
    if (!write_header())
        return false;
    const size_t base = stack_.size();
    if (!emit(root, false))
        return false;
    if (stack_.size() == base)
        return fail(ErrorKind::Type, false, "the root must be a list or a map, not %s", type_name(root));
    return walk(base);
}

bool Encoder::write_byte(uint8_t type)
{
    return put_byte(type);
}

bool Encoder::write_value(PyObject* value)
{
    const size_t base = stack_.size();
    return emit(value, false) && walk(base);
}

/* Writes the open containers above `base` to their ends. Each round works on
 * the innermost one until it ends or opens another. */
bool Encoder::walk(size_t base)
{
    while (stack_.size() > base) {
        Frame& f = stack_.back();
        if (!(f.kind == Kind::Dict ? dict_entries(f) : list_items(f)))
            return false;
    }
    return true;
}

/* The values that need no frame and run no code outside the codec, written
 * at once: 1 when written, 0 when the value takes the general path, -1 on
 * failure. */
[[gnu::always_inline]] inline int Encoder::put_plain(PyObject* v)
{
    PyTypeObject* t = Py_TYPE(v);
    bool ok;
    if (t == &PyUnicode_Type)
        ok = put_utf8(v, false);
    else if (t == &PyLong_Type)
        ok = put_int(v);
    else if (t == &PyFloat_Type)
        ok = put_fixed(QEL_TYPE_FLOAT64, std::bit_cast<uint64_t>(float_value(v)), 8);
    else if (v == Py_None)
        ok = put_byte(QEL_TYPE_NONE);
    else if (t == &PyBool_Type)
        ok = put_fixed(QEL_TYPE_BOOL, v == Py_True ? 1 : 0, 1);
    else
        return 0;
    return ok ? 1 : -1;
}

/* Entries of a dict small enough to stay in cache, where fetching ahead
 * (again after each nested container) would cost more than it saves. */
[[gnu::always_inline]] inline bool Encoder::small_dict_entries(Frame& f)
{
    for (;;) {
        PyObject* key;
        PyObject* value;
        if (!PyDict_Next(f.container, &f.next, &key, &value))
            return close();
        set_key(f, key);
        if (Py_TYPE(key) != &PyUnicode_Type) {
            Ref held(new_ref(value));
            return emit_key(key) && emit(value, false);
        }
        if (!put_utf8(key, true))
            return false;
        const int written = put_plain(value);
        if (written < 0)
            return false;
        if (written == 0)
            return emit(value, false);
    }
}

/* Entries of a dict until it ends or a value opens a container. `f` is the
 * innermost frame; it is not used after emit, which may move the stack.
 *
 * In a large dict, entries are fetched a few ahead of the one written and
 * their objects prefetched, since its keys and values are mostly cache
 * misses. Before any path that may run code outside the codec, the dict's
 * position goes back to just after the entry being written. */
bool Encoder::dict_entries(Frame& f)
{
    if (f.epoch != epoch_) {
        if (PyDict_Size(f.container) != f.size) {
            PyErr_SetString(PyExc_RuntimeError, "a dict changed size while it was being written");
            return false;
        }
        f.epoch = epoch_;
    }
    if (f.size < 64)
        return small_dict_entries(f);
    constexpr unsigned kAhead = 4;
    struct Entry {
        PyObject* key;
        PyObject* value;
        Py_ssize_t after; /* the dict's position after this entry */
    } ahead[kAhead];
    unsigned first = 0;
    unsigned count = 0;
    Py_ssize_t position = f.next;
    auto fetch = [&] {
        Entry& e = ahead[(first + count) % kAhead];
        if (!PyDict_Next(f.container, &position, &e.key, &e.value))
            return false;
        e.after = position;
        __builtin_prefetch(e.key);
        __builtin_prefetch(e.value);
        ++count;
        return true;
    };
    while (count < kAhead && fetch()) {
    }
    while (count > 0) {
        const Entry e = ahead[first];
        first = (first + 1) % kAhead;
        --count;
        set_key(f, e.key);
        if (Py_TYPE(e.key) != &PyUnicode_Type) {
            f.next = e.after;
            // Held: writing such a key may run code that replaces the value.
            Ref held(new_ref(e.value));
            return emit_key(e.key) && emit(e.value, false);
        }
        if (!put_utf8(e.key, true))
            return false;
        const int written = put_plain(e.value);
        if (written < 0)
            return false;
        if (written == 0) {
            f.next = e.after;
            return emit(e.value, false);
        }
        fetch();
    }
    f.next = position;
    return close();
}

/* Items of a list or tuple until it ends or an item opens a container. */
bool Encoder::list_items(Frame& f)
{
    const bool list = f.kind == Kind::List;
    for (;;) {
        PyObject* item;
        if (g.sequence_layout) {
            // The list's size is read afresh: outside code may have changed it.
            const Py_ssize_t size = list ? list_size(f.container) : f.size;
            if (f.next >= size)
                return close();
            PyObject* const* items = list ? &list_item(f.container, 0) : &tuple_item(f.container, 0);
            // The items of a long list are mostly cache misses: ask early.
            if (f.next + kPrefetchAhead < size)
                __builtin_prefetch(items[f.next + kPrefetchAhead]);
            item = items[f.next];
            ++f.next;
        } else {
            if (list && f.epoch != epoch_) {
                f.size = PyList_Size(f.container);
                f.epoch = epoch_;
            }
            if (f.next >= f.size)
                return close();
            item = list ? PyList_GetItem(f.container, f.next++) : PyTuple_GetItem(f.container, f.next++);
        }
        const int written = put_plain(item);
        if (written < 0)
            return false;
        if (written == 0)
            return emit(item, false);
    }
}

bool Encoder::push(PyObject* o, Kind kind, bool key, PyObject* source)
{
    if (key)
        return fail(ErrorKind::Type, true, "a map key cannot be a %s (%s): keys are scalars",
                    kind == Kind::Dict ? "map" : "list", type_name(o));
    if (!put_byte(kind == Kind::Dict ? QEL_TYPE_MAP : QEL_TYPE_LIST))
        return false;
    Py_ssize_t size = kind == Kind::List ? PyList_Size(o) : kind == Kind::Tuple ? PyTuple_Size(o) : PyDict_Size(o);
    try {
        stack_.push_back(Frame{o, source, nullptr, 0, size, epoch_, output_.buffer_size(), kind, false});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    Py_INCREF(o);
    Py_XINCREF(source);
    if (stack_.size() >= next_cycle_check_) {
        next_cycle_check_ *= 2;
        return check_cycles();
    }
    return true;
}

bool Encoder::close()
{
    Frame& f = stack_.back();
    if (f.kind == Kind::Dict && f.check_keys && !keys_distinct(f))
        return false;
    if (!put_byte(QEL_TYPE_END))
        return false;
    Frame done = stack_.back();
    stack_.pop_back();
    release(done.container);
    release(done.source);
    if (stack_.size() < pinned_) {
        release(done.key);
        pinned_ = stack_.size();
    }
    return true;
}

/* Distinct Python keys can still be one QEL value: a typed Int8(5) beside 5,
 * two NaN objects, two objects that `default` turns into the same value.
 * Such a map would lose an entry on reading, so it is refused. The keys are
 * read back from the map's bytes: every key stands in the buffer, while a
 * large value's payload may be referred to instead. */
bool Encoder::keys_distinct(const Frame& f)
{
    const uint8_t* buffer = output_.buffer();
    const size_t end = output_.buffer_size();
    size_t cursor = output_.first_referred_from(f.content_at);
    // The size in the buffer of the element at `q`.
    auto inline_size = [&](size_t q) -> size_t {
        const int fixed = qel_wire_payload_size(buffer[q]);
        if (fixed >= 0)
            return 1 + static_cast<size_t>(fixed);
        const size_t head_end = q + 1 + QEL_STRING_HEAD_SIZE;
        const size_t length = qel_wire_load_u32(buffer + q + 2);
        if (output_.referred_at(head_end, &cursor))
            return head_end - q + (buffer[q] == QEL_TYPE_STRING ? 1 : 0);
        return head_end - q + length;
    };
    try {
        std::unordered_set<std::string_view> seen;
        size_t q = f.content_at;
        while (q < end) {
            const size_t key_size = inline_size(q);
            if (!seen.insert(std::string_view(reinterpret_cast<const char*>(buffer) + q, key_size)).second)
                return fail(ErrorKind::Value, true,
                            "two keys of a map are the same QEL value, and one entry would be lost");
            q = skip_value(
                q + key_size, [&](uint64_t at) { return buffer[at]; }, inline_size);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

/* A container open twice on the path from the root is a cycle. Checked at
 * depths 32, 64, 128 and so on, so that the cost stays linear in the depth
 * while a cycle of length L is found by depth 2L + 32 at the latest. */
bool Encoder::check_cycles()
{
    try {
        std::unordered_set<PyObject*> open;
        open.reserve(2 * stack_.size());
        for (size_t i = 0; i < stack_.size(); ++i) {
            const Frame& f = stack_[i];
            if (!open.insert(f.container).second || (f.source != nullptr && !open.insert(f.source).second)) {
                Ref message(PyUnicode_FromString("a container holds itself (a cycle)"));
                return message && fail_at(ErrorKind::Value, i, false, message.get());
            }
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

/* ======================================================================== */
/* Dispatch                                                                  */
/* ======================================================================== */

/* The exact built-in types first, by their type pointers; everything else
 * (subclasses, typed values, buffers, default) in emit_other. */
bool Encoder::emit(PyObject* o, bool key, int default_calls, PyObject* source)
{
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type)
        return put_utf8(o, key);
    if (t == &PyLong_Type)
        return put_int(o);
    if (t == &PyFloat_Type) {
        const double d = PyFloat_AsDouble(o);
        if (key && std::isnan(d) && !stack_.empty())
            stack_.back().check_keys = true;
        return put_fixed(QEL_TYPE_FLOAT64, std::bit_cast<uint64_t>(d), 8);
    }
    if (t == &PyDict_Type)
        return push(o, Kind::Dict, key, source);
    if (t == &PyList_Type)
        return push(o, Kind::List, key, source);
    if (o == Py_None)
        return put_byte(QEL_TYPE_NONE);
    if (t == &PyBool_Type)
        return put_fixed(QEL_TYPE_BOOL, o == Py_True ? 1 : 0, 1);
    if (t == &PyTuple_Type)
        return push(o, Kind::Tuple, key, source);
    if (reinterpret_cast<PyObject*>(t) == g.datetime_type)
        return put_datetime(o, key);
    if (t == &PyBytes_Type) {
        char* data;
        Py_ssize_t size;
        return PyBytes_AsStringAndSize(o, &data, &size) == 0 && put_binary(0, o, data, size, key, true);
    }
    return emit_other(o, key, default_calls, source);
}

bool Encoder::emit_other(PyObject* o, bool key, int default_calls, PyObject* source)
{
    // A key that is not of an exact built-in type may share its QEL value
    // with another key of the same map. (A streamed root map has no frame:
    // its keys are not compared.)
    if (key && !stack_.empty())
        stack_.back().check_keys = true;
    pin_keys();
    PyTypeObject* t = Py_TYPE(o);
    const int typed = typed_index(t);
    if (typed >= 0)
        return put_typed(typed, o, key);
    if (PyLong_Check(o))
        return put_int(o);
    if (PyFloat_Check(o))
        return put_fixed(QEL_TYPE_FLOAT64, std::bit_cast<uint64_t>(PyFloat_AsDouble(o)), 8);
    if (PyUnicode_Check(o))
        return put_utf8(o, key);
    if (PyDict_Check(o))
        return push(o, Kind::Dict, key, source);
    if (PyList_Check(o))
        return push(o, Kind::List, key, source);
    if (PyTuple_Check(o))
        return push(o, Kind::Tuple, key, source);
    if (PyObject_TypeCheck(o, g.datetime->DateTimeType))
        return put_datetime(o, key);
    if (PyBytes_Check(o)) {
        char* data;
        Py_ssize_t size;
        return PyBytes_AsStringAndSize(o, &data, &size) == 0 && put_binary(0, o, data, size, key, false);
    }
    if (PyByteArray_Check(o))
        return put_binary(0, o, PyByteArray_AsString(o), PyByteArray_Size(o), key, false);
    bool not_a_buffer = false;
    if (put_buffer(o, key, &not_a_buffer))
        return true;
    if (!not_a_buffer)
        return false;

    if (options_.default_fn == nullptr)
        return fail(ErrorKind::Type, key, "%s of type %s cannot be written", key ? "a map key" : "an object",
                    type_name(o));
    if (default_calls >= kDefaultChain)
        return fail(ErrorKind::Type, key, "default returned an object of type %s, which cannot be written either",
                    type_name(o));
    ++epoch_;
    Ref held(new_ref(o)); // default may drop the last other reference to it
    Ref replacement(PyObject_CallFunctionObjArgs(options_.default_fn, o, nullptr));
    if (!replacement)
        return false;
    // The object that `default` was first called for stands for every
    // container it turns into, so that a default that keeps expanding the
    // same object is caught as a cycle.
    return emit(replacement.get(), key, default_calls + 1, source != nullptr ? source : o);
}

bool Encoder::emit_key(PyObject* k)
{
    return Py_TYPE(k) == &PyUnicode_Type ? put_utf8(k, true) : emit(k, true);
}

/* ======================================================================== */
/* Elements                                                                  */
/* ======================================================================== */

[[gnu::always_inline]] inline bool Encoder::put_byte(uint8_t type)
{
    uint8_t* p = output_.reserve(1);
    if (p == nullptr)
        return false;
    *p = type;
    output_.commit(1);
    return true;
}

[[gnu::always_inline]] inline bool Encoder::put_fixed(uint8_t type, uint64_t bits, int width)
{
    uint8_t* p = output_.reserve(9);
    if (p == nullptr)
        return false;
    p[0] = type;
    qel_wire_store_u64(p + 1, bits); // the bytes past `width` are not committed
    output_.commit(1 + static_cast<size_t>(width));
    return true;
}

[[gnu::always_inline]] inline bool Encoder::put_int(PyObject* o)
{
    long long small;
    if (small_int(o, &small)) {
        const auto bits = static_cast<uint64_t>(small);
        if (small >= INT8_MIN && small <= INT8_MAX)
            return put_fixed(QEL_TYPE_INT8, bits, 1);
        if (small >= INT16_MIN && small <= INT16_MAX)
            return put_fixed(QEL_TYPE_INT16, bits, 2);
        return put_fixed(QEL_TYPE_INT32, bits, 4);
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
        if (v == -1 && PyErr_Occurred())
            return false;
        const auto bits = static_cast<uint64_t>(v);
        if (v >= INT8_MIN && v <= INT8_MAX)
            return put_fixed(QEL_TYPE_INT8, bits, 1);
        if (v >= INT16_MIN && v <= INT16_MAX)
            return put_fixed(QEL_TYPE_INT16, bits, 2);
        if (v >= INT32_MIN && v <= INT32_MAX)
            return put_fixed(QEL_TYPE_INT32, bits, 4);
        return put_fixed(QEL_TYPE_INT64, bits, 8);
    }
    if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred()))
            return put_fixed(QEL_TYPE_UINT64, u, 8);
        PyErr_Clear();
    }
    return fail(ErrorKind::Overflow, false, "an int beyond the uint64 and int64 ranges cannot be written");
}

[[gnu::noinline]] bool Encoder::put_string(
    uint8_t subtype, PyObject* owner, const char* data, Py_ssize_t size, bool key)
{
    if (std::memchr(data, 0, static_cast<size_t>(size)) != nullptr)
        return fail(ErrorKind::Value, key,
                    "a str holding NUL cannot be written: a QEL string ends at its first NUL");
    if (static_cast<unsigned long long>(size) >= UINT32_MAX)
        return fail(ErrorKind::Value, key, "a str of %zd bytes is beyond the 4 GiB that a QEL string holds", size);
    const auto n = static_cast<size_t>(size);
    // Keys stay in the buffer, where the check for repeated keys reads them.
    const bool referred = !key && n >= Output::kReferThreshold;
    uint8_t* p = output_.reserve(1 + QEL_STRING_HEAD_SIZE + (referred ? 0 : n + 1));
    if (p == nullptr)
        return false;
    p[0] = QEL_TYPE_STRING;
    p[1] = subtype;
    qel_wire_store_u32(p + 2, static_cast<uint32_t>(n + 1));
    if (referred) {
        output_.commit(1 + QEL_STRING_HEAD_SIZE);
        return output_.append_payload(owner, data, n) && put_byte(0);
    }
    std::memcpy(p + 1 + QEL_STRING_HEAD_SIZE, data, n);
    p[1 + QEL_STRING_HEAD_SIZE + n] = 0;
    output_.commit(1 + QEL_STRING_HEAD_SIZE + n + 1);
    return true;
}

namespace {

/* Copies `n` bytes and tells whether any was zero, a word at a time, the
 * last word overlapping the one before: for the short strings of records
 * this beats a search and a copy call. Reads nothing outside the source. */
inline bool copy_finding_nul(uint8_t* dst, const char* src, size_t n)
{
    auto zero64 = [](uint64_t w) { return (w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull; };
    auto zero32 = [](uint32_t w) { return (w - 0x01010101u) & ~w & 0x80808080u; };
    if (n >= 8) {
        uint64_t zero = 0;
        uint64_t w;
        for (size_t i = 0; i + 8 < n; i += 8) {
            std::memcpy(&w, src + i, 8);
            std::memcpy(dst + i, &w, 8);
            zero |= zero64(w);
        }
        std::memcpy(&w, src + n - 8, 8);
        std::memcpy(dst + n - 8, &w, 8);
        return (zero | zero64(w)) != 0;
    }
    if (n >= 4) {
        uint32_t a;
        uint32_t b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
        return (zero32(a) | zero32(b)) != 0;
    }
    bool zero = false;
    for (size_t i = 0; i < n; ++i) {
        dst[i] = static_cast<uint8_t>(src[i]);
        zero |= src[i] == 0;
    }
    return zero;
}

constexpr Py_ssize_t kShortString = 64;

} // namespace

[[gnu::always_inline]] inline bool Encoder::put_utf8(PyObject* o, bool key)
{
    Py_ssize_t size;
    const char* data = ascii_text(o, &size);
    if (data == nullptr)
        data = PyUnicode_AsUTF8AndSize(o, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return fail(ErrorKind::Value, key,
                    "a str that is not valid Unicode (a lone surrogate) cannot be written as UTF-8");
    }
    if (size >= kShortString)
        return put_string(QEL_SUB_STRING_U8, o, data, size, key);
    const auto n = static_cast<size_t>(size);
    uint8_t* p = output_.reserve(1 + QEL_STRING_HEAD_SIZE + n + 1);
    if (p == nullptr)
        return false;
    p[0] = QEL_TYPE_STRING;
    p[1] = QEL_SUB_STRING_U8;
    qel_wire_store_u32(p + 2, static_cast<uint32_t>(n + 1));
    if (copy_finding_nul(p + 1 + QEL_STRING_HEAD_SIZE, data, n))
        return fail(ErrorKind::Value, key,
                    "a str holding NUL cannot be written: a QEL string ends at its first NUL");
    p[1 + QEL_STRING_HEAD_SIZE + n] = 0;
    output_.commit(1 + QEL_STRING_HEAD_SIZE + n + 1);
    return true;
}

/* `owner` must be immutable for its payload to be referred to (bytes). */
bool Encoder::put_binary(
    uint8_t subtype, PyObject* owner, const void* data, Py_ssize_t size, bool key, bool immutable)
{
    if (static_cast<unsigned long long>(size) > UINT32_MAX)
        return fail(ErrorKind::Value, key, "a binary of %zd bytes is beyond the 4 GiB that a QEL binary holds",
                    size);
    const auto n = static_cast<size_t>(size);
    const bool referred = immutable && !key && n >= Output::kReferThreshold;
    uint8_t* p = output_.reserve(1 + QEL_BINARY_HEAD_SIZE + (referred ? 0 : n));
    if (p == nullptr)
        return false;
    p[0] = QEL_TYPE_BIN;
    p[1] = subtype;
    qel_wire_store_u32(p + 2, static_cast<uint32_t>(n));
    if (referred) {
        output_.commit(1 + QEL_BINARY_HEAD_SIZE);
        return output_.append_payload(owner, data, n);
    }
    if (n > 0)
        std::memcpy(p + 1 + QEL_BINARY_HEAD_SIZE, data, n);
    output_.commit(1 + QEL_BINARY_HEAD_SIZE + n);
    return true;
}

/* Any other object that lends its bytes. `not_a_buffer` is set (with no
 * exception) when it lends none. */
bool Encoder::put_buffer(PyObject* o, bool key, bool* not_a_buffer)
{
    ++epoch_; // an exporter may be Python code
    BufferView view;
    if (view.acquire(o))
        return put_binary(0, o, view.data(), static_cast<Py_ssize_t>(view.size()), key, false);
    if (PyErr_ExceptionMatches(PyExc_BufferError)) {
        // An exporter that lends only a strided layout: its bytes in order.
        PyErr_Clear();
        Ref view_object(PyMemoryView_FromObject(o));
        Ref bytes(view_object ? PyObject_CallMethodObjArgs(view_object.get(), g.str_tobytes, nullptr) : nullptr);
        char* data;
        Py_ssize_t size;
        return bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0 &&
               put_binary(0, bytes.get(), data, size, key, true);
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        return false;
    PyErr_Clear();
    *not_a_buffer = true;
    return false;
}

bool Encoder::put_timestamp(const Fields& f)
{
    uint8_t* p = output_.reserve(1 + QEL_TIMESTAMP_SIZE);
    if (p == nullptr)
        return false;
    p[0] = QEL_TYPE_TIMESTAMP;
    qel_wire_store_u16(p + 1, static_cast<uint16_t>(f.year));
    p[3] = static_cast<uint8_t>(f.month);
    p[4] = static_cast<uint8_t>(f.day);
    p[5] = static_cast<uint8_t>(f.hour);
    p[6] = static_cast<uint8_t>(f.minute);
    p[7] = static_cast<uint8_t>(f.second);
    qel_wire_store_u32(p + 8, static_cast<uint32_t>(f.microsecond));
    output_.commit(1 + QEL_TIMESTAMP_SIZE);
    return true;
}

bool Encoder::put_datetime(PyObject* o, bool key)
{
    pin_keys(); // utcoffset may be Python code
    Fields f{};
    const int aware = datetime_is_aware(o);
    if (aware < 0)
        return false;
    if (aware == 0)
        return datetime_fields(o, &f) && put_timestamp(f);
    if (!options_.utc)
        return fail(ErrorKind::Value, key,
                    "a timezone-aware datetime would lose its offset: pass utc=True to store it converted to UTC");
    ++epoch_; // tzinfo methods are Python code
    Ref in_utc(PyObject_CallMethodObjArgs(o, g.str_astimezone, g.utc, nullptr));
    if (!in_utc) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            return false;
        PyErr_Clear();
        return fail(ErrorKind::Overflow, key,
                    "a datetime whose UTC time is outside the years 1 to 9999 cannot be written");
    }
    // In UTC it may be the very timestamp of a naive key of the same map,
    // which Python keeps apart from it.
    if (key)
        stack_.back().check_keys = true;
    return datetime_fields(in_utc.get(), &f) && put_timestamp(f);
}

/* ------------------------------------------------------------------------ */
/* Typed values                                                               */
/* ------------------------------------------------------------------------ */

namespace {

struct IntRange {
    uint8_t type;
    int width;
    long long min;
    unsigned long long max;
};

/* Rows in the order of Typed, Int8 to UInt64. */
constexpr IntRange kIntRanges[] = {
    {QEL_TYPE_INT8, 1, INT8_MIN, INT8_MAX},    {QEL_TYPE_INT16, 2, INT16_MIN, INT16_MAX},
    {QEL_TYPE_INT32, 4, INT32_MIN, INT32_MAX}, {QEL_TYPE_INT64, 8, INT64_MIN, INT64_MAX},
    {QEL_TYPE_UINT8, 1, 0, UINT8_MAX},         {QEL_TYPE_UINT16, 2, 0, UINT16_MAX},
    {QEL_TYPE_UINT32, 4, 0, UINT32_MAX},       {QEL_TYPE_UINT64, 8, 0, UINT64_MAX},
};

const char* const kTypedNames[] = {"Int8",   "Int16",   "Int32",   "Int64",   "UInt8",   "UInt16", "UInt32",
                                   "UInt64", "Float16", "Float32", "Float64", "CString", "Blob",   "Timestamp"};

} // namespace

bool Encoder::put_typed(int typed, PyObject* o, bool key)
{
    const auto kind = static_cast<Typed>(typed);
    if (typed <= static_cast<int>(Typed::UInt64)) {
        const IntRange& r = kIntRanges[typed];
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred())
            return false;
        if (overflow == 0 && v >= r.min && (v < 0 || static_cast<unsigned long long>(v) <= r.max))
            return put_fixed(r.type, static_cast<uint64_t>(v), r.width);
        if (overflow > 0 && kind == Typed::UInt64) {
            const unsigned long long u = PyLong_AsUnsignedLongLong(o);
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred()))
                return put_fixed(r.type, u, r.width);
            PyErr_Clear();
        }
        return fail(ErrorKind::Overflow, key, "a %s beyond its range cannot be written", kTypedNames[typed]);
    }
    switch (kind) {
    case Typed::Float64:
        return put_fixed(QEL_TYPE_FLOAT64, std::bit_cast<uint64_t>(PyFloat_AsDouble(o)), 8);
    case Typed::Float32: {
        bool overflow;
        const uint32_t bits = double_to_f32_bits(PyFloat_AsDouble(o), &overflow);
        if (overflow)
            return fail(ErrorKind::Overflow, key, "a Float32 beyond the binary32 range cannot be written");
        return put_fixed(QEL_TYPE_FLOAT32, bits, 4);
    }
    case Typed::Float16: {
        bool overflow;
        const uint16_t bits = double_to_half_bits(PyFloat_AsDouble(o), &overflow);
        if (overflow)
            return fail(ErrorKind::Overflow, key, "a Float16 beyond the binary16 range cannot be written");
        return put_fixed(QEL_TYPE_FLOAT16, bits, 2);
    }
    case Typed::CString: {
        // Bytes that are not UTF-8 travel in a CString as lone surrogates.
        Ref bytes(PyUnicode_AsEncodedString(o, "utf-8", "surrogateescape"));
        if (!bytes) {
            PyErr_Clear();
            return fail(ErrorKind::Value, key,
                        "a CString holding surrogates that stand for no byte cannot be written");
        }
        char* data;
        Py_ssize_t size;
        return PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0 &&
               put_string(QEL_SUB_STRING_C, bytes.get(), data, size, key);
    }
    case Typed::Blob: {
        Ref data(PyObject_GetAttr(o, g.str_data));
        Ref type(data ? PyObject_GetAttr(o, g.str_type) : nullptr);
        if (!type)
            return false;
        const long subtype = PyLong_AsLong(type.get());
        if (subtype == -1 && PyErr_Occurred())
            return false;
        if (subtype < 0 || subtype > 255 || !PyBytes_Check(data.get()))
            return fail(ErrorKind::Value, key, "a Blob needs bytes and a binary type from 0 to 255");
        char* bytes;
        Py_ssize_t size;
        return PyBytes_AsStringAndSize(data.get(), &bytes, &size) == 0 &&
               put_binary(static_cast<uint8_t>(subtype), data.get(), bytes, size, key, true);
    }
    case Typed::Timestamp: {
        long long v[7];
        if (PyTuple_Size(o) != 7)
            return fail(ErrorKind::Value, key, "a Timestamp holds seven fields");
        for (Py_ssize_t i = 0; i < 7; ++i) {
            v[i] = PyLong_AsLongLong(PyTuple_GetItem(o, i));
            if (v[i] == -1 && PyErr_Occurred())
                return false;
        }
        const bool fits = v[0] >= INT16_MIN && v[0] <= INT16_MAX && v[6] >= 0 && v[6] <= UINT32_MAX && [&] {
            for (int i = 1; i < 6; ++i)
                if (v[i] < 0 || v[i] > UINT8_MAX)
                    return false;
            return true;
        }();
        if (!fits)
            return fail(ErrorKind::Overflow, key, "a Timestamp field beyond its width cannot be written");
        return put_timestamp(Fields{static_cast<int32_t>(v[0]), static_cast<int32_t>(v[1]),
                                    static_cast<int32_t>(v[2]), static_cast<int32_t>(v[3]),
                                    static_cast<int32_t>(v[4]), static_cast<int32_t>(v[5]), v[6]});
    }
    default:
        return false;
    }
}

/* ======================================================================== */
/* Errors                                                                    */
/* ======================================================================== */

[[gnu::cold, gnu::noinline]] bool Encoder::fail(ErrorKind kind, bool key, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Ref message(PyUnicode_FromFormatV(format, args));
    va_end(args);
    return message && fail_at(kind, stack_.size(), key, message.get());
}

/* The path names the position of the object within the first `frames` open
 * containers: list indexes as ints, map keys wrapped in 1-tuples. */
bool Encoder::fail_at(ErrorKind kind, size_t frames, bool key, PyObject* message)
{
    Ref parts(PyList_New(0));
    if (!parts)
        return false;
    if (root_index_ >= 0 || (root_key_ != nullptr && !(key && frames == 0))) {
        Ref part(root_index_ >= 0 ? PyLong_FromSsize_t(root_index_) : PyTuple_Pack(1, root_key_));
        if (!part || PyList_Append(parts.get(), part.get()) < 0)
            return false;
    }
    for (size_t i = 0; i < frames; ++i) {
        const Frame& f = stack_[i];
        Ref part;
        if (f.kind == Kind::Dict) {
            if (f.key == nullptr || (key && i + 1 == frames))
                continue;
            part.reset(PyTuple_Pack(1, f.key));
        } else {
            if (f.next == 0)
                continue;
            part.reset(PyLong_FromSsize_t(f.next - 1));
        }
        if (!part || PyList_Append(parts.get(), part.get()) < 0)
            return false;
    }
    static const char* const kinds[] = {"type", "value", "overflow"};
    Ref kind_name(PyUnicode_FromString(kinds[static_cast<int>(kind)]));
    Ref error(kind_name ? PyObject_CallFunctionObjArgs(g.encode_error_factory, kind_name.get(), message,
                                                       parts.get(), nullptr)
                        : nullptr);
    if (error)
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return false;
}

} // namespace qelcodec
