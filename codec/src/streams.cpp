// The streaming readers and writer: a QEL stream of any size, a chunk of a
// file object at a time.

#include "streams.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "decoder.h"
#include "encoder.h"
#include "qel/qel_wire.h"
#include "runtime.h"

namespace qelcodec {

namespace {

/* Reads ask for this much at a time: few calls into Python per megabyte, and
 * a buffer that stays within the CPU's second-level cache. */
constexpr size_t kChunk = 256 * 1024;
/* The writer hands its bytes on once it holds this much, and gives back a
 * buffer that an item has grown beyond four times as much. */
constexpr size_t kFlushAt = 256 * 1024;
constexpr size_t kKeepCapacity = 4 * kFlushAt;

PyObject* g_chunk_size;
PyObject* g_str_read1;
PyObject* g_str_read;
PyObject* g_str_close;

/* Calls source.close(), keeping an exception that is already set. */
void close_quietly(PyObject* source)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref result(PyObject_CallMethodObjArgs(source, g_str_close, nullptr));
    if (type != nullptr) {
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }
}

/* ======================================================================== */
/* Input                                                                     */
/* ======================================================================== */

/* The bytes of a file object, read a chunk at a time into one buffer that
 * keeps only what the decoder may still look at: each refill moves the bytes
 * to keep to the front, so the buffer grows only with them. */
class Input {
public:
    Input() = default;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    ~Input() { std::free(buffer_); }

