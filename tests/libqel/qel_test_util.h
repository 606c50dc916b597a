// Helpers shared by the format-library tests.
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
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') { ++i; continue; }
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

inline const Bytes kHeader = hex("5F 51 45 4C 01 00 00");

inline Bytes with_header(const std::string& body) {
    Bytes out = kHeader;
    Bytes rest = hex(body);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

// Runs `body` with standard output captured and returns what it printed.
inline std::string captured(const std::function<void()>& body) {
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
}

// The message part of a diagnostic record, as it stands on its own line.
inline std::string record(const std::string& message, const std::string& expression, int code) {
    return " \"" + message + "\":expression failed " + expression + ": error (" + std::to_string(code) + ") [";
}

inline std::string temp_path(const std::string& name) { return std::string(QEL_TEST_TMPDIR) + "/" + name; }

// Everything a writer produced so far.
inline Bytes contents(qel_writer* w) {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    EXPECT_EQ(qel_writer_get_buffer(w, &data, &size), QEL_SUCCESS);
    return Bytes(data, data + size);
}
