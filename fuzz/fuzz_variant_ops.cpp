// Sequences of variant operations decoded from the input, checked against a
// shadow model: the reference count every record must have, what each list
// and map holds, which values are equal, and that every tree written reads
// back equal. The harness owns its references in a table of slots and gives
// them all back at the end, so whatever the library fails to free is a leak
// that LeakSanitizer reports.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "fuzz_common.h"

namespace {

constexpr int kSlots = 16;
constexpr int kMaxOps = 256;
// Round trips of larger streams only cost time: a few shared containers
// nested in each other stand for millions of elements.
constexpr uint64_t kMaxWritten = 500;
// Lists and maps of this size or less are checked in full after every
// operation on them; larger ones once at the end.
constexpr size_t kSmall = 64;
// Elements the bulk operations may add in one input, so that the model's
// checks stay cheap.
constexpr int kBulkBudget = 1024;

using Entry = std::pair<qelt_variant*, qelt_variant*>;

struct Rec {
    uint8_t type;
    uint32_t refs;                     // the count the record must have
    std::string value;                 // non-containers: subtype and the bytes equality compares
    std::vector<qelt_variant*> items;  // list
    // map: entries by their key's identity (see Model::identity)
    std::unordered_map<std::string, Entry> entries;
};

bool container_type(uint8_t type) { return type == QELT_VARIANT_TYPE_LIST || type == QELT_VARIANT_TYPE_MAP; }

template <typename T>
std::string bytes_of(uint8_t subtype, const T& x) {
    std::string s(1, static_cast<char>(subtype));
    s.append(reinterpret_cast<const char*>(&x), sizeof x);
    return s;
}

std::string timestamp_bytes(const qelt_timestamp& t) {
    std::string s(1, '\0');
    s += bytes_of(0, t.year).substr(1);
    for (uint8_t b : {t.month, t.day, t.hour, t.minute, t.second}) s += static_cast<char>(b);
    return s + bytes_of(0, t.microsecond).substr(1);
}

// What the accessors give back, in the model's form.
std::string value_of(const qelt_variant* v) {
#define QEL_FUZZ_SCALAR(T, ctype, TYPE, member)                 \
    case QELT_VARIANT_TYPE_##TYPE: {                            \
        ctype x{};                                              \
        FUZZ_CHECK(qelt_variant_as_##T(v, &x) == QELT_SUCCESS); \
        return bytes_of(0, x);                                  \
    }
    switch (v->type) {
        QELT_SCALAR_TYPES(QEL_FUZZ_SCALAR)
#undef QEL_FUZZ_SCALAR
    case QELT_VARIANT_TYPE_STRING: {
        const char* text = nullptr;
        uint32_t size = 0;
        const bool c = v->subtype == QELT_STRING_TYPE_C;
        FUZZ_CHECK((c ? qelt_variant_as_string_c(v, &text, &size)
                      : qelt_variant_as_string_utf8(v, &text, &size)) == QELT_SUCCESS);
        FUZZ_CHECK(size >= 1 && text[size - 1] == '\0' && std::strlen(text) + 1 == size);
        return std::string(1, static_cast<char>(v->subtype)) + std::string(text, size);
    }
    case QELT_VARIANT_TYPE_BINARY: {
        const void* data = nullptr;
        uint32_t length = 0;
        uint8_t bin_type = 0;
        FUZZ_CHECK(qelt_variant_as_binary(v, &data, &length, &bin_type) == QELT_SUCCESS);
        return std::string(1, static_cast<char>(bin_type)) +
               std::string(static_cast<const char*>(data), length);
    }
    case QELT_VARIANT_TYPE_TIMESTAMP: {
        const qelt_timestamp* t = nullptr;
        FUZZ_CHECK(qelt_variant_as_timestamp(v, &t) == QELT_SUCCESS && t);
        return timestamp_bytes(*t);
    }
    default:  // none and the containers: no value bytes
        return {};
    }
}

class Model {
public:
    bool alive(qelt_variant* v) const { return v != nullptr && live_.count(v) != 0; }
    Rec& at(qelt_variant* v) {
        auto it = live_.find(v);
        FUZZ_CHECK(it != live_.end());
        return it->second;
    }
    bool empty() const { return live_.empty(); }

