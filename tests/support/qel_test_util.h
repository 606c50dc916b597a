// Helpers shared by the C++ suites: bytes written as hex, names of temporary
// files, and the diagnostic records a call prints.
#pragma once

#include <gtest/gtest.h>

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
