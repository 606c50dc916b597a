// Writing a variant tree as a QEL stream.
//
// The walk is iterative: a tree nested a million levels deep is as safe to
// write as a flat one. Every rule about what may stand where (a container at
// the root, no container as a map key, finite float16 values) is the
// writer's; its codes pass through unchanged.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "qel_writer.h"
#include "qelt_bridge_internal.h"
#include "qelt_internal.h"

namespace {

struct WriterFree {
    void operator()(qel_writer* w) const noexcept { qel_writer_free(w); }
};
using WriterPtr = std::unique_ptr<qel_writer, WriterFree>;

// One open container of the walk.
struct Frame {
    qelt_variant* container;
    int32_t size;                 // list: items to write
    int32_t next_index;           // list: the next item
    qelt_variant* pending_value;  // map: the value of the key just written
    bool value_pending;
};

// A map is written in the order of its buckets, not of its making, so its
// keys and values lie all over memory. While one entry is written, the next
// entry's payloads and the one after's records are fetched ahead.
struct Ahead {
    const qelt_hashtable_entry* entry;
    uint32_t bucket;
};

Ahead entry_after(const qelt_hashtable* t, Ahead at) {
    if (at.entry->next != nullptr) return {at.entry->next, at.bucket};
    for (uint32_t b = at.bucket + 1; b < t->bucket_count; ++b) {
        if (t->buckets[b].key != nullptr) return {&t->buckets[b], b};
    }
    return {nullptr, t->bucket_count};
}

void fetch_payload(const qelt_variant* v) {
    if (v != nullptr && qelt_has_heap_payload(v->type)) __builtin_prefetch(v->value.ptr);
}

void fetch_ahead(const qelt_hashtable* t, const qelt_hashtable_entry* current) {
    const Ahead next = entry_after(t, {current, t->iter_bucket});
    if (next.entry == nullptr) return;
    fetch_payload(next.entry->key);
    fetch_payload(next.entry->value);
    const Ahead after = entry_after(t, next);
    if (after.entry == nullptr) return;
    __builtin_prefetch(after.entry->key);
    if (after.entry->value != nullptr) __builtin_prefetch(after.entry->value);
}

// A stored string holds its text and one terminating zero, `size` bytes in
// all, so the writer need not measure it again.
qelt_err write_string(qel_writer* w, const qelt_variant* v) {
    if (v->value.ptr == nullptr) return QELT_ERR_NULL_PTR;
    static_assert(int{QELT_STRING_TYPE_C} == int{QEL_SUB_STRING_C} &&
                  int{QELT_STRING_TYPE_UTF8} == int{QEL_SUB_STRING_U8});
    if (v->subtype != QELT_STRING_TYPE_C && v->subtype != QELT_STRING_TYPE_UTF8) return QELT_ERR_NYI;
    return as_qelt(
        qel_writer_write_string_whole(w, v->subtype, static_cast<const char*>(v->value.ptr), v->size));
}

// Everything that is one element of its own: scalars, strings, blobs, none
// and timestamps.
qelt_err write_value(qel_writer* w, const qelt_variant* v) {
    const qelt_value& x = v->value;
    switch (v->type) {
#define QELT_WRITE_SCALAR(name, ctype, TYPE, member) \
    case QELT_VARIANT_TYPE_##TYPE:                   \
        return as_qelt(qel_writer_write_##name(w, x.member));
        QELT_SCALAR_TYPES(QELT_WRITE_SCALAR)
#undef QELT_WRITE_SCALAR
    case QELT_VARIANT_TYPE_STRING:
        return write_string(w, v);
    case QELT_VARIANT_TYPE_NONE:
        return as_qelt(qel_writer_write_none(w));
    case QELT_VARIANT_TYPE_BINARY:
        if (x.ptr == nullptr) return QELT_ERR_NULL_PTR;
        return as_qelt(qel_writer_write_binary(w, v->subtype, x.ptr, v->size));
    case QELT_VARIANT_TYPE_TIMESTAMP: {
        if (x.ptr == nullptr) return QELT_ERR_NULL_PTR;
        const auto* t = static_cast<const qelt_timestamp*>(x.ptr);
        const qel_timestamp out = {t->year, t->month, t->day, t->hour, t->minute, t->second, t->microsecond};
        return as_qelt(qel_writer_write_timestamp(w, &out));
    }
    default:
        return QELT_ERR_INVALID_TYPE;
    }
}

// The containers on the path from the root: a set of addresses with open
// addressing, grown with the depth, so that entering a container allocates
// nothing of its own.
class PathSet {
public:
    PathSet() = default;
    PathSet(const PathSet&) = delete;
    PathSet& operator=(const PathSet&) = delete;
    ~PathSet() { std::free(slots_); }

    // QELT_ERR_CIRCULAR_REFERENCE when `v` is on the path already.
    qelt_err insert(const qelt_variant* v) {
        if (2 * (count_ + 1) > capacity_ && !grow()) return QELT_ERR_OUT_OF_MEMORY;
        size_t i = home(v);
        for (; slots_[i] != nullptr; i = next(i)) {
            if (slots_[i] == v) return QELT_ERR_CIRCULAR_REFERENCE;
        }
        slots_[i] = v;
        ++count_;
        return QELT_SUCCESS;
    }

    void erase(const qelt_variant* v) {
        size_t i = home(v);
        while (slots_[i] != v) i = next(i);
        // Backward-shift deletion keeps every probe sequence unbroken.
        for (size_t j = next(i); slots_[j] != nullptr; j = next(j)) {
            const size_t h = home(slots_[j]);
            if ((j > i && (h <= i || h > j)) || (j < i && h <= i && h > j)) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i] = nullptr;
        --count_;
    }

private:
    size_t home(const qelt_variant* v) const {
        return static_cast<size_t>((reinterpret_cast<uintptr_t>(v) >> 3) * 0x9E3779B97F4A7C15ull) &
               (capacity_ - 1);
    }
    size_t next(size_t i) const { return (i + 1) & (capacity_ - 1); }

    bool grow() {
        const size_t grown = capacity_ == 0 ? 64 : capacity_ * 2;
        auto* fresh = static_cast<const qelt_variant**>(std::calloc(grown, sizeof(qelt_variant*)));
        if (fresh == nullptr) return false;
        const qelt_variant** old = slots_;
        const size_t old_capacity = capacity_;
        slots_ = fresh;
        capacity_ = grown;
        for (size_t i = 0; i < old_capacity; ++i) {
            if (old[i] == nullptr) continue;
            size_t j = home(old[i]);
            while (slots_[j] != nullptr) j = next(j);
            slots_[j] = old[i];
        }
        std::free(old);
        return true;
    }

    const qelt_variant** slots_ = nullptr;
    size_t capacity_ = 0;
    size_t count_ = 0;
};

class Walk {
public:
    explicit Walk(qel_writer* w) : w_(w) {}

    // Writes `v`; a container is opened and pushed, to be filled by run().
    qelt_err enter(qelt_variant* v) {
        const bool is_list = v->type == QELT_VARIANT_TYPE_LIST;
        if (!is_list && v->type != QELT_VARIANT_TYPE_MAP) return write_value(w_, v);
        Frame f{v, 0, 0, nullptr, false};
        qelt_err err;
        if (is_list) {
            err = qelt_variant_list_get_size(v, &f.size);
            if (!err) err = as_qelt(qel_writer_list_open(w_));
        } else {
            err = qelt_variant_map_first(v);
            if (!err) err = as_qelt(qel_writer_map_open(w_));
        }
        if (err) return err;
        // Only a container on the current path makes a cycle; the same
        // container met again after it was closed is written again. Tested
        // after the opening, so that a container in key position is the
        // writer's refusal whether or not it is on the path.
        if (qelt_err path = on_path_.insert(v)) return path;
        stack_.push_back(f);
        return QELT_SUCCESS;
    }

    qelt_err run() {
        while (!stack_.empty()) {
            Frame& f = stack_.back();
            qelt_variant* child = nullptr;
            bool is_key = false;
            bool have_child = false;
            if (f.container->type == QELT_VARIANT_TYPE_LIST) {
                // The items as they lie in the body: the tree does not change
                // while it is written, and size was read when the list opened.
                if (f.next_index < f.size) {
                    child = static_cast<const qelt_list*>(f.container->value.ptr)->items[f.next_index++];
                    have_child = true;
                }
            } else if (f.value_pending) {
                child = f.pending_value;
                f.value_pending = false;
                have_child = true;
            } else {
                // One step of the map's own cursor, as qelt_variant_map_next
                // takes it (a map without a table holds nothing).
                const auto* body = static_cast<const qelt_map*>(f.container->value.ptr);
                const qelt_hashtable_entry* e = body != nullptr ? qelt_hashtable_next(body->table) : nullptr;
                if (e != nullptr) {
                    child = e->key;
                    f.pending_value = e->value;
                    fetch_ahead(body->table, e);
                }
                have_child = e != nullptr;
                f.value_pending = is_key = have_child;
            }

            qelt_err err;
            if (!have_child) {
                qelt_variant* done = f.container;
                err = as_qelt(done->type == QELT_VARIANT_TYPE_LIST ? qel_writer_list_close(w_)
                                                                   : qel_writer_map_close(w_));
                if (err) return err;
                on_path_.erase(done);
                stack_.pop_back();
                continue;
            }
            // A null item or value stands for none; a null key has no meaning.
            if (child == nullptr) {
                err = is_key ? QELT_ERR_NULL_PTR : as_qelt(qel_writer_write_none(w_));
            } else {
                err = enter(child);
            }
            if (err) return err;
        }
        return QELT_SUCCESS;
    }

private:
    qel_writer* w_;
    std::vector<Frame> stack_;
    PathSet on_path_;
};

qelt_err check_root(const qelt_variant* root) {
    uint8_t match = 0;
    qelt_err err = qelt_variant_type_check(root, QELT_VARIANT_TYPE_LIST, &match);
    if (err || match) return err;
    err = qelt_variant_type_check(root, QELT_VARIANT_TYPE_MAP, &match);
    if (err) return err;
    return match ? QELT_SUCCESS : QELT_ERR_INVALID_TYPE;
}

// Writes one variant; a list or map is written with everything it holds.
// The walk keeps its own stack, so the depth of a tree is bounded by memory,
// not by the native stack. A container met again on its own path from the
// root gives QELT_ERR_CIRCULAR_REFERENCE; the same container in two places
// that do not nest is written twice.
qelt_err qelt_write_variant(qel_writer* writer, qelt_variant* variant) noexcept {
    if (writer == nullptr || variant == nullptr) return QELT_ERR_NULL_PTR;
    try {
        Walk walk(writer);
        qelt_err err = walk.enter(variant);
        return err ? err : walk.run();
    } catch (const std::bad_alloc&) {
        return QELT_ERR_OUT_OF_MEMORY;
    }
}

}  // namespace

extern "C" {

qelt_err qelt_write_to_buffer(qelt_variant* root, uint8_t** buffer, uint32_t* size) noexcept {
    if (buffer == nullptr || size == nullptr) return QELT_ERR_NULL_PTR;
    *buffer = nullptr;
    *size = 0;
    qelt_err err = check_root(root);
    if (err) return err;

    qel_writer* raw = nullptr;
    err = as_qelt(qel_writer_new_buffer(&raw));
    if (err) return err;
    WriterPtr w(raw);
    err = qelt_write_variant(w.get(), root);
    if (err) return err;

    uint64_t used = 0;
    err = as_qelt(qel_writer_get_buffer(w.get(), nullptr, &used));
    if (err) return err;
    // The length travels as 32 bits; a longer stream is refused whole rather
    // than handed out with a wrapped size.
    if (used > std::numeric_limits<uint32_t>::max()) return static_cast<qelt_err>(QEL_ERR_SIZE);
    // The writer's own buffer is handed over, cut to the stream's length in
    // place: the caller's copy is the only one the stream ever needs.
    uint8_t* block = nullptr;
    err = as_qelt(qel_writer_take_buffer(w.get(), &block, &used));
    if (err) return err;
    if (void* exact = std::realloc(block, used)) block = static_cast<uint8_t*>(exact);
    *buffer = block;
    *size = static_cast<uint32_t>(used);
    return QELT_SUCCESS;
}

qelt_err qelt_write_to_file(qelt_variant* root, const char* filename, uint32_t n_fn) noexcept {
    if (filename == nullptr) return QELT_ERR_NULL_PTR;
    // Before the file is opened, so that a refused root leaves it untouched.
    qelt_err err = check_root(root);
    if (err) return err;

    qel_writer* raw = nullptr;
    err = as_qelt(qel_writer_new_file_replacing(&raw, filename, n_fn));
    // Freed without a commit, the writer leaves the old file as it was.
    WriterPtr w(raw);
    if (err) return err;
    err = qelt_write_variant(w.get(), root);
    if (err) return err;
    return as_qelt(qel_writer_commit(w.release()));
}

qelt_err qelt_free_buffer(uint8_t* buffer) noexcept {
    if (buffer == nullptr) return QELT_ERR_NULL_PTR;
    std::free(buffer);
    return QELT_SUCCESS;
}

}  // extern "C"
