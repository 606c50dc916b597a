/*
 * QEL bytes to Python objects, directly, one element at a time with an
 * explicit stack of the containers that are open: nesting depth is bounded by
 * memory (and by max_depth), not by the C stack.
 *
 * The decoder reads whatever bytes it is fed and stops at an element
 * boundary when they run out (NeedMore), keeping its state: loads feeds it
 * the whole input once, a streaming reader can feed it piece by piece. No
 * byte of an element is consumed before the whole element is there, and a
 * declared length is checked against the limits before anything is made
 * for it.
 *
 * Three ways to use one: feed() to the end for the whole root (loads);
 * feed() after stream_items(), which hands out the root's items one at a
 * time (Item) and never builds the root; or next_event() for one event per
 * element and no containers at all.
 *
 * Mapping: none, bool, the integer types (int), float64, float32 and
 * float16 (float), UTF-8 strings (str), C strings (str, bytes that are not
 * UTF-8 as lone surrogates), binaries (bytes, whatever their binary type),
 * timestamps (datetime, or Timestamp where a datetime cannot hold the
 * fields), lists (list) and maps (dict in stream order). With `typed`, every
 * value whose Python type does not pin its QEL type comes as a typed value.
 */
#ifndef QELTYPES_CODEC_DECODER_H
#define QELTYPES_CODEC_DECODER_H

#include "py.h"

#include <cstdint>
#include <vector>

namespace qelcodec {

struct DecodeOptions {
    bool typed = false;
    /* Limits for untrusted input; UINT64_MAX for none. */
    uint64_t max_depth = UINT64_MAX;    /* containers open at once */
    uint64_t max_elements = UINT64_MAX; /* values and containers in all */
    uint64_t max_bytes = UINT64_MAX;    /* bytes of one string or binary */
};

/* max_depth, max_elements and max_bytes as a caller passes them (None for
 * none, else an int from 0 up, null for not given) into `options`; false
 * with an exception set. */
bool parse_limits(PyObject* const limits[3], DecodeOptions* options);

class Decoder {
public:
    /* Item: an item of the root (or an entry of a root map, or an event) is
     * ready; the others end the document, ask for more bytes, or fail. */
    enum class Status { Done, NeedMore, Failed, Item };

    explicit Decoder(const DecodeOptions& options) : options_(options) {}
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder();

    /* Decodes from data[*pos, size) on, stream offset `base` being data[0],
     * up to the end of the document (Done), the end of the bytes (NeedMore)
     * or a fault (Failed, with DecodeError or MemoryError raised). *pos is
     * left at the next unread byte. Bytes from the start of every open map
     * on must stay in `data` from one call to the next. */
    Status feed(const uint8_t* data, size_t size, size_t* pos, uint64_t base = 0);

    /* After Done: the root, a new reference passed to the caller. */
    PyObject* take_root();

    /* From now on, before anything is fed: feed() returns Item for each item
     * of the root list, or each entry of a root map as a (key, value) tuple,
     * and never holds the root. Repeated keys of a root map come as they
     * stand. max_elements counts the elements of each item. Bytes from the
     * start of the current item on must stay in `data` between calls. */
    void stream_items() { items_ = true; }

    /* After Item: the item, a new reference passed to the caller. */
    PyObject* take_item()
    {
        elements_ = 0;
        PyObject* item = item_;
        item_ = nullptr;
        return item;
    }

    /* Decodes the element at data[*pos] into one event, a new tuple
     * (kind, type, value) stored in *event, with Status Item; Done once the
     * root has ended. Kinds: "start" and "end" with the container's type
     * ("list" or "map") and None, "key" for a map key and "value" for any
     * other element, with the element's type name and its Python value as
     * feed() makes it, except that a binary of a type other than 0 comes as
     * a Blob. Only the current element's bytes need stay in `data`. */
    Status next_event(const uint8_t* data, size_t size, size_t* pos, uint64_t base, PyObject** event);

