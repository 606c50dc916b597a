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

class Decoder {
public:
    enum class Status { Done, NeedMore, Failed };

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

    /* After NeedMore: raises the DecodeError of a stream that ends there. */
    PyObject* raise_truncated();

    /* The Python value of one whole element that is not a container, as the
     * decoder makes it (`key`: the element stands as a map key), for values
     * that come from elsewhere than a stream; its faults name no offset. */
    PyObject* value(const uint8_t* element, size_t size, bool key);

private:
    struct Frame {
        PyObject* container; /* owned */
        PyObject* key;       /* map: the pending key (owned), or null */
        PyObject* shadow;    /* map: {key: offset of its element}, once two keys were equal */
        uint64_t at;         /* offset of the opening byte */
        uint64_t key_at;     /* map: offset of the pending key */
        Py_ssize_t count;    /* map: entries so far, counted once a key is not UTF-8 */
        bool map;
        bool mixed_keys;     /* map: a key that is not a UTF-8 string came */
    };

    PyObject* scalar(const uint8_t* p, size_t avail, uint64_t at, bool key, size_t* used);
    PyObject* string(const uint8_t* p, size_t avail, uint64_t at, bool key, size_t* used);
    PyObject* binary(const uint8_t* p, size_t avail, uint64_t at, size_t* used);
    bool open(uint8_t type, uint64_t at);
    bool close(uint64_t at);
    bool place(PyObject* value, uint64_t at, bool utf8_key);
    bool check_key(Frame& f, PyObject* key, uint64_t key_at);
    bool build_shadow(Frame& f, uint64_t until);
    size_t element_size(uint64_t at) const;

    /* Records what the element at `at` still needs and returns null: the
     * caller reports NeedMore. */
    PyObject* need(uint64_t at, uint64_t total, const char* what);
    PyObject* fail(uint64_t at, const char* expected, const char* format, ...);
    PyObject* typed_value(int typed, PyObject* plain);
    PyObject* plain_or_typed_int(uint8_t type, uint64_t bits);

    DecodeOptions options_;
    std::vector<Frame> stack_;
    PyObject* root_ = nullptr;
    bool header_done_ = false;
    uint64_t elements_ = 0;

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

} // namespace qelcodec

#endif /* QELTYPES_CODEC_DECODER_H */