    void add(qelt_variant* v, uint8_t type, std::string value) {
        FUZZ_CHECK(live_.emplace(v, Rec{type, 1, std::move(value), {}, {}}).second);
    }
    void take(qelt_variant* v) { ++at(v).refs; }
    // Gives up one reference; a record that loses its last one releases what
    // it holds, as the library does.
    void release(qelt_variant* first) {
        std::vector<qelt_variant*> todo{first};
        while (!todo.empty()) {
            qelt_variant* v = todo.back();
            todo.pop_back();
            Rec& r = at(v);
            if (--r.refs > 0) continue;
            todo.insert(todo.end(), r.items.begin(), r.items.end());
            for (const auto& [id, e] : r.entries) {
                todo.push_back(e.first);
                todo.push_back(e.second);
            }
            live_.erase(v);
        }
    }

    bool equal(qelt_variant* a, qelt_variant* b) {
        if (a == b) return true;
        const Rec &x = at(a), &y = at(b);
        return x.type == y.type && !container_type(x.type) && x.value == y.value;
    }

    // What a map compares keys by: the value for values, the record for
    // containers.
    std::string identity(qelt_variant* v) {
        const Rec& r = at(v);
        if (!container_type(r.type)) return static_cast<char>(r.type) + r.value;
        return std::string(1, '\0') + bytes_of(0, v);
    }

    const Entry* find_key(qelt_variant* map, qelt_variant* key) {
        const Rec& m = at(map);
        auto it = m.entries.find(identity(key));
        return it == m.entries.end() ? nullptr : &it->second;
    }

    // What a successful set (or, with a null value, delete) does.
    void map_set(qelt_variant* map, qelt_variant* key, qelt_variant* value) {
        Rec& m = at(map);
        const std::string id = identity(key);
        auto found = m.entries.find(id);
        if (value == nullptr) {
            if (found != m.entries.end()) {
                const Entry gone = found->second;
                m.entries.erase(found);
                release(gone.first);
                release(gone.second);
            }
            return;
        }
        take(key);
        take(value);
        if (found == m.entries.end()) {
            m.entries.emplace(id, Entry{key, value});
        } else {
            // The new key replaces the equal old one along with the value.
            const Entry old = std::exchange(found->second, Entry{key, value});
            release(old.first);
            release(old.second);
        }
    }

    // Calls fn(record) once for every record reachable from `root`.
    template <typename Fn>
    void reach(qelt_variant* root, Fn fn) {
        std::unordered_set<qelt_variant*> seen{root};
        std::vector<qelt_variant*> todo{root};
        while (!todo.empty()) {
            Rec& r = at(todo.back());
            todo.pop_back();
            fn(r);
            auto visit = [&](qelt_variant* c) {
                if (seen.insert(c).second) todo.push_back(c);
            };
            for (qelt_variant* c : r.items) visit(c);
            for (const auto& [id, e] : r.entries) {
                visit(e.first);
                visit(e.second);
            }
        }
    }

    // Storing `value` into `container` would close a loop through others:
    // the library refuses only direct self-insertion, and a loop of
    // references is the caller's leak, not the library's.
    bool loops(qelt_variant* value, qelt_variant* container) {
        if (value == container || !container_type(at(value).type)) return false;
        bool found = false;
        reach(value, [&](Rec& r) { found = found || &r == &at(container); });
        return found;
    }

    // The writer refuses a container as a map key and a float16 NaN or
    // infinity; everything else a tree can hold is written.
    bool writable(qelt_variant* root) {
        bool ok = true;
        reach(root, [&](Rec& r) {
            for (const auto& [id, e] : r.entries) ok = ok && !container_type(at(e.first).type);
            if (r.type == QELT_VARIANT_TYPE_FLOAT16) {
                uint16_t bits = 0;
                std::memcpy(&bits, r.value.data() + 1, 2);
                ok = ok && (bits & 0x7C00) != 0x7C00;
            }
        });
        return ok;
    }

