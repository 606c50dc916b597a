/*
 * Python objects to QEL bytes, directly: one pass over the objects with an
 * explicit stack of the containers that are open, so that nesting depth is
 * bounded by memory and not by the C stack.
 *
 * Mapping: None, bool, int (narrowest signed width, then uint64), float
 * (float64), str (UTF-8), bytes-like (binary type 0), datetime (timestamp),
 * list and tuple (list), dict (map, in its own order), the typed values of
 * qeltypes with their own types, and anything else through `default`.
 */
#ifndef QELTYPES_CODEC_ENCODER_H
#define QELTYPES_CODEC_ENCODER_H

#include "py.h"

#include <cstdint>
#include <vector>

#include "output.h"
#include "runtime.h"

namespace qelcodec {

struct EncodeOptions {
    PyObject* default_fn = nullptr; /* borrowed; null when there is none */
    bool utc = false;               /* convert aware datetimes to UTC instead of refusing them */
};

class Encoder {
public:
    explicit Encoder(const EncodeOptions& options) : options_(options) {}
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;
    ~Encoder();

    /* The header and `root`, which must be (or `default` must turn it into)
     * a list or a map. False with an exception set. */
    bool write_document(PyObject* root);
    /* The 7-byte header alone, and one value of any kind (containers whole):
     * the two steps of a writer that emits the root's items one at a time. */
    bool write_header();
    bool write_value(PyObject* value);

    /* For a writer of the root's items: the opening byte of the root, a key
     * of the root map (a scalar), and where the next value stands in the
     * root, for the paths of errors: its index in a root list (key null), or
     * its key in a root map (index -1). `key` is borrowed for as long as the
     * value is written. */
    bool write_byte(uint8_t type);
    bool write_root_key(PyObject* key) { return emit_key(key); }
    void set_root_place(Py_ssize_t index, PyObject* key)
    {
        root_index_ = index;
        root_key_ = key;
    }

    /* After a failure: lets go of the containers that were open, so that the
     * encoder can write again (what it wrote is the caller's to drop). */
    void abandon();

    Output& output() { return output_; }

    /* Everything written, as bytes; null with an exception set. */
    PyObject* take_bytes() const { return output_.to_bytes(); }

private:
    enum class Kind : uint8_t { List, Tuple, Dict };
    enum class ErrorKind { Type, Value, Overflow };

    struct Frame {
        PyObject* container; /* owned */
        PyObject* source;    /* owned: what `default` turned into this container, or null */
        PyObject* key;       /* dict: the current key, for error paths; owned once pinned */
        Py_ssize_t next;     /* list, tuple: index of the next item; dict: iteration position */
        Py_ssize_t size;     /* as last seen */
        uint64_t epoch;      /* the encoder's epoch when `size` was last seen */
        size_t content_at;   /* dict: output buffer offset of its first key */
        Kind kind;
        bool check_keys; /* dict: a key whose QEL value may repeat another's */
    };

    bool emit(PyObject* o, bool key, int default_calls = 0, PyObject* source = nullptr);
    bool emit_other(PyObject* o, bool key, int default_calls, PyObject* source);
    bool emit_key(PyObject* k);
    bool walk(size_t base);
    bool dict_entries(Frame& f);
    bool small_dict_entries(Frame& f);
    bool list_items(Frame& f);
    int put_plain(PyObject* v);
    bool push(PyObject* o, Kind kind, bool key, PyObject* source);
    bool close();
    bool keys_distinct(const Frame& f);
    bool check_cycles();
    void pin_keys();
    void set_key(Frame& f, PyObject* key);

    bool put_byte(uint8_t type);
    bool put_int(PyObject* o);
    bool put_fixed(uint8_t type, uint64_t bits, int width);
    bool put_utf8(PyObject* o, bool key);
    bool put_string(uint8_t subtype, PyObject* owner, const char* data, Py_ssize_t size, bool key);
    bool put_binary(uint8_t subtype, PyObject* owner, const void* data, Py_ssize_t size, bool key, bool immutable);
    bool put_timestamp(const Fields& f);
    bool put_datetime(PyObject* o, bool key);
    bool put_typed(int typed, PyObject* o, bool key);
    bool put_buffer(PyObject* o, bool key, bool* not_a_buffer);

    /* Raises the EncodeError of `kind` with the path of the object being
     * written (a key's error names its map); returns false. */
    bool fail(ErrorKind kind, bool key, const char* format, ...);
    bool fail_at(ErrorKind kind, size_t frames, bool key, PyObject* message);

    EncodeOptions options_;
    Output output_;
    std::vector<Frame> stack_;
    /* Frames below this index own their current key: code outside the
     * codec may drop the dict entry that lends it (see pin_keys). */
    size_t pinned_ = 0;
    /* Bumped whenever code outside the codec may have run (default, tzinfo,
     * buffer exporters): containers then check that they did not change. */
    uint64_t epoch_ = 0;
    size_t next_cycle_check_ = 32;
    /* The place in a streamed root of the value being written; see
     * set_root_place. */
    Py_ssize_t root_index_ = -1;
    PyObject* root_key_ = nullptr;
};

} // namespace qelcodec

#endif /* QELTYPES_CODEC_ENCODER_H */