    /* False with MemoryError raised. */
    bool init()
    {
        buffer_ = static_cast<uint8_t*>(std::malloc(2 * kChunk));
        if (buffer_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        capacity_ = 2 * kChunk;
        return true;
    }

    /* Drops the bytes before `keep` (pos moves with the rest), then reads
     * once more through `read`; at the end of the source, eof() turns true.
     * False with an exception set. */
    bool refill(PyObject* read, size_t keep)
    {
        if (keep > 0) {
            std::memmove(buffer_, buffer_ + keep, size_ - keep);
            size_ -= keep;
            pos -= keep;
            base_ += keep;
        }
        // A buffer that a large item grew goes back to its first size once
        // that item is done, so that one such item does not pin the memory.
        if (capacity_ > 8 * kChunk && size_ <= kChunk) {
            if (auto* smaller = static_cast<uint8_t*>(std::realloc(buffer_, 2 * kChunk))) {
                buffer_ = smaller;
                capacity_ = 2 * kChunk;
            }
        }
        Ref chunk(PyObject_CallFunctionObjArgs(read, g_chunk_size, nullptr));
        if (!chunk)
            return false;
        if (chunk.get() == Py_None) {
            PyErr_SetString(PyExc_BlockingIOError, "the file has no bytes ready (a non-blocking file)");
            return false;
        }
        BufferView view;
        const uint8_t* bytes;
        size_t n;
        if (PyBytes_Check(chunk.get())) {
            bytes = reinterpret_cast<const uint8_t*>(PyBytes_AsString(chunk.get()));
            n = static_cast<size_t>(PyBytes_Size(chunk.get()));
        } else if (view.acquire(chunk.get())) {
            bytes = view.data();
            n = view.size();
        } else {
            PyErr_Format(PyExc_TypeError, "the file's read returned %s, not bytes",
                         Py_TYPE(chunk.get()) == &PyUnicode_Type ? "str (a file opened in text mode?)"
                                                                 : "an object without bytes");
            return false;
        }
        if (n == 0) {
            eof_ = true;
            return true;
        }
        if (!reserve(n))
            return false;
        std::memcpy(buffer_ + size_, bytes, n);
        size_ += n;
        return true;
    }

    const uint8_t* data() const { return buffer_; }
    size_t size() const { return size_; }
    uint64_t base() const { return base_; }
    bool eof() const { return eof_; }

    /* The offset in the buffer of the next byte to decode. */
    size_t pos = 0;

private:
    bool reserve(size_t n)
    {
        if (capacity_ - size_ >= n)
            return true;
        size_t capacity = capacity_;
        while (capacity - size_ < n) {
            if (capacity > SIZE_MAX / 2) {
                PyErr_NoMemory();
                return false;
            }
            capacity *= 2;
        }
        auto* bigger = static_cast<uint8_t*>(std::realloc(buffer_, capacity));
        if (bigger == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        buffer_ = bigger;
        capacity_ = capacity;
        return true;
    }

    uint8_t* buffer_ = nullptr;
    size_t capacity_ = 0;
    size_t size_ = 0;
    uint64_t base_ = 0; /* the stream offset of buffer_[0] */
    bool eof_ = false;
};

/* ======================================================================== */
/* Readers                                                                   */
/* ======================================================================== */

/* One layout for both readers; `events` tells them apart. */
struct ReaderObject {
    PyObject_HEAD PyObject* source;
    PyObject* read; /* source.read1 or source.read */
    Input* input;
    Decoder* decoder;
    size_t item_start; /* buffer offset where the current item began */
    uint64_t offset;   /* once done: the stream offset where it stopped */
    bool events;
    bool close_source;
    bool allow_trailing;
    bool busy; /* inside a call that may run Python code */
    bool done;
};

ReaderObject* as_reader(PyObject* o)
{
    return reinterpret_cast<ReaderObject*>(o);
}

/* Lets go of the buffer and the decoder, and closes the source if the reader
 * owns it. */
void finish(ReaderObject* self)
{
    self->done = true;
    if (self->input != nullptr)
        self->offset = self->input->base() + self->input->pos;
    delete self->decoder;
    self->decoder = nullptr;
    delete self->input;
    self->input = nullptr;
    Py_CLEAR(self->read);
    if (self->close_source && self->source != nullptr)
        close_quietly(self->source);
    Py_CLEAR(self->source);
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, bool events)
{
    static const char* item_keywords[] = {"",          "typed",        "close_source", "allow_trailing",
                                          "max_depth", "max_elements", "max_bytes",    nullptr};
    static const char* event_keywords[] = {
        "", "close_source", "allow_trailing", "max_depth", "max_elements", "max_bytes", nullptr};
    PyObject* source;
    int typed = 0;
    int close_source = 0;
    int allow_trailing = 0;
    PyObject* limits[3] = {nullptr, nullptr, nullptr};
    const bool parsed = events
                            ? PyArg_ParseTupleAndKeywords(
                                  args, kwargs, "O|$ppOOO:EventReader", const_cast<char**>(event_keywords),
                                  &source, &close_source, &allow_trailing, &limits[0], &limits[1], &limits[2])
                            : PyArg_ParseTupleAndKeywords(
                                  args, kwargs, "O|$pppOOO:ItemReader", const_cast<char**>(item_keywords), &source,
                                  &typed, &close_source, &allow_trailing, &limits[0], &limits[1], &limits[2]);
    if (!parsed)
        return nullptr;
    DecodeOptions options;
    options.typed = typed != 0;
    if (!parse_limits(limits, &options))
        return nullptr;
    // read1 returns what has come as soon as something has: a reader on a
    // pipe or a socket hands out each item when its bytes are there.
    Ref read(PyObject_GetAttr(source, g_str_read1));
    if (!read && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        read.reset(PyObject_GetAttr(source, g_str_read));
    }
    if (!read) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "a reader takes a binary file object (with read) or a path");
        }
        return nullptr;
    }

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* o = alloc(type, 0);
    if (o == nullptr)
        return nullptr;
    ReaderObject* self = as_reader(o);
    self->source = new_ref(source);
    self->read = read.release();
    self->events = events;
    self->close_source = close_source != 0;
    self->allow_trailing = allow_trailing != 0;
    self->input = new (std::nothrow) Input();
    self->decoder = new (std::nothrow) Decoder(options);
    if (self->input == nullptr || self->decoder == nullptr || !self->input->init()) {
        if (!PyErr_Occurred())
            PyErr_NoMemory();
        Py_DECREF(o);
        return nullptr;
    }
    if (!events)
        self->decoder->stream_items();
    return o;
}

PyObject* item_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return reader_new(type, args, kwargs, false);
}

PyObject* event_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return reader_new(type, args, kwargs, true);
}

/* After the root's end marker: unless trailing bytes are allowed, the source
 * must end there. Null with DecodeError raised when it does not, or with the
 * read's exception. */
PyObject* check_end(ReaderObject* self)
{
    Input& in = *self->input;
    if (self->allow_trailing)
        return nullptr;
    if (in.pos == in.size() && !in.eof() && !in.refill(self->read, in.pos))
        return nullptr;
    if (in.pos < in.size())
        return raise_decode_error(static_cast<long long>(in.base() + in.pos), "the end of the stream",
                                  "bytes follow the root's end marker at offset %llu "
                                  "(a reader with allow_trailing=True ignores them)",
                                  static_cast<unsigned long long>(in.base() + in.pos));
    return nullptr;
}