    // How many elements writing `root` emits. A container held in several
    // places is written in each, so a few records can stand for a stream
    // that doubles with every level; the count saturates at `cap`.
    uint64_t written_size(qelt_variant* root, uint64_t cap) {
        std::unordered_map<qelt_variant*, uint64_t> size;
        std::vector<std::pair<qelt_variant*, bool>> todo{{root, false}};
        while (!todo.empty()) {
            auto [v, children_done] = todo.back();
            todo.pop_back();
            if (size.count(v) != 0) continue;
            const Rec& r = at(v);
            std::vector<qelt_variant*> children = r.items;
            for (const auto& [id, e] : r.entries) {
                children.push_back(e.first);
                children.push_back(e.second);
            }
            if (!children_done) {
                todo.emplace_back(v, true);
                for (qelt_variant* c : children) todo.emplace_back(c, false);
                continue;
            }
            uint64_t n = 1;
            for (qelt_variant* c : children) n = std::min(cap, n + size.at(c));
            size[v] = n;
        }
        return size.at(root);
    }

    // Takes in a tree that was just read: every record has one reference.
    void adopt(qelt_variant* root) {
        std::vector<qelt_variant*> todo{root};
        while (!todo.empty()) {
            qelt_variant* v = todo.back();
            todo.pop_back();
            add(v, v->type, value_of(v));
            Rec& r = at(v);
            if (v->type == QELT_VARIANT_TYPE_LIST) {
                int32_t n = 0;
                FUZZ_CHECK(qelt_variant_list_get_size(v, &n) == QELT_SUCCESS);
                for (int32_t i = 0; i < n; ++i) {
                    qelt_variant* item = nullptr;
                    FUZZ_CHECK(qelt_variant_list_get_item(v, &item, i) == QELT_SUCCESS);
                    r.items.push_back(item);
                    todo.push_back(item);
                }
            } else if (v->type == QELT_VARIANT_TYPE_MAP) {
                FUZZ_CHECK(qelt_variant_map_first(v) == QELT_SUCCESS);
                for (;;) {
                    Entry e{};
                    uint8_t found = 0;
                    FUZZ_CHECK(qelt_variant_map_next(v, &e.first, &e.second, &found) == QELT_SUCCESS);
                    if (!found) break;
                    // Keys that were read are never containers.
                    add(e.first, e.first->type, value_of(e.first));
                    FUZZ_CHECK(r.entries.emplace(identity(e.first), e).second);
                    todo.push_back(e.second);
                }
            }
        }
    }

    // The record agrees with the model: count, type, size, and the contents
    // when they are small or `contents` asks for them.
    void check(qelt_variant* v, bool contents = false) {
        if (!alive(v)) return;
        const Rec& r = at(v);
        uint16_t count = 0;
        FUZZ_CHECK(qelt_variant_get_refcount(v, &count) == QELT_SUCCESS && count == r.refs);
        uint8_t type = 0;
        FUZZ_CHECK(qelt_variant_get_type(v, &type, nullptr) == QELT_SUCCESS && type == r.type);
        if (type == QELT_VARIANT_TYPE_LIST) {
            int32_t n = -1;
            FUZZ_CHECK(qelt_variant_list_get_size(v, &n) == QELT_SUCCESS && size_t(n) == r.items.size());
            for (int32_t i = 0; i < n && (contents || size_t(n) <= kSmall); ++i) {
                qelt_variant* item = nullptr;
                FUZZ_CHECK(qelt_variant_list_get_item(v, &item, i) == QELT_SUCCESS && item == r.items[i]);
            }
        } else if (type == QELT_VARIANT_TYPE_MAP) {
            uint32_t n = 0;
            FUZZ_CHECK(qelt_variant_map_get_size(v, &n) == QELT_SUCCESS && n == r.entries.size());
            if (!contents && n > kSmall) return;
            for (const auto& [id, e] : r.entries) {
                qelt_variant* value = nullptr;
                FUZZ_CHECK(qelt_variant_map_get(v, e.first, &value) == QELT_SUCCESS && value == e.second);
            }
        }
    }

    void check_all() {
        for (auto& [v, r] : live_) check(v, true);
    }

private:
    std::unordered_map<qelt_variant*, Rec> live_;
};

// ---------------------------------------------------------------------------
// The interpreter
// ---------------------------------------------------------------------------

class Run {
public:
    explicit Run(const uint8_t* data, size_t size) : in_(data, size) {}

    void go() {
        for (int op = 0; op < kMaxOps && in_.remaining_bytes() > 0; ++op) step();
        model_.check_all();
        for (qelt_variant*& s : slot_) put(&s, nullptr);
        FUZZ_CHECK(model_.empty());
    }

private:
    qelt_variant*& pick() { return slot_[in_.ConsumeIntegral<uint8_t>() % kSlots]; }
    bool is(qelt_variant* v, uint8_t type) { return v != nullptr && model_.at(v).type == type; }

