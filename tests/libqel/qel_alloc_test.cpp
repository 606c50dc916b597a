// Each heap allocation of a scenario is refused in turn: every refusal must
// come back as a code, with nothing left allocated once the handles are freed.
#include "alloc_failure.h"
#include "qel_test_util.h"

namespace {

const uint8_t big[5000] = {1};

// Deeper than the stack's first slots, longer than the writer's first buffer,
// then read back whole (parse) or one owned element at a time (pull).
qel_err write_and_read(const std::string& name, bool file, bool pull) {
    qel_writer* w = nullptr;
    qel_reader* r = nullptr;
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    qel_err err = file ? qel_writer_new_file(&w, name.c_str(), name.size() + 1) : qel_writer_new_buffer(&w);
    for (int i = 0; i < 40 && !err; ++i)
        if (!(err = qel_writer_map_open(w))) err = qel_writer_write_string_c(w, "k", 2);
    if (!err) err = qel_writer_write_binary(w, 0, big, sizeof big);
    for (int i = 0; i < 40 && !err; ++i) err = qel_writer_map_close(w);
    if (!err && !file) err = qel_writer_get_buffer(w, &data, &size);
    if (file && w != nullptr) {
        const qel_err closed = qel_writer_free(w);
        w = nullptr;
        err = err ? err : closed;
    }
    if (!err) err = file ? qel_reader_new_file(&r, name.c_str(), name.size() + 1) : qel_reader_new_buffer(&r);
    if (!err && !file)
        err = pull ? qel_reader_set_buffer(r, data + 7, size - 7) : qel_reader_set_buffer(r, data, size);
    if (!err && !pull) err = qel_reader_parse(r);
    for (uint8_t eod = 0; pull && !err && !eod;) {
        qel_element* e = nullptr;
        err = qel_reader_next_value(r, &e, &eod);
        qel_element_free(e);
    }
    if (r != nullptr) qel_reader_free(r);
    if (w != nullptr) qel_writer_free(w);
    return err;
}

// A refused file buffer makes the runtime fall back to unbuffered output and
// keep a block of its own, so file scenarios may succeed and are checked for
// leaks only when they fail.
TEST(QelAllocationFailure, WriterAndReaderInEveryMode) {
    const std::string name = temp_path("alloc.qel");
    qel_log_error("warm-up", 0, "%s", "time zone and stdout buffers are allocated once");
    for (auto [file, pull] : {std::pair{false, false}, {true, false}, {false, true}}) {
        for (long n = 0;; ++n) {
            alloc_failure::fail_at(n);
            const qel_err code = write_and_read(name, file, pull);
            if (!alloc_failure::disarm()) {
                EXPECT_EQ(code, QEL_SUCCESS);
                break;
            }
            if (code != QEL_SUCCESS || !file) EXPECT_EQ(alloc_failure::live(), 0) << "allocation " << n;
            EXPECT_TRUE(code == QEL_ERR_ALLOCATION || (file && (code == QEL_ERR_FILE || code == QEL_SUCCESS)))
                << n << ": " << code;
        }
    }
}

// From a pipe a payload's block grows as its bytes arrive (1 MiB, then
// doubled): a refused growth is a code as well. The runtime's refused read
// buffer is no failure (see above).
TEST(QelAllocationFailure, PipePayloadThatGrows) {
    const Bytes stream = one_binary(3 << 20);
    qel_log_error("warm-up", 0, "%s", "time zone and stdout buffers are allocated once");
    for (long n = 0;; ++n) {
        PipeOf pipe(stream);
        alloc_failure::fail_at(n);
        qel_reader* r = nullptr;
        qel_err code = qel_reader_new_file(&r, pipe.name(), pipe.capacity());
        if (!code) code = qel_reader_parse(r);
        if (r != nullptr) qel_reader_free(r);
        if (!alloc_failure::disarm()) {
            EXPECT_EQ(code, QEL_SUCCESS);
            break;
        }
        if (code != QEL_SUCCESS) EXPECT_EQ(alloc_failure::live(), 0) << "allocation " << n;
        EXPECT_TRUE(code == QEL_ERR_ALLOCATION || code == QEL_ERR_FILE || code == QEL_SUCCESS)
            << n << ": " << code;
    }
}

}  // namespace
