// Each heap allocation of a scenario is refused in turn: every refusal must
// come back as a code, with nothing left allocated once the handle is freed.
// The sanitizers own the allocator, so this runs in plain builds only.
#include "qel_test_util.h"

#if !defined(__SANITIZE_ADDRESS__)

#include <algorithm>
#include <fstream>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void __libc_free(void*);
}

namespace {
long fail_at = -1;  // the allocation to refuse; -1 when disarmed
long seen = 0;
long live = 0;
bool refuse() { return fail_at >= 0 && seen++ == fail_at; }
void* counted(void* p) { return live += p != nullptr && fail_at >= 0, p; }
}  // namespace

extern "C" void* malloc(size_t n) { return refuse() ? nullptr : counted(__libc_malloc(n)); }
extern "C" void* calloc(size_t n, size_t s) { return refuse() ? nullptr : counted(__libc_calloc(n, s)); }
extern "C" void* realloc(void* p, size_t n) {
    if (refuse()) return nullptr;
    return p == nullptr ? counted(__libc_realloc(p, n)) : __libc_realloc(p, n);
}
extern "C" void free(void* p) {
    live -= p != nullptr && fail_at >= 0;
    __libc_free(p);
}

namespace {

// A refused file buffer makes the runtime fall back to unbuffered output and
// keep a block of its own, so file scenarios may succeed and are checked for
// leaks only when they fail.
void each_allocation_fails(const std::function<qel_err()>& scenario, bool file) {
    qel_log_error("warm-up", 0, "%s", "time zone and stdout buffers are allocated once");
    for (long n = 0;; ++n) {
        seen = live = 0;
        fail_at = n;
        const qel_err code = scenario();
        const bool reached = seen > n;
        fail_at = -1;
        if (!reached) {
            EXPECT_EQ(code, QEL_SUCCESS);
            return;
        }
        if (code != QEL_SUCCESS || !file) EXPECT_EQ(live, 0) << "allocation " << n;
        EXPECT_TRUE(code == QEL_ERR_ALLOCATION || (file && (code == QEL_ERR_FILE || code == QEL_SUCCESS))) << n << ": " << code;
    }
}

const Bytes big(5000, 1);

// Deeper than the stack's first slots, longer than the writer's first buffer.
qel_err write_document(qel_writer* w) {
    qel_err err = QEL_SUCCESS;
    for (int i = 0; i < 40 && !err; ++i)
        if (!(err = qel_writer_map_open(w))) err = qel_writer_write_string_c(w, "k", 2);
    if (!err) err = qel_writer_write_binary(w, 0, big.data(), 5000);
    for (int i = 0; i < 40 && !err; ++i) err = qel_writer_map_close(w);
    return err;
}

TEST(QelAllocationFailure, WriterAndReaderInBothModes) {
    const std::string name = temp_path("alloc.qel");
    for (bool file : {false, true}) {
        each_allocation_fails([&] {
            qel_writer* w = nullptr;
            qel_err err = file ? qel_writer_new_file(&w, name.c_str(), name.size() + 1) : qel_writer_new_buffer(&w);
            if (!err) err = write_document(w);
            if (w != nullptr) qel_writer_free(w);
            return err;
        }, file);
    }
    qel_writer* w = nullptr;
    qel_writer_new_buffer(&w);
    write_document(w);
    const Bytes stream = contents(w);
    qel_writer_free(w);
    std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    for (bool file : {false, true}) {
        each_allocation_fails([&] {
            qel_reader* r = nullptr;
            qel_err err = file ? qel_reader_new_file(&r, name.c_str(), name.size() + 1) : qel_reader_new_buffer(&r);
            if (!err && !file) err = qel_reader_set_buffer(r, stream.data(), stream.size());
            if (!err) err = qel_reader_parse(r);
            if (r != nullptr) qel_reader_free(r);
            return err;
        }, file);
    }
    each_allocation_fails([&] {  // pull decoding: one element block each
        qel_reader* r = nullptr;
        qel_err err = qel_reader_new_buffer(&r);
        if (!err) err = qel_reader_set_buffer(r, stream.data() + 7, stream.size() - 7);
        for (uint8_t eod = 0; !err && !eod;) {
            qel_element* e = nullptr;
            err = qel_reader_next_value(r, &e, &eod);
            qel_element_free(e);
        }
        if (r != nullptr) qel_reader_free(r);
        return err;
    }, false);
}

}  // namespace

#endif
