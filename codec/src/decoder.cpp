// The decoder: QEL bytes to Python objects, one element at a time.

#include "decoder.h"

#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "floats.h"
#include "qel/qel_wire.h"
#include "runtime.h"
#include "wire.h"

namespace qelcodec {

namespace {

/* ------------------------------------------------------------------------ */
/* Key cache                                                                  */
/* ------------------------------------------------------------------------ */
/* Records repeat their field names: a short UTF-8 key seen before comes back
 * as the same str object instead of a new one, which also makes the dict's
 * key comparisons pointer comparisons. One table for the process; the
 * interpreter lock guards it. */

constexpr size_t kCachedKeyMax = 24;
constexpr size_t kKeyCacheSlots = 2048;

/* Up to 24 bytes as three words and the length: overlapping loads that
 * cover every byte without reading past the key, so that equal words mean
 * equal bytes and a lookup compares four words. */
struct KeyWords {
    uint64_t a = 0, b = 0, c = 0, n = 0;

    KeyWords() = default;
    KeyWords(const uint8_t* p, size_t size) : n(size)
    {
        if (size >= 8) {
            std::memcpy(&a, p, 8);
            std::memcpy(&b, p + size - 8, 8);
            if (size > 16)
                std::memcpy(&c, p + 8, 8);
        } else if (size >= 4) {
            uint32_t x;
            uint32_t y;
            std::memcpy(&x, p, 4);
            std::memcpy(&y, p + size - 4, 4);
            a = x;
            b = y;
        } else {
            a = size > 0 ? p[0] : 0;
            b = size > 1 ? (uint64_t{p[1]} << 8) | p[size - 1] : 0;
        }
    }

    bool operator==(const KeyWords& o) const { return a == o.a && b == o.b && c == o.c && n == o.n; }

    size_t slot() const
    {
        uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full) ^ (c * 0x165667B19E3779F9ull) ^ n;
        h ^= h >> 31;
        h *= 0xD6E8FEB86659FD93ull;
        h ^= h >> 32;
        return static_cast<size_t>(h & (kKeyCacheSlots - 1));
    }
};

struct CachedKey {
    PyObject* text;
    KeyWords words;
};

CachedKey g_key_cache[kKeyCacheSlots];

/* One pass over a text: whether a byte is zero, and whether all are ASCII;
 * whole words, the last overlapping, nothing read outside the text. */
struct TextScan {
    bool nul;
    bool ascii;
};

inline TextScan scan_text(const uint8_t* s, size_t n)
{
    constexpr uint64_t ones = 0x0101010101010101ull;
    constexpr uint64_t highs = 0x8080808080808080ull;
    uint64_t zero = 0;
    uint64_t high = 0;
    auto word = [&](uint64_t w) {
        zero |= (w - ones) & ~w & highs;
        high |= w & highs;
    };
    if (n >= 8) {
        uint64_t w;
        for (size_t i = 0; i + 8 < n; i += 8) {
            std::memcpy(&w, s + i, 8);
            word(w);
        }
        std::memcpy(&w, s + n - 8, 8);
        word(w);
    } else if (n >= 4) {
        uint32_t a;
        uint32_t b;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + n - 4, 4);
        word(a | (uint64_t{b} << 32));
    } else {
        for (size_t i = 0; i < n; ++i) {
            zero |= s[i] == 0;
            high |= s[i] & 0x80u;
        }
    }
    return TextScan{zero != 0, high == 0};
}

/* A str of `n` bytes of text, ASCII if `ascii`: filled in place when the
 * layout of compact ASCII strings is known, which spares the decoder's own
 * scan; else decoded as strict UTF-8. */
inline PyObject* make_str(const uint8_t* s, size_t n, bool ascii)
{
    if (ascii && g.ascii_layout) {
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (text != nullptr && n > 0)
            std::memcpy(reinterpret_cast<char*>(text) + g.ascii_data, s, n);
        return text;
    }
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(s), static_cast<Py_ssize_t>(n), nullptr);
}

/* The cached str of a key, as a new reference, or null (no exception). */
inline PyObject* cache_hit(const KeyWords& w)
{
    const CachedKey& e = g_key_cache[w.slot()];
    if (e.text != nullptr && e.words == w)
        return new_ref(e.text);
    return nullptr;
}

/* A new str for a key, kept in the cache. */
PyObject* cache_store(const KeyWords& w, const uint8_t* p, size_t n, bool ascii)
{
    PyObject* text = make_str(p, n, ascii);
    if (text == nullptr)
        return nullptr;
    CachedKey& e = g_key_cache[w.slot()];
    PyObject* old = e.text;
    e.text = new_ref(text);
    e.words = w;
    Py_XDECREF(old);
    return text;
}

/* The offset of a value that comes from no stream; the offsets that error
 * messages derive from it (at + 1 and so on) stay above it too. */