PyObject* next_item(ReaderObject* self)
{
    Input& in = *self->input;
    Decoder& decoder = *self->decoder;
    for (;;) {
        size_t pos = in.pos;
        const Decoder::Status status = decoder.feed(in.data(), in.size(), &pos, in.base());
        in.pos = pos;
        switch (status) {
        case Decoder::Status::Item:
            self->item_start = pos;
            return decoder.take_item();
        case Decoder::Status::Done:
            return check_end(self);
        case Decoder::Status::Failed:
            return nullptr;
        case Decoder::Status::NeedMore:
            if (in.eof())
                return decoder.raise_truncated();
            // The current item's bytes stay: its maps may read their keys again.
            if (!in.refill(self->read, self->item_start))
                return nullptr;
            self->item_start = 0;
            break;
        }
    }
}

PyObject* next_event(ReaderObject* self)
{
    Input& in = *self->input;
    Decoder& decoder = *self->decoder;
    for (;;) {
        size_t pos = in.pos;
        PyObject* event;
        const Decoder::Status status = decoder.next_event(in.data(), in.size(), &pos, in.base(), &event);
        in.pos = pos;
        switch (status) {
        case Decoder::Status::Item:
            return event;
        case Decoder::Status::Done:
            return check_end(self);
        case Decoder::Status::Failed:
            return nullptr;
        case Decoder::Status::NeedMore:
            if (in.eof())
                return decoder.raise_truncated();
            if (!in.refill(self->read, in.pos))
                return nullptr;
            break;
        }
    }
}

/* Marks the reader busy for a call that may run Python code (the source's
 * read, typed value classes, a collection's finalizers), which must not
 * reach into the reader again. */
bool enter(ReaderObject* self)
{
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the reader is already busy (used again from within its own read)");
        return false;
    }
    self->busy = true;
    return true;
}

PyObject* reader_iternext(PyObject* o)
{
    ReaderObject* self = as_reader(o);
    if (self->done || self->read == nullptr)
        return nullptr;
    if (!enter(self))
        return nullptr;
    PyObject* result = self->events ? next_event(self) : next_item(self);
    self->busy = false;
    if (result == nullptr)
        finish(self);
    return result;
}

PyObject* reader_close(PyObject* o, PyObject*)
{
    ReaderObject* self = as_reader(o);
    if (!self->done) {
        if (!enter(self))
            return nullptr;
        self->busy = false;
        finish(self);
    }
    return new_ref(Py_None);
}

PyObject* reader_enter(PyObject* o, PyObject*)
{
    return new_ref(o);
}

PyObject* reader_exit(PyObject* o, PyObject*)
{
    return reader_close(o, nullptr);
}

int reader_traverse(PyObject* o, visitproc visit, void* arg)
{
    ReaderObject* self = as_reader(o);
    Py_VISIT(self->source);
    Py_VISIT(self->read);
    return 0;
}

int reader_clear(PyObject* o)
{
    ReaderObject* self = as_reader(o);
    self->done = true;
    Py_CLEAR(self->read);
    Py_CLEAR(self->source);
    return 0;
}

/* The last step of every dealloc here: an instance of a heap type holds a
 * reference to its type. */
void free_instance(PyObject* o)
{
    PyTypeObject* type = Py_TYPE(o);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(o);
    Py_DECREF(type);
}

void reader_dealloc(PyObject* o)
{
    PyObject_GC_UnTrack(o);
    ReaderObject* self = as_reader(o);
    if (!self->done)
        finish(self);
    reader_clear(o);
    free_instance(o);
}

const char kCloseDoc[] = "close()\n--\n\nEnds the reading; a source the reader owns is closed.";

PyObject* reader_offset(PyObject* o, void*)
{
    ReaderObject* self = as_reader(o);
    return PyLong_FromUnsignedLongLong(self->input != nullptr ? self->input->base() + self->input->pos
                                                              : self->offset);
}