    // Stores `v` (whose reference the slot takes over) and lets the slot's
    // old reference go.
    void put(qelt_variant** s, qelt_variant* v) {
        qelt_variant* old = *s;
        *s = v;
        if (old == nullptr) return;
        FUZZ_CHECK(qelt_variant_decref(old) == QELT_SUCCESS);
        model_.release(old);
    }

    // A refused call must change nothing.
    void refused(qelt_err err, std::initializer_list<qelt_variant*> touched) {
        FUZZ_CHECK(err != QELT_SUCCESS);
        for (qelt_variant* v : touched) model_.check(v);
    }

    template <typename T, typename U = T>
    void make(qelt_err (*ctor)(qelt_variant**, T), uint8_t type) {
        const U raw = in_.ConsumeIntegral<U>();
        const T value = std::bit_cast<T>(raw);
        qelt_variant* v = nullptr;
        FUZZ_CHECK(ctor(&v, value) == QELT_SUCCESS && v != nullptr);
        model_.add(v, type, bytes_of(0, raw));
        put(&pick(), v);
    }

    void make_text(bool utf8) {
        // The text lies in a block of exactly its capacity, so a read past
        // it is an overflow the sanitizer sees.
        const std::vector<char> text = in_.ConsumeBytes<char>(in_.ConsumeIntegralInRange(0, 24));
        const auto capacity = static_cast<uint32_t>(text.size());
        const char* p = capacity ? text.data() : "";
        qelt_variant* v = reinterpret_cast<qelt_variant*>(&slot_);
        const qelt_err err = utf8 ? qelt_variant_new_string_utf8(&v, p, capacity)
                                  : qelt_variant_new_string_c(&v, p, capacity);
        const size_t nul = std::find(text.begin(), text.end(), '\0') - text.begin();
        if (nul == text.size()) {
            FUZZ_CHECK(err == QELT_ERR_WRONG_STRING_SIZE && v == nullptr);
            return;
        }
        FUZZ_CHECK(err == QELT_SUCCESS && v != nullptr);
        model_.add(v, QELT_VARIANT_TYPE_STRING, std::string(1, char(utf8)) + std::string(p, nul + 1));
        put(&pick(), v);
    }

    void make_binary() {
        const std::vector<uint8_t> data = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(0, 24));
        const uint8_t bin_type = in_.ConsumeIntegral<uint8_t>();
        qelt_variant* v = reinterpret_cast<qelt_variant*>(&slot_);
        const qelt_err err = qelt_variant_new_binary(&v,
                                                     data.empty() ? "" : static_cast<const void*>(data.data()),
                                                     static_cast<uint32_t>(data.size()), bin_type);
        if (data.empty()) {
            FUZZ_CHECK(err == QELT_ERR_WRONG_STRING_SIZE && v == nullptr);
            return;
        }
        FUZZ_CHECK(err == QELT_SUCCESS && v != nullptr);
        model_.add(v, QELT_VARIANT_TYPE_BINARY,
                   std::string(1, char(bin_type)) + std::string(data.begin(), data.end()));
        put(&pick(), v);
    }

    void make_timestamp() {
        qelt_timestamp t{};
        t.year = in_.ConsumeIntegral<int16_t>();
        for (uint8_t* f : {&t.month, &t.day, &t.hour, &t.minute, &t.second})
            *f = in_.ConsumeIntegral<uint8_t>();
        t.microsecond = in_.ConsumeIntegral<uint32_t>();
        qelt_variant* v = nullptr;
        FUZZ_CHECK(qelt_variant_new_timestamp(&v, &t) == QELT_SUCCESS && v != nullptr);
        model_.add(v, QELT_VARIANT_TYPE_TIMESTAMP, timestamp_bytes(t));
        put(&pick(), v);
    }

    void make_container(qelt_err (*ctor)(qelt_variant**), uint8_t type) {
        qelt_variant* v = nullptr;
        FUZZ_CHECK(ctor(&v) == QELT_SUCCESS && v != nullptr);
        model_.add(v, type, {});
        put(&pick(), v);
    }