constexpr uint64_t kNoOffset = UINT64_MAX / 2;

const char* container_name(bool map)
{
    return map ? "map" : "list";
}

/* ------------------------------------------------------------------------ */
/* Event names                                                                */
/* ------------------------------------------------------------------------ */
/* Interned once, so that an event costs one tuple and its value. Type names
 * by type code; strings by subtype. */

enum EventKind { kStart, kEnd, kKey, kValue, kKindCount };
PyObject* g_kinds[kKindCount];
PyObject* g_type_names[QEL_TYPE_TIMESTAMP + 1];
PyObject* g_string_names[2];
PyObject* g_container_names[2];

PyObject* type_name_of(const uint8_t* p)
{
    return p[0] == QEL_TYPE_STRING ? g_string_names[p[1]] : g_type_names[p[0]];
}

/* A new (kind, type, value) tuple; takes over `value`. */
PyObject* make_event(EventKind kind, PyObject* type, PyObject* value)
{
    PyObject* event = PyTuple_New(3);
    if (event == nullptr) {
        Py_DECREF(value);
        return nullptr;
    }
    PyTuple_SetItem(event, 0, new_ref(g_kinds[kind]));
    PyTuple_SetItem(event, 1, new_ref(type));
    PyTuple_SetItem(event, 2, value);
    return event;
}

/* A limit: None for none, else an int from 0 up. */
bool parse_limit(PyObject* o, const char* name, uint64_t* out)
{
    if (o == nullptr || o == Py_None) {
        *out = UINT64_MAX;
        return true;
    }
    if (!PyLong_Check(o) || PyBool_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int or None", name);
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred())
        return false;
    if (overflow > 0) {
        *out = UINT64_MAX;
        return true;
    }
    if (overflow < 0 || v < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative", name);
        return false;
    }
    *out = static_cast<uint64_t>(v);
    return true;
}

} // namespace

bool parse_limits(PyObject* const limits[3], DecodeOptions* options)
{
    return parse_limit(limits[0], "max_depth", &options->max_depth) &&
           parse_limit(limits[1], "max_elements", &options->max_elements) &&
           parse_limit(limits[2], "max_bytes", &options->max_bytes);
}

bool init_event_names()
{
    static const char* const kinds[kKindCount] = {"start", "end", "key", "value"};
    static const char* const types[QEL_TYPE_TIMESTAMP + 1] = {
        nullptr,  "float64", "float32", "float16", nullptr, "int64", "int32", "int16", "int8",  "uint64",
        "uint32", "uint16",  "uint8",   "bool",    "blob",  "none",  nullptr, nullptr, nullptr, "timestamp"};
    auto intern = [](PyObject** slot, const char* text) {
        *slot = PyUnicode_InternFromString(text);
        return *slot != nullptr;
    };
    for (int i = 0; i < kKindCount; ++i)
        if (!intern(&g_kinds[i], kinds[i]))
            return false;
    for (int i = 0; i <= QEL_TYPE_TIMESTAMP; ++i)
        if (types[i] != nullptr && !intern(&g_type_names[i], types[i]))
            return false;
    return intern(&g_string_names[QEL_SUB_STRING_C], "cstring") &&
           intern(&g_string_names[QEL_SUB_STRING_U8], "utf8") && intern(&g_container_names[0], "list") &&
           intern(&g_container_names[1], "map");
}

Decoder::~Decoder()
{
    for (Frame& f : stack_) {
        Py_XDECREF(f.container);
        Py_XDECREF(f.key);
        Py_XDECREF(f.shadow);
    }
    Py_XDECREF(root_);
    Py_XDECREF(item_);
    Py_XDECREF(nan_keys_);
}

PyObject* Decoder::value(const uint8_t* element, size_t size, bool key)
{
    size_t used = 0;
    PyObject* v = scalar(element, size, kNoOffset, key, &used);
    if (v == nullptr && short_)
        return raise_decode_error(-1, "a whole element", "an element is cut short");
    return v;
}

PyObject* Decoder::take_root()
{
    PyObject* root = root_;
    root_ = nullptr;
    return root;
}

/* ======================================================================== */
/* The loop                                                                  */
/* ======================================================================== */