PyGetSetDef kReaderGetSet[] = {
    {const_cast<char*>("offset"), reader_offset, nullptr,
     const_cast<char*>("The offset in the stream of the next byte to decode: after the last item or event."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kReaderMethods[] = {
    {"close", reader_close, METH_NOARGS, kCloseDoc},
    {"__enter__", reader_enter, METH_NOARGS, nullptr},
    {"__exit__", reader_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char kItemReaderDoc[] =
    "ItemReader(source, *, typed=False, close_source=False, allow_trailing=False, max_depth=None,\n"
    "           max_elements=None, max_bytes=None)\n"
    "--\n"
    "\n"
    "Iterates over the items of the root list of the QEL stream that source.read1 (or\n"
    "source.read) gives, or the (key, value) entries of a root map. Private: qeltypes.Reader.";

const char kEventReaderDoc[] =
    "EventReader(source, *, close_source=False, allow_trailing=False, max_depth=None,\n"
    "            max_elements=None, max_bytes=None)\n"
    "--\n"
    "\n"
    "Iterates over the events of the QEL stream that source.read1 (or source.read) gives.\n"
    "Private: qeltypes.events.";

PyType_Slot kItemReaderSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(item_reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_iternext)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, kReaderMethods},
    {Py_tp_getset, kReaderGetSet},
    {Py_tp_doc, const_cast<char*>(kItemReaderDoc)},
    {0, nullptr},
};

PyType_Slot kEventReaderSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(event_reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_iternext)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, kReaderMethods},
    {Py_tp_getset, kReaderGetSet},
    {Py_tp_doc, const_cast<char*>(kEventReaderDoc)},
    {0, nullptr},
};

PyType_Spec kItemReaderSpec = {
    "qeltypes._codec.ItemReader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    kItemReaderSlots,
};

PyType_Spec kEventReaderSpec = {
    "qeltypes._codec.EventReader",           sizeof(ReaderObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kEventReaderSlots,
};

/* ======================================================================== */
/* Writer                                                                    */
/* ======================================================================== */

struct WriterObject {
    PyObject_HEAD PyObject* write;
    PyObject* default_fn; /* or null; the encoder borrows it */
    Encoder* encoder;
    Py_ssize_t count; /* items written */
    bool map;
    bool busy; /* inside a call that may run Python code */
    bool closed;
    bool broken; /* a write failed: what reached the file is unknown */
};

WriterObject* as_writer(PyObject* o)
{
    return reinterpret_cast<WriterObject*>(o);
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"", "", "default", "utc", nullptr};
    PyObject* write;
    int map = 0;
    PyObject* default_fn = Py_None;
    int utc = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Op|$Op:ItemWriter", const_cast<char**>(keywords), &write, &map,
                                     &default_fn, &utc))
        return nullptr;
    if (!PyCallable_Check(write)) {
        PyErr_SetString(PyExc_TypeError, "a writer takes a binary file object (with write) or a path");
        return nullptr;
    }
    if (default_fn != Py_None && !PyCallable_Check(default_fn)) {
        PyErr_SetString(PyExc_TypeError, "default must be callable or None");
        return nullptr;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* o = alloc(type, 0);
    if (o == nullptr)
        return nullptr;
    WriterObject* self = as_writer(o);
    self->write = new_ref(write);
    self->default_fn = default_fn == Py_None ? nullptr : new_ref(default_fn);
    self->map = map != 0;
    EncodeOptions options;
    options.default_fn = self->default_fn;
    options.utc = utc != 0;
    self->encoder = new (std::nothrow) Encoder(options);
    if (self->encoder == nullptr) {
        PyErr_NoMemory();
        Py_DECREF(o);
        return nullptr;
    }
    if (!self->encoder->write_header() || !self->encoder->write_byte(self->map ? QEL_TYPE_MAP : QEL_TYPE_LIST)) {
        Py_DECREF(o);
        return nullptr;
    }
    return o;
}

/* Calls write(chunk) until all of it is written: a raw file may take less at
 * a time, and says how much it took; anything but an int counts as all. */
bool write_all(PyObject* write, PyObject* chunk)
{
    Ref rest(new_ref(chunk));
    for (;;) {
        Ref written(PyObject_CallFunctionObjArgs(write, rest.get(), nullptr));
        if (!written)
            return false;
        if (!PyLong_Check(written.get()))
            return true;
        const Py_ssize_t n = PyLong_AsSsize_t(written.get());
        const Py_ssize_t size = PyBytes_Size(rest.get());
        if (n == -1 && PyErr_Occurred())
            return false;
        if (n >= size)
            return true;
        if (n <= 0) {
            PyErr_SetString(PyExc_OSError, "the file's write took no bytes");
            return false;
        }
        rest.reset(PyBytes_FromStringAndSize(PyBytes_AsString(rest.get()) + n, size - n));
        if (!rest)
            return false;
    }
}