    void create() {
        switch (in_.ConsumeIntegralInRange(0, 18)) {
        case 0:
            return make(qelt_variant_new_int8, QELT_VARIANT_TYPE_INT8);
        case 1:
            return make(qelt_variant_new_int16, QELT_VARIANT_TYPE_INT16);
        case 2:
            return make(qelt_variant_new_int32, QELT_VARIANT_TYPE_INT32);
        case 3:
            return make(qelt_variant_new_int64, QELT_VARIANT_TYPE_INT64);
        case 4:
            return make(qelt_variant_new_uint8, QELT_VARIANT_TYPE_UINT8);
        case 5:
            return make(qelt_variant_new_uint16, QELT_VARIANT_TYPE_UINT16);
        case 6:
            return make(qelt_variant_new_uint32, QELT_VARIANT_TYPE_UINT32);
        case 7:
            return make(qelt_variant_new_uint64, QELT_VARIANT_TYPE_UINT64);
        case 8:
            return make(qelt_variant_new_float16, QELT_VARIANT_TYPE_FLOAT16);
        case 9:
            return make<float, uint32_t>(qelt_variant_new_float32, QELT_VARIANT_TYPE_FLOAT32);
        case 10:
            return make<double, uint64_t>(qelt_variant_new_float64, QELT_VARIANT_TYPE_FLOAT64);
        case 11:
            return make(qelt_variant_new_bool, QELT_VARIANT_TYPE_BOOL);
        case 12:
            return make_container(qelt_variant_new_none, QELT_VARIANT_TYPE_NONE);
        case 13:
            return make_text(false);
        case 14:
            return make_text(true);
        case 15:
            return make_binary();
        case 16:
            return make_timestamp();
        case 17:
            return make_container(qelt_variant_new_list, QELT_VARIANT_TYPE_LIST);
        default:
            return make_container(qelt_variant_new_map, QELT_VARIANT_TYPE_MAP);
        }
    }

    // An index around the valid range, so both ends and both sides are met.
    int32_t index_near(size_t size) { return in_.ConsumeIntegralInRange<int32_t>(-1, int32_t(size) + 1); }

    // ---- lists --------------------------------------------------------------

    void list_store(int how) {
        qelt_variant* list = pick();
        qelt_variant* value = pick();
        const bool ok = is(list, QELT_VARIANT_TYPE_LIST) && value != nullptr;
        if (ok && model_.loops(value, list)) return;
        std::vector<qelt_variant*>* items = ok ? &model_.at(list).items : nullptr;
        const int32_t at = how == 0 ? (ok ? int32_t(items->size()) : 0) : index_near(ok ? items->size() : 0);
        qelt_err err;
        int32_t appended_at = -2;
        if (how == 0) err = qelt_variant_list_append(list, value, &appended_at);
        else if (how == 1) err = qelt_variant_list_insert(list, value, at);
        else err = qelt_variant_list_set_item(list, value, at);

        const int32_t limit = ok ? int32_t(items->size()) - (how == 2 ? 1 : 0) : -1;
        if (!ok || value == list || at < 0 || at > limit) {
            if (ok && value == list) FUZZ_CHECK(err == QELT_ERR_CIRCULAR_REFERENCE);
            else if (ok) FUZZ_CHECK(err == QELT_ERR_INDEX_OUT_OF_RANGE);
            return refused(err, {list, value});
        }
        FUZZ_CHECK(err == QELT_SUCCESS);
        model_.take(value);
        if (how == 0) {
            FUZZ_CHECK(appended_at == at);
            items->push_back(value);
        } else if (how == 1) {
            items->insert(items->begin() + at, value);
        } else {
            qelt_variant* old = (*items)[at];
            (*items)[at] = value;
            model_.release(old);
        }
        model_.check(list);
        model_.check(value);
    }

    void list_get() {
        qelt_variant* list = pick();
        qelt_variant*& dest = pick();
        const bool ok = is(list, QELT_VARIANT_TYPE_LIST);
        const int32_t at = index_near(ok ? model_.at(list).items.size() : 0);
        qelt_variant* item = nullptr;
        const qelt_err err = qelt_variant_list_get_item(list, &item, at);
        if (!ok || at < 0 || size_t(at) >= model_.at(list).items.size()) return refused(err, {list});
        FUZZ_CHECK(err == QELT_SUCCESS && item == model_.at(list).items[at]);
        // The borrowed item becomes a slot's own reference.
        FUZZ_CHECK(qelt_variant_incref(item) == QELT_SUCCESS);
        model_.take(item);
        put(&dest, item);
    }