/* The header at data[*pos]: Done when it is there and sound. */
Decoder::Status Decoder::header(const uint8_t* data, size_t size, size_t* pos, uint64_t base)
{
    static constexpr uint8_t header[QEL_HEADER_SIZE] = QEL_HEADER_BYTES;
    const size_t avail = size - *pos;
    const uint8_t* p = data + *pos;
    if (std::memcmp(p, header, avail < QEL_MAGIC_SIZE ? avail : QEL_MAGIC_SIZE) != 0) {
        fail(base + *pos, "the magic \"_QEL\"", "not a QEL stream: it does not start with \"_QEL\"");
        return Status::Failed;
    }
    if (avail < QEL_HEADER_SIZE) {
        need(base + *pos, QEL_HEADER_SIZE, "header");
        return Status::NeedMore;
    }
    const uint16_t version = qel_wire_load_u16(p + QEL_MAGIC_SIZE);
    if (version != QEL_VERSION) {
        fail(base + *pos + QEL_MAGIC_SIZE, "version 1", "unsupported QEL version %u", version);
        return Status::Failed;
    }
    *pos += QEL_HEADER_SIZE;
    header_done_ = true;
    return Status::Done;
}

Decoder::Status Decoder::feed(const uint8_t* data, size_t size, size_t* pos_io, uint64_t base)
{
    data_ = data;
    size_ = size;
    base_ = base;
    short_ = false;
    size_t pos = *pos_io;
    if (!header_done_) {
        const Status status = header(data, size, &pos, base);
        if (status != Status::Done) {
            *pos_io = pos;
            return status;
        }
    }
    Status status = Status::Done;
    while (root_ == nullptr) {
        const uint64_t at = base + pos;
        if (pos >= size) {
            need(at, 1, nullptr);
            status = Status::NeedMore;
            break;
        }
        const uint8_t* p = data + pos;
        const uint8_t type = *p;
        if (type == QEL_TYPE_END) {
            if (!close(at)) {
                status = Status::Failed;
                break;
            }
            ++pos;
            if (item_ != nullptr) {
                status = Status::Item;
                break;
            }
            continue;
        }
        if (elements_ >= options_.max_elements) {
            fail_elements(at);
            status = Status::Failed;
            break;
        }
        if (type == QEL_TYPE_LIST || type == QEL_TYPE_MAP) {
            if (!open(type, at)) {
                status = Status::Failed;
                break;
            }
            ++pos;
            continue;
        }
        if (stack_.empty()) {
            fail_root(at, type);
            status = Status::Failed;
            break;
        }
        const bool key = stack_.back().map && stack_.back().key == nullptr;
        size_t used = 0;
        PyObject* value = scalar(p, size - pos, at, key, &used);
        if (value == nullptr) {
            status = short_ ? Status::NeedMore : Status::Failed;
            break;
        }
        if (!place(value, at, key && p[0] == QEL_TYPE_STRING && p[1] == QEL_SUB_STRING_U8)) {
            status = Status::Failed;
            break;
        }
        pos += used;
        ++elements_;
        if (item_ != nullptr) {
            status = Status::Item;
            break;
        }
    }
    *pos_io = pos;
    return status;
}

bool Decoder::open(uint8_t type, uint64_t at)
{
    const bool map = type == QEL_TYPE_MAP;
    if (stack_.size() >= options_.max_depth) {
        fail_depth(at);
        return false;
    }
    if (!stack_.empty() && stack_.back().map && stack_.back().key == nullptr) {
        fail_container_key(at, map);
        return false;
    }
    // A streamed root is never built: its items go out one at a time.
    PyObject* container = nullptr;
    if (!items_ || !stack_.empty()) {
        container = map ? PyDict_New() : PyList_New(0);
        if (container == nullptr)
            return false;
    }
    try {
        stack_.push_back(Frame{container, nullptr, nullptr, at, 0, 0, map, false});
    } catch (const std::bad_alloc&) {
        Py_XDECREF(container);
        PyErr_NoMemory();
        return false;
    }
    // A streamed root is no element of any item.
    if (container != nullptr)
        ++elements_;
    return true;
}

/* A container is placed in its parent when it is complete, so that the
 * objects of a partial tree are owned by the stack alone and go one by one,
 * whatever the depth, when decoding fails. */
bool Decoder::close(uint64_t at)
{
    if (stack_.empty()) {
        fail_end_before_root(at);
        return false;
    }
    Frame& f = stack_.back();
    if (f.key != nullptr) {
        fail_end_after_key(at, f.key_at);
        return false;
    }
    PyObject* container = f.container;
    const uint64_t opened_at = f.at;
    Py_XDECREF(f.shadow);
    stack_.pop_back();
    if (stack_.empty()) {
        // A streamed root has no object: None stands for its end.
        root_ = container != nullptr ? container : new_ref(Py_None);
        return true;
    }
    return place(container, opened_at, false);
}

/* Stores `value` (a new reference, taken over) in the innermost container:
 * appended to a list, or parked as a map's key until its value comes.
 *
 * Two keys of a map can be equal in Python and still differ in QEL; the
 * dict then does not grow, which check_key looks into. A UTF-8 string key
 * can only meet a C string of the same text that way, so a map whose keys
 * are all UTF-8 strings (the common case) skips the count. */
