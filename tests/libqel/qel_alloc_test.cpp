// Every heap allocation of a scenario is made to fail in turn: each failure
// must come back as a code (no crash, no lost record) and leave nothing
// allocated once the handle is freed. The sanitizers own the allocator, so
// this runs only in plain builds.
#include "qel_test_util.h"

#if !defined(__SANITIZE_ADDRESS__)

#include <cstdlib>
#include <fstream>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {
long fail_at = -1;  // index of the allocation to refuse; -1 when disarmed
long seen = 0;
long live = 0;

bool refuse() { return fail_at >= 0 && seen++ == fail_at; }
void* counted(void* p) {
    if (p != nullptr && fail_at >= 0) ++live;
    return p;
}
}  // namespace

extern "C" void* malloc(size_t n) { return refuse() ? nullptr : counted(__libc_malloc(n)); }
extern "C" void* calloc(size_t n, size_t s) { return refuse() ? nullptr : counted(__libc_calloc(n, s)); }
extern "C" void* realloc(void* p, size_t n) {
    if (refuse()) return nullptr;
    return p == nullptr ? counted(__libc_realloc(p, n)) : __libc_realloc(p, n);
}
extern "C" void free(void* p) {
    if (p != nullptr && fail_at >= 0) --live;
    __libc_free(p);
}

namespace {

// Runs `scenario` with allocation 0, 1, 2, ... refused until it runs through
// without reaching the refused one; `allowed` are the codes a refusal may give.
// A file stream whose buffer is refused falls back to unbuffered output and
// succeeds, keeping a block of the runtime's own: file scenarios allow
// success and are checked for leaks only when they fail.
void each_allocation_fails(const std::function<qel_err()>& scenario, std::vector<qel_err> allowed) {
    qel_log_error("warm-up", 0, "%s", "time zone and stdout buffers are allocated once");
    for (long n = 0;; ++n) {
        seen = 0;
        live = 0;
        fail_at = n;
        const qel_err code = scenario();
        const bool reached = seen > n;
        fail_at = -1;
        if (code != QEL_SUCCESS || !reached) EXPECT_EQ(live, 0) << "allocation " << n;
        if (!reached) {
            EXPECT_EQ(code, QEL_SUCCESS);
            break;
        }
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), code), allowed.end()) << n << ": " << code;
    }
}

// Nested deeper than the stack's first slots, longer than the first buffer.
const Bytes big(5000, 1);

qel_err write_document(qel_writer* w) {
    for (int i = 0; i < 40; ++i) {
        if (qel_err err = qel_writer_map_open(w)) return err;
        if (qel_err err = qel_writer_write_string_c(w, "k", 2)) return err;
    }
    if (qel_err err = qel_writer_write_binary(w, 0, big.data(), 5000)) return err;
    for (int i = 0; i < 40; ++i)
        if (qel_err err = qel_writer_map_close(w)) return err;
    return QEL_SUCCESS;
}

Bytes document() {
    qel_writer* w = nullptr;
    qel_writer_new_buffer(&w);
    write_document(w);
    Bytes out = contents(w);
    qel_writer_free(w);
    return out;
}

TEST(QelAllocationFailure, WriterToBuffer) {
    each_allocation_fails([] {
        qel_writer* w = nullptr;
        qel_err err = qel_writer_new_buffer(&w);
        if (err == QEL_SUCCESS) err = write_document(w);
        if (w != nullptr) qel_writer_free(w);
        return err;
    }, {QEL_ERR_ALLOCATION});
}

TEST(QelAllocationFailure, WriterToFile) {
    const std::string name = temp_path("alloc.qel");
    each_allocation_fails([&] {
        qel_writer* w = nullptr;
        qel_err err = qel_writer_new_file(&w, name.c_str(), name.size() + 1);
        if (err == QEL_SUCCESS) err = write_document(w);
        if (w != nullptr) qel_writer_free(w);
        return err;
    }, {QEL_ERR_ALLOCATION, QEL_ERR_FILE, QEL_SUCCESS});
}

TEST(QelAllocationFailure, ReaderFromBufferAndFile) {
    const Bytes stream = document();
    const std::string name = temp_path("alloc_read.qel");
    std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    each_allocation_fails([&] {
        qel_reader* r = nullptr;
        qel_err err = qel_reader_new_buffer(&r);
        if (err == QEL_SUCCESS) err = qel_reader_set_buffer(r, stream.data(), stream.size());
        if (err == QEL_SUCCESS) err = qel_reader_parse(r);
        if (r != nullptr) qel_reader_free(r);
        return err;
    }, {QEL_ERR_ALLOCATION});
    each_allocation_fails([&] {
        qel_reader* r = nullptr;
        qel_err err = qel_reader_new_file(&r, name.c_str(), name.size() + 1);
        if (err == QEL_SUCCESS) err = qel_reader_parse(r);
        if (r != nullptr) qel_reader_free(r);
        return err;
    }, {QEL_ERR_ALLOCATION, QEL_ERR_FILE, QEL_SUCCESS});
}

TEST(QelAllocationFailure, PullDecoding) {
    const Bytes stream = document();
    each_allocation_fails([&] {
        qel_reader* r = nullptr;
        qel_err err = qel_reader_new_buffer(&r);
        if (err == QEL_SUCCESS) err = qel_reader_set_buffer(r, stream.data() + 7, stream.size() - 7);
        for (uint8_t eod = 0; err == QEL_SUCCESS && !eod;) {
            qel_element* e = nullptr;
            err = qel_reader_next_value(r, &e, &eod);
            qel_element_free(e);
        }
        if (r != nullptr) qel_reader_free(r);
        return err;
    }, {QEL_ERR_ALLOCATION});
}

}  // namespace

#endif