/* Hands everything written so far to the file. Large bytes payloads go as
 * the objects they are, the rest in copies. After a failure the writer is
 * broken: part of the bytes may have reached the file. */
bool flush_output(WriterObject* self)
{
    Output& out = self->encoder->output();
    const bool ok = out.for_each_piece([&](const uint8_t* data, size_t size, PyObject* owner) {
        Ref chunk;
        if (owner != nullptr && PyBytes_Check(owner) &&
            reinterpret_cast<const uint8_t*>(PyBytes_AsString(owner)) == data &&
            static_cast<size_t>(PyBytes_Size(owner)) == size)
            chunk.reset(new_ref(owner));
        else
            chunk.reset(
                PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
        return chunk && write_all(self->write, chunk.get());
    });
    out.clear(kKeepCapacity);
    if (!ok)
        self->broken = true;
    return ok;
}

/* Checks that the writer can write and marks it busy: `default` and write
 * are Python code, which must not reach into the writer again. */
bool enter(WriterObject* self)
{
    if (self->closed || self->encoder == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the writer is closed");
        return false;
    }
    if (self->broken) {
        PyErr_SetString(PyExc_ValueError, "an earlier write to the file failed: the writer cannot go on");
        return false;
    }
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the writer is already busy (used again from within default or the file's write)");
        return false;
    }
    self->busy = true;
    return true;
}

/* Ends an item: on failure, the item's bytes are dropped, so that a failed
 * item leaves nothing behind; on success, the bytes go to the file once
 * there are enough of them. */
PyObject* end_item(WriterObject* self, bool ok, size_t mark)
{
    Encoder& encoder = *self->encoder;
    encoder.set_root_place(-1, nullptr);
    if (!ok) {
        encoder.abandon();
        encoder.output().truncate(mark);
    } else {
        ++self->count;
        if (encoder.output().size() >= kFlushAt)
            ok = flush_output(self);
    }
    self->busy = false;
    return ok ? new_ref(Py_None) : nullptr;
}

PyObject* writer_append(PyObject* o, PyObject* obj)
{
    WriterObject* self = as_writer(o);
    if (!enter(self))
        return nullptr;
    if (self->map) {
        self->busy = false;
        PyErr_SetString(PyExc_TypeError, "append adds to a root list; a root map takes add(key, value)");
        return nullptr;
    }
    Encoder& encoder = *self->encoder;
    const size_t mark = encoder.output().buffer_size();
    encoder.set_root_place(self->count, nullptr);
    return end_item(self, encoder.write_value(obj), mark);
}

PyObject* writer_add(PyObject* o, PyObject* args)
{
    WriterObject* self = as_writer(o);
    PyObject* key;
    PyObject* value;
    if (!PyArg_UnpackTuple(args, "add", 2, 2, &key, &value) || !enter(self))
        return nullptr;
    if (!self->map) {
        self->busy = false;
        PyErr_SetString(PyExc_TypeError, "add adds to a root map; a root list takes append(obj)");
        return nullptr;
    }
    Encoder& encoder = *self->encoder;
    const size_t mark = encoder.output().buffer_size();
    bool ok = encoder.write_root_key(key);
    if (ok) {
        encoder.set_root_place(-1, key);
        ok = encoder.write_value(value);
    }
    return end_item(self, ok, mark);
}

PyObject* writer_flush(PyObject* o, PyObject*)
{
    WriterObject* self = as_writer(o);
    if (!enter(self))
        return nullptr;
    const bool ok = flush_output(self);
    self->busy = false;
    return ok ? new_ref(Py_None) : nullptr;
}

PyObject* writer_close(PyObject* o, PyObject*)
{
    WriterObject* self = as_writer(o);
    if (self->closed)
        return new_ref(Py_None);
    if (!enter(self))
        return nullptr;
    const bool ok = self->encoder->write_byte(QEL_TYPE_END) && flush_output(self);
    self->busy = false;
    self->closed = ok;
    return ok ? new_ref(Py_None) : nullptr;
}

PyObject* writer_abandon(PyObject* o, PyObject*)
{
    WriterObject* self = as_writer(o);
    if (self->closed)
        return new_ref(Py_None);
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the writer is busy");
        return nullptr;
    }
    // A broken writer hands on nothing more: the file already lacks bytes.
    bool ok = true;
    if (!self->broken) {
        self->busy = true;
        ok = flush_output(self);
        self->busy = false;
    }
    self->closed = true;
    return ok ? new_ref(Py_None) : nullptr;
}