[[gnu::always_inline]] inline bool Decoder::place(PyObject* value, uint64_t at, bool utf8_key)
{
    Frame& f = stack_.back();
    if (f.container == nullptr)
        return place_item(f, value, at);
    if (!f.map) {
        const int rc = PyList_Append(f.container, value);
        Py_DECREF(value);
        return rc == 0;
    }
    if (f.key == nullptr) {
        f.key = value;
        f.key_at = at;
        if (!utf8_key && !f.mixed_keys) {
            f.mixed_keys = true;
            f.count = PyDict_Size(f.container);
        }
        return true;
    }
    PyObject* key = f.key;
    f.key = nullptr;
    const int rc = PyDict_SetItem(f.container, key, value);
    Py_DECREF(value);
    if (rc < 0) {
        Py_DECREF(key);
        return false;
    }
    bool ok = true;
    if (f.mixed_keys) {
        const Py_ssize_t count = PyDict_Size(f.container);
        if (count == f.count || f.shadow != nullptr)
            ok = check_key(f, key, f.key_at);
        f.count = count;
    }
    Py_DECREF(key);
    return ok;
}

/* An item of a streamed root: ready at once in a list, or once its value
 * has come in a map. */
bool Decoder::place_item(Frame& f, PyObject* value, uint64_t at)
{
    if (!f.map) {
        item_ = value;
        return true;
    }
    if (f.key == nullptr) {
        f.key = value;
        f.key_at = at;
        return true;
    }
    PyObject* entry = PyTuple_New(2);
    if (entry == nullptr) {
        Py_DECREF(value);
        return false;
    }
    PyTuple_SetItem(entry, 0, f.key);
    PyTuple_SetItem(entry, 1, value);
    f.key = nullptr;
    item_ = entry;
    return true;
}

/* ======================================================================== */
/* Events                                                                    */
/* ======================================================================== */

Decoder::Status Decoder::next_event(
    const uint8_t* data, size_t size, size_t* pos_io, uint64_t base, PyObject** event)
{
    data_ = data;
    size_ = size;
    base_ = base;
    short_ = false;
    *event = nullptr;
    if (!header_done_) {
        const Status status = header(data, size, pos_io, base);
        if (status != Status::Done)
            return status;
    }
    if (events_done_)
        return Status::Done;
    const size_t pos = *pos_io;
    const uint64_t at = base + pos;
    if (pos >= size) {
        need(at, 1, nullptr);
        return Status::NeedMore;
    }
    const uint8_t* p = data + pos;
    const uint8_t type = *p;
    if (type == QEL_TYPE_END) {
        if (levels_.empty()) {
            fail_end_before_root(at);
            return Status::Failed;
        }
        if (levels_.back().level == MapValue) {
            fail_end_after_key(at, last_key_at_);
            return Status::Failed;
        }
        const bool map = levels_.back().level == MapKey;
        levels_.pop_back();
        *event = make_event(kEnd, g_container_names[map], new_ref(Py_None));
        if (*event == nullptr)
            return Status::Failed;
        if (levels_.empty())
            events_done_ = true;
        else if (levels_.back().level == MapValue)
            levels_.back().level = MapKey;
        *pos_io = pos + 1;
        return Status::Item;
    }
    if (elements_ >= options_.max_elements) {
        fail_elements(at);
        return Status::Failed;
    }
    if (type == QEL_TYPE_LIST || type == QEL_TYPE_MAP) {
        const bool map = type == QEL_TYPE_MAP;
        if (levels_.size() >= options_.max_depth) {
            fail_depth(at);
            return Status::Failed;
        }
        if (!levels_.empty() && levels_.back().level == MapKey) {
            fail_container_key(at, map);
            return Status::Failed;
        }
        try {
            levels_.push_back(OpenLevel{map ? MapKey : InList, at});
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return Status::Failed;
        }
        *event = make_event(kStart, g_container_names[map], new_ref(Py_None));
        if (*event == nullptr)
            return Status::Failed;
        *pos_io = pos + 1;
        ++elements_;
        return Status::Item;
    }
    if (levels_.empty()) {
        fail_root(at, type);
        return Status::Failed;
    }
    Level& level = levels_.back().level;
    const bool key = level == MapKey;
    size_t used = 0;
    PyObject* value = scalar(p, size - pos, at, key, &used);
    if (value == nullptr)
        return short_ ? Status::NeedMore : Status::Failed;
    if (type == QEL_TYPE_BIN && p[1] != 0 && !options_.typed) {
        // The binary type is part of what an event tells.
        Ref data(value);
        Ref subtype(PyLong_FromLong(p[1]));
        value = subtype ? PyObject_CallFunctionObjArgs(
                              reinterpret_cast<PyObject*>(g.typed[static_cast<int>(Typed::Blob)]), data.get(),
                              subtype.get(), nullptr)
                        : nullptr;
        if (value == nullptr)
            return Status::Failed;
    }
    *event = make_event(key ? kKey : kValue, type_name_of(p), value);
    if (*event == nullptr)
        return Status::Failed;
    if (level == MapKey) {
        level = MapValue;
        last_key_at_ = at;
    } else if (level == MapValue) {
        level = MapKey;
    }
    *pos_io = pos + used;
    ++elements_;
    return Status::Item;
}