    void list_delete(bool all) {
        qelt_variant* list = pick();
        const bool ok = is(list, QELT_VARIANT_TYPE_LIST);
        std::vector<qelt_variant*>* items = ok ? &model_.at(list).items : nullptr;
        if (all) {
            const qelt_err err = qelt_variant_list_clear(list);
            if (!ok) return refused(err, {list});
            FUZZ_CHECK(err == QELT_SUCCESS);
            for (qelt_variant* item : std::exchange(*items, {})) model_.release(item);
        } else {
            const int32_t at = index_near(ok ? items->size() : 0);
            const qelt_err err = qelt_variant_list_delete_item(list, at);
            if (!ok || at < 0 || size_t(at) >= items->size()) return refused(err, {list});
            FUZZ_CHECK(err == QELT_SUCCESS);
            qelt_variant* gone = (*items)[at];
            items->erase(items->begin() + at);
            model_.release(gone);
        }
        model_.check(list);
    }

    void list_contains() {
        qelt_variant* list = pick();
        qelt_variant* value = pick();
        const bool subset = in_.ConsumeBool();
        int32_t start = in_.ConsumeIntegralInRange(-2, 40), stop = in_.ConsumeIntegralInRange(-2, 40);
        int32_t found = -2;
        const qelt_err err = subset ? qelt_variant_list_contains_in_subset(list, value, &found, start, stop)
                                    : qelt_variant_list_contains(list, value, &found);
        if (!is(list, QELT_VARIANT_TYPE_LIST) || value == nullptr) return refused(err, {list, value});
        FUZZ_CHECK(err == QELT_SUCCESS);
        const std::vector<qelt_variant*>& items = model_.at(list).items;
        const int32_t last = int32_t(items.size()) - 1;
        if (!subset || last < 0) {
            start = 0;
            stop = last;
        } else {
            start = std::clamp(start, 0, last);
            stop = stop < 0 ? last : std::min(stop, last);
            if (start > stop) std::swap(start, stop);
        }
        int32_t expected = QELT_LIST_INDEX_UNKNOWN;
        for (int32_t i = start; i <= stop && expected < 0; ++i)
            if (model_.equal(items[i], value)) expected = i;
        FUZZ_CHECK(found == expected);
    }

    // ---- maps ---------------------------------------------------------------

    void map_set(bool remove) {
        qelt_variant* map = pick();
        qelt_variant* key = pick();
        qelt_variant* value = remove ? nullptr : pick();
        const bool ok = is(map, QELT_VARIANT_TYPE_MAP) && key != nullptr;
        if (ok && (model_.loops(key, map) || (value != nullptr && model_.loops(value, map)))) return;
        const qelt_err err = remove ? qelt_variant_map_delete(map, key) : qelt_variant_map_set(map, key, value);
        if (!ok || key == map || value == map) {
            if (ok) FUZZ_CHECK(err == QELT_ERR_CIRCULAR_REFERENCE);
            return refused(err, {map, key, value});
        }
        FUZZ_CHECK(err == QELT_SUCCESS);
        model_.map_set(map, key, value);
        model_.check(map);
        model_.check(key);
        model_.check(value);
    }

    int budget(int wanted) {
        const int granted = std::min(wanted, bulk_left_);
        bulk_left_ -= granted;
        return granted;
    }

    // Many keys at once, so that tables grow, shrink and chain deeply: int32
    // keys on an arithmetic progression, each its own value, set or deleted.
    void map_bulk(bool remove) {
        qelt_variant* map = pick();
        const int count = budget(in_.ConsumeIntegralInRange(1, 64));
        const int32_t first = in_.ConsumeIntegral<int8_t>();
        const int32_t step = in_.ConsumeIntegralInRange(1, 64);
        if (!is(map, QELT_VARIANT_TYPE_MAP)) return;
        for (int i = 0; i < count; ++i) {
            const int32_t k = first + i * step;
            qelt_variant* key = nullptr;
            FUZZ_CHECK(qelt_variant_new_int32(&key, k) == QELT_SUCCESS);
            model_.add(key, QELT_VARIANT_TYPE_INT32, bytes_of(0, k));
            qelt_variant* value = remove ? nullptr : key;
            FUZZ_CHECK((remove ? qelt_variant_map_delete(map, key) : qelt_variant_map_set(map, key, value)) ==
                       QELT_SUCCESS);
            model_.map_set(map, key, value);
            FUZZ_CHECK(qelt_variant_decref(key) == QELT_SUCCESS);
            model_.release(key);
        }
        model_.check(map);
    }