PyObject* writer_count(PyObject* o, void*)
{
    return PyLong_FromSsize_t(as_writer(o)->count);
}

int writer_traverse(PyObject* o, visitproc visit, void* arg)
{
    WriterObject* self = as_writer(o);
    Py_VISIT(self->write);
    Py_VISIT(self->default_fn);
    return 0;
}

int writer_clear(PyObject* o)
{
    WriterObject* self = as_writer(o);
    self->closed = true;
    Py_CLEAR(self->write);
    Py_CLEAR(self->default_fn);
    return 0;
}

void writer_dealloc(PyObject* o)
{
    PyObject_GC_UnTrack(o);
    delete as_writer(o)->encoder;
    writer_clear(o);
    free_instance(o);
}

const char kAppendDoc[] =
    "append(obj)\n--\n\nWrites obj as the next item of the root list. An object that cannot be\n"
    "written raises EncodeError and leaves nothing of itself in the file.";
const char kAddDoc[] =
    "add(key, value)\n--\n\nWrites the next entry of the root map. Keys are not compared with those\n"
    "written before. An entry that cannot be written raises EncodeError and leaves nothing\n"
    "of itself in the file.";
const char kFlushDoc[] = "flush()\n--\n\nHands the items written so far to the file's write.";
const char kWriterCloseDoc[] = "close()\n--\n\nWrites the root's end marker and hands everything to the file.";
const char kAbandonDoc[] =
    "abandon()\n--\n\nHands the items written so far to the file, without the root's end marker:\n"
    "readers refuse the stream as truncated.";

PyMethodDef kWriterMethods[] = {
    {"append", writer_append, METH_O, kAppendDoc},         {"add", writer_add, METH_VARARGS, kAddDoc},
    {"flush", writer_flush, METH_NOARGS, kFlushDoc},       {"close", writer_close, METH_NOARGS, kWriterCloseDoc},
    {"abandon", writer_abandon, METH_NOARGS, kAbandonDoc}, {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kWriterGetSet[] = {
    {const_cast<char*>("count"), writer_count, nullptr, const_cast<char*>("The number of items written."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kItemWriterDoc[] =
    "ItemWriter(write, map, /, *, default=None, utc=False)\n"
    "--\n"
    "\n"
    "Writes a QEL stream whose root is a list (map false) or a map, an item at a time,\n"
    "through write (a binary file's write). Private: qeltypes.Writer.";

PyType_Slot kItemWriterSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(writer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_methods, kWriterMethods},
    {Py_tp_getset, kWriterGetSet},
    {Py_tp_doc, const_cast<char*>(kItemWriterDoc)},
    {0, nullptr},
};

PyType_Spec kItemWriterSpec = {
    "qeltypes._codec.ItemWriter",
    sizeof(WriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    kItemWriterSlots,
};

bool add_type(PyObject* module, PyType_Spec* layout, const char* name)
{
    PyObject* type = PyType_FromSpec(layout);
    if (type == nullptr)
        return false;
    if (PyModule_AddObject(module, name, type) < 0) {
        Py_DECREF(type);
        return false;
    }
    return true;
}

} // namespace

bool add_stream_types(PyObject* module)
{
    g_chunk_size = PyLong_FromSize_t(kChunk);
    g_str_read1 = PyUnicode_InternFromString("read1");
    g_str_read = PyUnicode_InternFromString("read");
    g_str_close = PyUnicode_InternFromString("close");
    if (g_chunk_size == nullptr || g_str_read1 == nullptr || g_str_read == nullptr || g_str_close == nullptr)
        return false;
    return init_event_names() && add_type(module, &kItemReaderSpec, "ItemReader") &&
           add_type(module, &kEventReaderSpec, "EventReader") && add_type(module, &kItemWriterSpec, "ItemWriter");
}

} // namespace qelcodec