/* ======================================================================== */
/* Keys equal in Python                                                      */
/* ======================================================================== */
/* The dict did not grow: the key equals one before it. That is a repeated key
 * when both are the same QEL bytes (the later value stands, as it does in a
 * variant map), and an error when they differ (int8 5 and int16 5, a C
 * string and a UTF-8 string "a"), since one entry would be lost. From the
 * first such key on, the map keeps a shadow dict of each key's offset. */
bool Decoder::check_key(Frame& f, PyObject* key, uint64_t key_at)
{
    if (f.shadow == nullptr && !build_shadow(f, key_at))
        return false;
    PyObject* seen = PyDict_GetItem(f.shadow, key);
    if (seen != nullptr) {
        const uint64_t earlier = PyLong_AsUnsignedLongLong(seen);
        const size_t a = element_size(earlier);
        const size_t b = element_size(key_at);
        if (a != b || std::memcmp(data_ + (earlier - base_), data_ + (key_at - base_), a) != 0) {
            if (options_.typed)
                fail(key_at, "a key distinct from the map's others",
                     "the map keys at offsets %llu and %llu differ in QEL but are equal as Python values",
                     static_cast<unsigned long long>(earlier), static_cast<unsigned long long>(key_at));
            else
                fail(key_at, "a key distinct from the map's others",
                     "the map keys at offsets %llu and %llu differ in QEL but are equal as Python values; "
                     "loads(..., typed=True) keeps them apart",
                     static_cast<unsigned long long>(earlier), static_cast<unsigned long long>(key_at));
            return false;
        }
    }
    Ref offset(PyLong_FromUnsignedLongLong(key_at));
    return offset && PyDict_SetItem(f.shadow, key, offset.get()) == 0;
}

/* Reads the map's keys again, from its opening up to `until`, skipping their
 * values: once per map, at its first repeated key. */
bool Decoder::build_shadow(Frame& f, uint64_t until)
{
    Ref shadow(PyDict_New());
    if (!shadow)
        return false;
    uint64_t q = f.at + 1;
    while (q < until) {
        size_t used = 0;
        const size_t i = static_cast<size_t>(q - base_);
        Ref key(scalar(data_ + i, size_ - i, q, true, &used));
        Ref offset(PyLong_FromUnsignedLongLong(q));
        if (!key || !offset || PyDict_SetItem(shadow.get(), key.get(), offset.get()) < 0)
            return false;
        q = skip_value(
            q + used, [&](uint64_t at) { return data_[at - base_]; },
            [&](uint64_t at) { return element_size(at); });
    }
    f.shadow = shadow.release();
    return true;
}

/* The size of an element already decoded once (so known to be whole). */
size_t Decoder::element_size(uint64_t at) const
{
    const uint8_t* p = data_ + (at - base_);
    const int fixed = qel_wire_payload_size(p[0]);
    if (fixed >= 0)
        return 1 + static_cast<size_t>(fixed);
    return 1 + QEL_STRING_HEAD_SIZE + qel_wire_load_u32(p + 2);
}

/* ======================================================================== */
/* Values                                                                    */
/* ======================================================================== */

PyObject* Decoder::typed_value(int typed, PyObject* plain)
{
    Ref held(plain);
    if (plain == nullptr)
        return nullptr;
    PyObject* cls = reinterpret_cast<PyObject*>(g.typed[typed]);
    const auto kind = static_cast<Typed>(typed);
    PyObject* make = kind <= Typed::UInt64 ? g.int_new : kind <= Typed::Float64 ? g.float_new : g.str_new;
    return PyObject_CallFunctionObjArgs(make, cls, plain, nullptr);
}

/* A float NaN equals no other float, not even one of the same bits, so two
 * NaN keys of the same bytes would both stay in a dict, where every other
 * repeated key leaves one entry. As a key, a NaN is therefore one object per
 * bit pattern: the dict then sees a repeated key, and check_key tells a
 * repeat of the same bytes from two elements that widen to the same bits. */
PyObject* Decoder::plain_float(double d, bool key)
{
    if (!key || !std::isnan(d))
        return PyFloat_FromDouble(d);
    if (nan_keys_ == nullptr && (nan_keys_ = PyDict_New()) == nullptr)
        return nullptr;
    Ref bits(PyLong_FromUnsignedLongLong(std::bit_cast<uint64_t>(d)));
    if (!bits)
        return nullptr;
    if (PyObject* known = PyDict_GetItem(nan_keys_, bits.get()))
        return new_ref(known);
    Ref v(PyFloat_FromDouble(d));
    if (!v || PyDict_SetItem(nan_keys_, bits.get(), v.get()) < 0)
        return nullptr;
    return v.release();
}