    // One value appended many times, or many items deleted from the front.
    void list_bulk(bool remove) {
        qelt_variant* list = pick();
        qelt_variant* value = pick();
        const int count = budget(in_.ConsumeIntegralInRange(1, 64));
        if (!is(list, QELT_VARIANT_TYPE_LIST)) return;
        std::vector<qelt_variant*>& items = model_.at(list).items;
        for (int i = 0; i < count; ++i) {
            if (remove) {
                if (items.empty()) break;
                FUZZ_CHECK(qelt_variant_list_delete_item(list, 0) == QELT_SUCCESS);
                qelt_variant* gone = items.front();
                items.erase(items.begin());
                model_.release(gone);
            } else {
                if (value == nullptr || value == list || model_.loops(value, list)) break;
                FUZZ_CHECK(qelt_variant_list_append(list, value, nullptr) == QELT_SUCCESS);
                model_.take(value);
                items.push_back(value);
            }
        }
        model_.check(list);
    }

    void map_get(bool keep) {
        qelt_variant* map = pick();
        qelt_variant* key = pick();
        qelt_variant*& dest = pick();
        qelt_variant* value = reinterpret_cast<qelt_variant*>(&slot_);
        uint8_t found = 2;
        const qelt_err err = keep ? qelt_variant_map_get(map, key, &value)
                                  : qelt_variant_map_haskey(map, key, &found);
        if (!is(map, QELT_VARIANT_TYPE_MAP) || key == nullptr || key == map) return refused(err, {map, key});
        const Entry* entry = model_.find_key(map, key);
        if (!keep) {
            FUZZ_CHECK(err == QELT_SUCCESS && found == (entry != nullptr));
            return;
        }
        if (entry == nullptr) {
            FUZZ_CHECK(err == QELT_ERR_KEY_NOT_EXISTS && value == nullptr);
            return;
        }
        FUZZ_CHECK(err == QELT_SUCCESS && value == entry->second);
        FUZZ_CHECK(qelt_variant_incref(value) == QELT_SUCCESS);
        model_.take(value);
        put(&dest, value);
    }

    void map_clear() {
        qelt_variant* map = pick();
        const qelt_err err = qelt_variant_map_clear(map);
        if (!is(map, QELT_VARIANT_TYPE_MAP)) return refused(err, {map});
        FUZZ_CHECK(err == QELT_SUCCESS);
        for (const auto& [id, e] : std::exchange(model_.at(map).entries, {})) {
            model_.release(e.first);
            model_.release(e.second);
        }
        model_.check(map);
    }

    // One step of the built-in iterator, a rewind, or a whole walk. Single
    // steps interleave with changes, so they are only checked for landing
    // on a real entry; a whole walk must meet every entry once.
    void map_walk() {
        qelt_variant* map = pick();
        const int mode = in_.ConsumeIntegralInRange(0, 2);
        if (mode == 0) {
            const qelt_err err = qelt_variant_map_first(map);
            if (!is(map, QELT_VARIANT_TYPE_MAP)) return refused(err, {map});
            FUZZ_CHECK(err == QELT_SUCCESS);
            return;
        }
        if (!is(map, QELT_VARIANT_TYPE_MAP)) {
            qelt_variant *k = nullptr, *v = nullptr;
            uint8_t found = 0;
            return refused(qelt_variant_map_next(map, &k, &v, &found), {map});
        }
        const size_t size = model_.at(map).entries.size();
        if (mode == 2) FUZZ_CHECK(qelt_variant_map_first(map) == QELT_SUCCESS);
        std::unordered_set<qelt_variant*> met;
        for (size_t step = 0; step <= size; ++step) {
            Entry e{};
            uint8_t found = 2;
            FUZZ_CHECK(qelt_variant_map_next(map, &e.first, &e.second, &found) == QELT_SUCCESS);
            if (!found) {
                FUZZ_CHECK(found == 0 && e.first == nullptr && e.second == nullptr);
                break;
            }
            FUZZ_CHECK(found == 1 && model_.alive(e.first));
            const Entry* entry = model_.find_key(map, e.first);
            FUZZ_CHECK(entry != nullptr && *entry == e);
            if (mode == 1) return;
            FUZZ_CHECK(met.insert(e.first).second);
        }
        if (mode == 2) FUZZ_CHECK(met.size() == size);
    }

