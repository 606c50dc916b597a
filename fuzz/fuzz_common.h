// Helpers shared by the fuzz targets: a failing-invariant abort, quiet
// diagnostics, and the tree walks behind the round-trip invariants.
#ifndef QEL_FUZZ_COMMON_H
#define QEL_FUZZ_COMMON_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "qel/qel.h"
#include "qelt/qelt.h"
#include "qelt/qelt_bridge.h"
#include "qelt_internal.h"

// An invariant that does not hold is a finding: abort so that libFuzzer
// saves the input, with the condition on stderr (stdout is silenced).
#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace fuzz {

// The format library prints a diagnostic record for every refused input;
// on millions of inputs that output only costs time.
inline void silence_stdout() {
    if (std::getenv("QEL_FUZZ_VERBOSE") == nullptr) (void)std::freopen("/dev/null", "w", stdout);
}

// 0 for a map that has held nothing since it was made or cleared (no table).
inline uint32_t buckets_of(qelt_variant* map) {
    const auto* body = static_cast<qelt_map*>(map->value.ptr);
    return body != nullptr ? body->table->bucket_count : 0;
}

// Calls fn(node) for every variant of the tree once per place it stands,
// without native recursion (fuzz inputs nest thousands of levels). Moves the
// cursor of every map it walks, as writing does.
template <typename Fn>
void walk(qelt_variant* root, Fn fn) {
    std::vector<qelt_variant*> todo{root};
    while (!todo.empty()) {
        qelt_variant* v = todo.back();
        todo.pop_back();
        fn(v);
        if (v->type == QELT_VARIANT_TYPE_LIST) {
            int32_t n = 0;
            FUZZ_CHECK(qelt_variant_list_get_size(v, &n) == QELT_SUCCESS);
            for (int32_t i = n; i-- > 0;) {
                qelt_variant* item = nullptr;
                FUZZ_CHECK(qelt_variant_list_get_item(v, &item, i) == QELT_SUCCESS && item);
                todo.push_back(item);
            }
        } else if (v->type == QELT_VARIANT_TYPE_MAP) {
            FUZZ_CHECK(qelt_variant_map_first(v) == QELT_SUCCESS);
            for (;;) {
                qelt_variant *key = nullptr, *value = nullptr;
                uint8_t found = 0;
                FUZZ_CHECK(qelt_variant_map_next(v, &key, &value, &found) == QELT_SUCCESS);
                if (!found) break;
                todo.push_back(value);
                todo.push_back(key);
            }
        }
    }
}

// The one value the writer refuses that a tree can hold: a float16 NaN or
// infinity (exponent bits all set).
inline bool has_nonfinite_half(qelt_variant* root) {
    bool found = false;
    walk(root, [&](qelt_variant* v) {
        if (v->type == QELT_VARIANT_TYPE_FLOAT16 && (v->value.u16 & 0x7C00) == 0x7C00) found = true;
    });
    return found;
}

// Whether two trees hold the same values: same types, subtypes and value
// bytes, lists item by item, maps key by key (keys are looked up, so the
// maps' iteration orders may differ). Keys must not be containers.
// `same_tables` is cleared when two corresponding maps have hash tables of
// different sizes, the one reason equal maps may iterate in different orders.
inline bool same_tree(qelt_variant* a, qelt_variant* b, bool* same_tables) {
    std::vector<std::pair<qelt_variant*, qelt_variant*>> todo{{a, b}};
    while (!todo.empty()) {
        auto [x, y] = todo.back();
        todo.pop_back();
        if (x == nullptr || y == nullptr || x->type != y->type) return false;
        if (!qelt_is_container(x)) {
            if (!qelt_variant_equal(x, y)) return false;
        } else if (x->type == QELT_VARIANT_TYPE_LIST) {
            int32_t nx = 0, ny = 0;
            FUZZ_CHECK(qelt_variant_list_get_size(x, &nx) == QELT_SUCCESS);
            FUZZ_CHECK(qelt_variant_list_get_size(y, &ny) == QELT_SUCCESS);
            if (nx != ny) return false;
            for (int32_t i = 0; i < nx; ++i) {
                qelt_variant *ix = nullptr, *iy = nullptr;
                FUZZ_CHECK(qelt_variant_list_get_item(x, &ix, i) == QELT_SUCCESS);
                FUZZ_CHECK(qelt_variant_list_get_item(y, &iy, i) == QELT_SUCCESS);
                todo.emplace_back(ix, iy);
            }
        } else {
            uint32_t nx = 0, ny = 0;
            FUZZ_CHECK(qelt_variant_map_get_size(x, &nx) == QELT_SUCCESS);
            FUZZ_CHECK(qelt_variant_map_get_size(y, &ny) == QELT_SUCCESS);
            if (nx != ny) return false;
            // An empty map writes the same bytes with or without a table.
            if (nx > 0 && buckets_of(x) != buckets_of(y)) *same_tables = false;
            FUZZ_CHECK(qelt_variant_map_first(y) == QELT_SUCCESS);
            for (;;) {
                qelt_variant *key = nullptr, *vy = nullptr, *vx = nullptr;
                uint8_t found = 0;
                FUZZ_CHECK(qelt_variant_map_next(y, &key, &vy, &found) == QELT_SUCCESS);
                if (!found) break;
                if (qelt_variant_map_get(x, key, &vx) != QELT_SUCCESS) return false;
                todo.emplace_back(vx, vy);
            }
        }
    }
    return true;
}

// A buffer from qelt_write_to_buffer, released on scope exit.
struct Stream {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() {
        if (data != nullptr) qelt_free_buffer(data);
    }
    bool operator==(const Stream& o) const {
        return size == o.size && (size == 0 || std::equal(data, data + size, o.data));
    }
};

inline qelt_err write(qelt_variant* root, Stream* out) {
    const qelt_err err = qelt_write_to_buffer(root, &out->data, &out->size);
    FUZZ_CHECK(err == QELT_SUCCESS ? out->data != nullptr : out->data == nullptr && out->size == 0);
    return err;
}

// The round trip every readable, writable tree must pass: written once (w1),
// read back into an equal tree, written again (w2). w2 equals w1 byte for
// byte unless a map's table has a different size in the copy (a map that
// grew on a replaced key or shrank after deletions iterates in another
// order); then the copy's own rewrite must be a fixed point instead.
inline void check_round_trip(qelt_variant* root, const Stream& w1, qelt_variant** copy_out) {
    qelt_variant* copy = nullptr;
    FUZZ_CHECK(qelt_read_from_buffer(&copy, w1.data, w1.size) == QELT_SUCCESS && copy);
    bool same_tables = true;
    FUZZ_CHECK(same_tree(root, copy, &same_tables));
    walk(copy, [](qelt_variant* v) { FUZZ_CHECK(v->refcount == 1); });
    Stream w2;
    FUZZ_CHECK(write(copy, &w2) == QELT_SUCCESS);
    if (same_tables) {
        FUZZ_CHECK(w1 == w2);
    } else {
        qelt_variant* again = nullptr;
        FUZZ_CHECK(qelt_read_from_buffer(&again, w2.data, w2.size) == QELT_SUCCESS);
        Stream w3;
        FUZZ_CHECK(write(again, &w3) == QELT_SUCCESS);
        FUZZ_CHECK(w2 == w3);
        qelt_variant_decref(again);
    }
    if (copy_out != nullptr) {
        *copy_out = copy;
    } else {
        qelt_variant_decref(copy);
    }
}

}  // namespace fuzz

#endif  // QEL_FUZZ_COMMON_H