inline PyObject* Decoder::plain_or_typed_int(uint8_t type, uint64_t bits)
{
    PyObject* v;
    Typed typed;
    switch (type) {
    case QEL_TYPE_INT8:
        v = PyLong_FromLong(static_cast<int8_t>(bits));
        typed = Typed::Int8;
        break;
    case QEL_TYPE_INT16:
        v = PyLong_FromLong(static_cast<int16_t>(bits));
        typed = Typed::Int16;
        break;
    case QEL_TYPE_INT32:
        v = PyLong_FromLong(static_cast<int32_t>(bits));
        typed = Typed::Int32;
        break;
    case QEL_TYPE_INT64:
        v = PyLong_FromLongLong(static_cast<int64_t>(bits));
        typed = Typed::Int64;
        break;
    case QEL_TYPE_UINT8:
        v = PyLong_FromLong(static_cast<uint8_t>(bits));
        typed = Typed::UInt8;
        break;
    case QEL_TYPE_UINT16:
        v = PyLong_FromLong(static_cast<uint16_t>(bits));
        typed = Typed::UInt16;
        break;
    case QEL_TYPE_UINT32:
        v = PyLong_FromUnsignedLong(static_cast<uint32_t>(bits));
        typed = Typed::UInt32;
        break;
    default:
        v = PyLong_FromUnsignedLongLong(bits);
        typed = Typed::UInt64;
        break;
    }
    return options_.typed ? typed_value(static_cast<int>(typed), v) : v;
}

/* One element that is not a container or an end marker. `used` receives its
 * size; null with `short_` set when `avail` bytes do not hold all of it. */
inline PyObject* Decoder::scalar(const uint8_t* p, size_t avail, uint64_t at, bool key, size_t* used)
{
    const uint8_t type = p[0];
    switch (type) {
    case QEL_TYPE_STRING:
        return string(p, avail, at, key, used);
    case QEL_TYPE_INT8:
    case QEL_TYPE_UINT8:
        if (avail < 2)
            return need(at, 2, "integer");
        *used = 2;
        return plain_or_typed_int(type, p[1]);
    case QEL_TYPE_INT16:
    case QEL_TYPE_UINT16:
        if (avail < 3)
            return need(at, 3, "integer");
        *used = 3;
        return plain_or_typed_int(type, qel_wire_load_u16(p + 1));
    case QEL_TYPE_INT32:
    case QEL_TYPE_UINT32:
        if (avail < 5)
            return need(at, 5, "integer");
        *used = 5;
        return plain_or_typed_int(type, qel_wire_load_u32(p + 1));
    case QEL_TYPE_INT64:
    case QEL_TYPE_UINT64:
        if (avail < 9)
            return need(at, 9, "integer");
        *used = 9;
        return plain_or_typed_int(type, qel_wire_load_u64(p + 1));
    case QEL_TYPE_FLOAT64: {
        if (avail < 9)
            return need(at, 9, "float64");
        *used = 9;
        const double d = std::bit_cast<double>(qel_wire_load_u64(p + 1));
        return options_.typed ? typed_value(static_cast<int>(Typed::Float64), PyFloat_FromDouble(d))
                              : plain_float(d, key);
    }
    case QEL_TYPE_NONE:
        *used = 1;
        return new_ref(Py_None);
    case QEL_TYPE_BOOL:
        if (avail < 2)
            return need(at, 2, "bool");
        *used = 2;
        return new_ref(p[1] != 0 ? Py_True : Py_False);
    case QEL_TYPE_FLOAT32: {
        if (avail < 5)
            return need(at, 5, "float32");
        *used = 5;
        const double d = f32_bits_to_double(qel_wire_load_u32(p + 1));
        return options_.typed ? typed_value(static_cast<int>(Typed::Float32), PyFloat_FromDouble(d))
                              : plain_float(d, key);
    }
    case QEL_TYPE_FLOAT16: {
        if (avail < 3)
            return need(at, 3, "float16");
        *used = 3;
        const double d = half_bits_to_double(qel_wire_load_u16(p + 1));
        return options_.typed ? typed_value(static_cast<int>(Typed::Float16), PyFloat_FromDouble(d))
                              : plain_float(d, key);
    }
    case QEL_TYPE_BIN:
        return binary(p, avail, at, used);
    case QEL_TYPE_TIMESTAMP: {
        if (avail < 1 + QEL_TIMESTAMP_SIZE)
            return need(at, 1 + QEL_TIMESTAMP_SIZE, "timestamp");
        *used = 1 + QEL_TIMESTAMP_SIZE;
        const Fields f{static_cast<int16_t>(qel_wire_load_u16(p + 1)),
                       p[3],
                       p[4],
                       p[5],
                       p[6],
                       p[7],
                       qel_wire_load_u32(p + 8)};
        if (datetime_can_hold(f))
            return make_datetime(f);
        Ref fields(Py_BuildValue("(iiiiiiK)", f.year, f.month, f.day, f.hour, f.minute, f.second,
                                 static_cast<unsigned long long>(f.microsecond)));
        return fields ? PyObject_CallFunctionObjArgs(g.tuple_new, g.typed[static_cast<int>(Typed::Timestamp)],
                                                     fields.get(), nullptr)
                      : nullptr;
    }
    case QEL_TYPE_OPAQUE64:
    case QEL_TYPE_DATE:
    case QEL_TYPE_TIME:
    case QEL_TYPE_TABLE: {
        static const char* const names[] = {"opaque64", "date", "time"};
        return fail(at, "a value of a type that a tree holds", "unsupported element: %s (type byte 0x%x)",
                    type == QEL_TYPE_TABLE ? "table" : names[type - QEL_TYPE_OPAQUE64], type);
    }
    default:
        if ((type & QEL_NULL_FLAG) != 0 && qel_wire_null_flag_allowed(type & QEL_TYPE_MASK))
            return fail(at, "a value",
                        "unsupported element: a null-flagged value (type byte 0x%x) has no Python form", type);
        return fail(at, "a type byte", "invalid type byte 0x%x", type);
    }
}