    // ---- values -------------------------------------------------------------

    void compare() {
        qelt_variant* a = pick();
        qelt_variant* b = pick();
        if (a == nullptr || b == nullptr) return;
        const bool same = qelt_variant_equal(a, b);
        FUZZ_CHECK(same == model_.equal(a, b));
        uint32_t ha = 0, hb = 0;
        FUZZ_CHECK(qelt_variant_get_hash(a, &ha) == QELT_SUCCESS && ha != QELT_HASH_NOT_COMPUTED);
        FUZZ_CHECK(qelt_variant_get_hash(b, &hb) == QELT_SUCCESS && hb != QELT_HASH_NOT_COMPUTED);
        FUZZ_CHECK(!same || ha == hb);
        FUZZ_CHECK(container_type(a->type) || value_of(a) == model_.at(a).value);
    }

    void share() {
        qelt_variant* v = pick();
        qelt_variant*& dest = pick();
        if (v == nullptr) {
            FUZZ_CHECK(qelt_variant_incref(v) == QELT_ERR_NULL_PTR);
            FUZZ_CHECK(qelt_variant_decref(v) == QELT_ERR_NULL_PTR);
            return;
        }
        FUZZ_CHECK(qelt_variant_incref(v) == QELT_SUCCESS);
        model_.take(v);
        put(&dest, v);
        model_.check(v);
    }

    // ---- streams ------------------------------------------------------------

    void write_read() {
        qelt_variant* root = pick();
        qelt_variant*& dest = pick();
        const bool container = is(root, QELT_VARIANT_TYPE_LIST) || is(root, QELT_VARIANT_TYPE_MAP);
        if (container && model_.written_size(root, kMaxWritten + 1) > kMaxWritten) return;
        fuzz::Stream w1;
        const qelt_err err = fuzz::write(root, &w1);
        if (!container) {
            FUZZ_CHECK(err == (root ? QELT_ERR_INVALID_TYPE : QELT_ERR_NULL_PTR));
            return;
        }
        if (!model_.writable(root)) return refused(err, {root});
        FUZZ_CHECK(err == QELT_SUCCESS);
        qelt_variant* copy = nullptr;
        fuzz::check_round_trip(root, w1, &copy);
        model_.adopt(copy);
        put(&dest, copy);
        model_.check(root);
    }

    // Arbitrary bytes after a header, so that trees of every shape the reader
    // accepts join the model.
    void read() {
        std::vector<uint8_t> stream = {0x5F, 0x51, 0x45, 0x4C, 0x01, 0x00, 0x00};
        const std::vector<uint8_t> body = in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange(0, 64));
        stream.insert(stream.end(), body.begin(), body.end());
        qelt_variant* root = nullptr;
        if (qelt_read_from_buffer(&root, stream.data(), uint32_t(stream.size())) != QELT_SUCCESS) return;
        model_.adopt(root);
        put(&pick(), root);
    }

    void step() {
        switch (in_.ConsumeIntegralInRange(0, 20)) {
        case 0:
        case 1:
            return create();
        case 2:
            return put(&pick(), nullptr);
        case 3:
            return share();
        case 4:
            return list_store(0);
        case 5:
            return list_store(1);
        case 6:
            return list_store(2);
        case 7:
            return list_get();
        case 8:
            return list_delete(false);
        case 9:
            return list_delete(true);
        case 10:
            return list_contains();
        case 11:
            return map_set(false);
        case 12:
            return map_set(true);
        case 13:
            return map_get(in_.ConsumeBool());
        case 14:
            return map_clear();
        case 15:
            return map_walk();
        case 16:
            return compare();
        case 17:
            return write_read();
        case 18:
            return read();
        case 19:
            return map_bulk(in_.ConsumeBool());
        default:
            return list_bulk(in_.ConsumeBool());
        }
    }

    FuzzedDataProvider in_;
    qelt_variant* slot_[kSlots] = {};
    int bulk_left_ = kBulkBudget;
    Model model_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Run(data, size).go();
    return 0;
}