    /* After NeedMore: raises the DecodeError of a stream that ends there. */
    PyObject* raise_truncated();

    /* The Python value of one whole element that is not a container, as the
     * decoder makes it (`key`: the element stands as a map key), for values
     * that come from elsewhere than a stream; its faults name no offset. */
    PyObject* value(const uint8_t* element, size_t size, bool key);

private:
    /* The levels of next_event: what the next element of each open
     * container is. */
    enum Level : uint8_t { InList, MapKey, MapValue };
    struct OpenLevel {
        Level level;
        uint64_t at; /* offset of the opening byte */
    };

    struct Frame {
        PyObject* container; /* owned */
        PyObject* key;       /* map: the pending key (owned), or null */
        PyObject* shadow;    /* map: {key: offset of its element}, once two keys were equal */
        uint64_t at;         /* offset of the opening byte */
        uint64_t key_at;     /* map: offset of the pending key */
        Py_ssize_t count;    /* map: entries so far, counted once a key is not UTF-8 */
        bool map;
        bool mixed_keys; /* map: a key that is not a UTF-8 string came */
    };

    Status header(const uint8_t* data, size_t size, size_t* pos, uint64_t base);
    PyObject* scalar(const uint8_t* p, size_t avail, uint64_t at, bool key, size_t* used);
    PyObject* string(const uint8_t* p, size_t avail, uint64_t at, bool key, size_t* used);
    PyObject* binary(const uint8_t* p, size_t avail, uint64_t at, size_t* used);
    bool open(uint8_t type, uint64_t at);
    bool close(uint64_t at);
    bool place(PyObject* value, uint64_t at, bool utf8_key);
    bool place_item(Frame& f, PyObject* value, uint64_t at);
    bool check_key(Frame& f, PyObject* key, uint64_t key_at);
    bool build_shadow(Frame& f, uint64_t until);
    size_t element_size(uint64_t at) const;

    /* Records what the element at `at` still needs and returns null: the
     * caller reports NeedMore. */
    PyObject* need(uint64_t at, uint64_t total, const char* what);
    PyObject* fail(uint64_t at, const char* expected, const char* format, ...);
    /* The faults of the nesting rules, shared by feed() and next_event(). */
    void fail_elements(uint64_t at);
    void fail_depth(uint64_t at);
    void fail_container_key(uint64_t at, bool map);
    void fail_root(uint64_t at, uint8_t type);
    void fail_end_before_root(uint64_t at);
    void fail_end_after_key(uint64_t at, uint64_t key_at);
    PyObject* typed_value(int typed, PyObject* plain);
    PyObject* plain_float(double d, bool key);
    PyObject* plain_or_typed_int(uint8_t type, uint64_t bits);

    DecodeOptions options_;
    std::vector<Frame> stack_;
    PyObject* root_ = nullptr;
    PyObject* nan_keys_ = nullptr; /* plain mode: {bits: the NaN key of those bits} */
    bool header_done_ = false;
    uint64_t elements_ = 0;

    bool items_ = false;
    PyObject* item_ = nullptr;

    std::vector<OpenLevel> levels_;
    bool events_done_ = false;
    uint64_t last_key_at_ = 0;

    /* The key cache pays only when keys repeat: after a run of lookups that
     * mostly missed (a map of many distinct keys), this decoder stops using
     * it, which spares the misses and the evictions. */
    bool key_cache_ = true;
    uint32_t key_misses_ = 0;
    uint32_t key_hits_ = 0;

    /* The bytes of the current feed. */
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    uint64_t base_ = 0;

    /* Set with NeedMore: where the incomplete element starts, how many bytes
     * it takes from there, and what it is. */
    bool short_ = false;
    uint64_t short_at_ = 0;
    uint64_t short_total_ = 0;
    const char* short_what_ = "";
};

/* Interns the kinds and type names of events; false with an exception set. */
bool init_event_names();

} // namespace qelcodec

#endif /* QELTYPES_CODEC_DECODER_H */