[[gnu::always_inline]] inline PyObject* Decoder::string(
    const uint8_t* p, size_t avail, uint64_t at, bool key, size_t* used)
{
    if (avail < 1 + QEL_STRING_HEAD_SIZE)
        return need(at, 1 + QEL_STRING_HEAD_SIZE, "string");
    const uint8_t subtype = p[1];
    const uint32_t units = qel_wire_load_u32(p + 2);
    if (subtype > QEL_SUB_STRING_U32)
        return fail(at + 1, "string subtype 0 or 1", "invalid string subtype %u", subtype);
    if (subtype > QEL_SUB_STRING_U8)
        return fail(at + 1, "string subtype 0 or 1", "unsupported string subtype %u (%s-bit code units)", subtype,
                    subtype == QEL_SUB_STRING_U16 ? "16" : "32");
    if (units == 0)
        return fail(at + 2, "a unit count of at least 1", "a string of 0 units lacks its terminating zero");
    const size_t n = units - 1;
    if (n > options_.max_bytes)
        return fail(at, "a string within max_bytes", "a string of %zu bytes is beyond max_bytes=%llu", n,
                    static_cast<unsigned long long>(options_.max_bytes));
    if (avail - (1 + QEL_STRING_HEAD_SIZE) < units)
        return need(at, 1 + QEL_STRING_HEAD_SIZE + uint64_t{units}, "string");
    const uint8_t* s = p + 1 + QEL_STRING_HEAD_SIZE;
    if (s[n] != 0)
        return fail(at + 1 + QEL_STRING_HEAD_SIZE + n, "the string's terminating zero",
                    "a string does not end with its terminating zero");
    *used = 1 + QEL_STRING_HEAD_SIZE + units;
    const bool cached = key_cache_ && subtype == QEL_SUB_STRING_U8 && key && n <= kCachedKeyMax;
    const KeyWords words = cached ? KeyWords(s, n) : KeyWords();
    if (cached) {
        // A key met before was checked then.
        if (PyObject* v = cache_hit(words)) {
            ++key_hits_;
            return v;
        }
        if (++key_misses_ == 4096) {
            key_cache_ = key_hits_ >= key_misses_ / 4;
            key_misses_ = key_hits_ = 0;
        }
    }
    const TextScan scan = scan_text(s, n);
    if (scan.nul)
        return fail(at, "a string without NUL before its end", "a string holds a NUL before its end");
    const auto* text = reinterpret_cast<const char*>(s);
    if (subtype == QEL_SUB_STRING_U8) {
        PyObject* v = cached ? cache_store(words, s, n, scan.ascii) : make_str(s, n, scan.ascii);
        if (v == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            return fail(at + 1 + QEL_STRING_HEAD_SIZE, "valid UTF-8", "a UTF-8 string that is not valid UTF-8");
        }
        return v;
    }
    // A C string states no encoding: bytes that are not UTF-8 come through
    // as lone surrogates, which a CString writes back unchanged.
    PyObject* v = scan.ascii ? make_str(s, n, true)
                             : PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(n), "surrogateescape");
    return options_.typed ? typed_value(static_cast<int>(Typed::CString), v) : v;
}

