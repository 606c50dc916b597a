// Helpers shared by the C++ suites: bytes written as hex, names of temporary
// files, and the diagnostic records a call prints.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qel/qel.h"

using Bytes = std::vector<uint8_t>;

inline Bytes hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += text[i] == ' ' ? 1 : 2)
        if (text[i] != ' ') out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

inline Bytes with_header(const std::string& body) { return hex("5F 51 45 4C 01 00 00 " + body); }

// A stream of a list that holds one binary of `size` bytes 0xAB.
inline Bytes one_binary(uint32_t size) {
    Bytes stream = with_header("30 0E 00");
    for (int shift = 0; shift < 32; shift += 8) stream.push_back(static_cast<uint8_t>(size >> shift));
    stream.insert(stream.end(), size, 0xAB);
    stream.push_back(0x00);
    return stream;
}

// What `body` printed on standard output.
inline std::string captured(const std::function<void()>& body) {
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
}

// The message part of a diagnostic record, as it stands on its own line.
inline std::string record(const std::string& message, const std::string& expression, int code) {
    return " \"" + message + "\":expression failed " + expression + ": error (" + std::to_string(code) + ") [";
}

#define EXPECT_RECORD(out, message, expression, code) \
    EXPECT_NE((out).find(record(message, expression, code)), std::string::npos) << (out)

// Each call must fail with `code` and print the record of the check that refused it.
struct Refusal {
    std::function<qel_err()> call;
    const char* message;
    const char* expression;
};
inline void expect_refusals(const std::vector<Refusal>& cases, qel_err code = QEL_ERR_INVALID) {
    for (const auto& [call, message, expression] : cases)
        EXPECT_RECORD(captured([&] { EXPECT_EQ(call(), code) << message; }), message, expression, code);
}

// CTest runs tests of one executable side by side, so each test gets names
// of its own.
inline std::string temp_path(const std::string& name) {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string unique = std::string(test->test_suite_name()) + "." + test->name() + ".";
    for (char& c : unique) c = c == '/' ? '_' : c;  // parameterised names hold slashes
    return std::string(QEL_TEST_TMPDIR) + "/" + unique + name;
}

inline Bytes contents(qel_writer* w) {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    EXPECT_EQ(qel_writer_get_buffer(w, &data, &size), QEL_SUCCESS);
    return Bytes(data, data + size);
}

// A pipe that a child process fills with `bytes`, read through the name of
// its read end (/dev/fd/N) as any file. The child writes with system calls
// alone, so the reading process makes every allocation the test counts, and
// ends by the SIGKILL of the destructor: no exit handler of the test, nor
// valgrind's report, runs in it.
class PipeOf {
public:
    explicit PipeOf(const Bytes& bytes) {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        child_ = fork();
        if (child_ == 0) {
            close(ends[0]);
            for (size_t at = 0; at < bytes.size();) {
                const ssize_t n = write(ends[1], bytes.data() + at, bytes.size() - at);
                if (n <= 0) break;
                at += static_cast<size_t>(n);
            }
            close(ends[1]);  // the end of the input
            for (;;) pause();
        }
        close(ends[1]);
        read_end_ = ends[0];
        name_ = "/dev/fd/" + std::to_string(read_end_);
    }
    PipeOf(const PipeOf&) = delete;
    PipeOf& operator=(const PipeOf&) = delete;
    ~PipeOf() {
        close(read_end_);
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
    }
    const char* name() const { return name_.c_str(); }
    uint32_t capacity() const { return static_cast<uint32_t>(name_.size() + 1); }

private:
    pid_t child_;
    int read_end_;
    std::string name_;
};