PyObject* Decoder::binary(const uint8_t* p, size_t avail, uint64_t at, size_t* used)
{
    if (avail < 1 + QEL_BINARY_HEAD_SIZE)
        return need(at, 1 + QEL_BINARY_HEAD_SIZE, "binary");
    const uint8_t subtype = p[1];
    const uint32_t n = qel_wire_load_u32(p + 2);
    if (n > options_.max_bytes)
        return fail(at, "a binary within max_bytes", "a binary of %u bytes is beyond max_bytes=%llu", n,
                    static_cast<unsigned long long>(options_.max_bytes));
    if (avail - (1 + QEL_BINARY_HEAD_SIZE) < n)
        return need(at, 1 + QEL_BINARY_HEAD_SIZE + uint64_t{n}, "binary");
    *used = 1 + QEL_BINARY_HEAD_SIZE + n;
    PyObject* data = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p + 1 + QEL_BINARY_HEAD_SIZE), n);
    if (data == nullptr || subtype == 0 || !options_.typed)
        return data;
    Ref held(data);
    Ref type(PyLong_FromLong(subtype));
    return type ? PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(g.typed[static_cast<int>(Typed::Blob)]),
                                               data, type.get(), nullptr)
                : nullptr;
}

/* ======================================================================== */
/* Faults                                                                    */
/* ======================================================================== */

void Decoder::fail_elements(uint64_t at)
{
    fail(at, "the end of a container", "%s holds more than max_elements=%llu elements",
         items_ ? "an item of the root" : "the stream", static_cast<unsigned long long>(options_.max_elements));
}

void Decoder::fail_depth(uint64_t at)
{
    fail(at, "a value that is not a container", "containers nest deeper than max_depth=%llu",
         static_cast<unsigned long long>(options_.max_depth));
}

void Decoder::fail_container_key(uint64_t at, bool map)
{
    fail(at, "a map key (a value that is not a container)", "a %s cannot be a map key", container_name(map));
}

void Decoder::fail_root(uint64_t at, uint8_t type)
{
    fail(at, "a list or map", "the root must be a list or a map, not type byte 0x%x", type);
}

void Decoder::fail_end_before_root(uint64_t at)
{
    fail(at, "a list or map", "an end marker stands where the root list or map should");
}

void Decoder::fail_end_after_key(uint64_t at, uint64_t key_at)
{
    fail(at, "the value of the key at that offset",
         "a map ends after a key without its value (key at offset %llu)", static_cast<unsigned long long>(key_at));
}

PyObject* Decoder::need(uint64_t at, uint64_t total, const char* what)
{
    short_ = true;
    short_at_ = at;
    short_total_ = total;
    short_what_ = what;
    return nullptr;
}

[[gnu::cold, gnu::noinline]] PyObject* Decoder::fail(uint64_t at, const char* expected, const char* format, ...)
{
    short_ = false;
    va_list args;
    va_start(args, format);
    Ref message(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (message && at < kNoOffset)
        message.reset(
            PyUnicode_FromFormat("%U at offset %llu", message.get(), static_cast<unsigned long long>(at)));
    return message
               ? raise_decode_error_with(at < kNoOffset ? static_cast<long long>(at) : -1, expected, message.get())
               : nullptr;
}

PyObject* Decoder::raise_truncated()
{
    const uint64_t end = base_ + size_;
    if (short_what_ != nullptr) {
        char expected[96];
        std::snprintf(expected, sizeof expected, "%llu more bytes",
                      static_cast<unsigned long long>(short_total_ - (end - short_at_)));
        return raise_decode_error(static_cast<long long>(end), expected,
                                  "truncated stream: it ends inside the %s at offset %llu", short_what_,
                                  static_cast<unsigned long long>(short_at_));
    }
    const char* expected = "the root list or map";
    uint64_t open_at = 0;
    size_t open = stack_.size();
    if (!stack_.empty()) {
        const Frame& f = stack_.back();
        open_at = f.key != nullptr ? f.key_at : f.at;
        expected = f.key != nullptr ? "the value of a map key"
                   : f.map          ? "a map key or the map's end marker"
                                    : "a list value or the list's end marker";
    } else if (!levels_.empty()) {
        const OpenLevel& l = levels_.back();
        open = levels_.size();
        open_at = l.level == MapValue ? last_key_at_ : l.at;
        expected = l.level == MapValue ? "the value of a map key"
                   : l.level == MapKey ? "a map key or the map's end marker"
                                       : "a list value or the list's end marker";
    }
    return raise_decode_error(
        static_cast<long long>(end), expected,
        "truncated stream: it ends at offset %llu with %zu containers open (innermost at offset %llu)",
        static_cast<unsigned long long>(end), open, static_cast<unsigned long long>(open_at));
}

} // namespace qelcodec
