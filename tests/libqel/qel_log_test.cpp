#include <cstdio>
#include <regex>

#include "qel_test_util.h"

namespace {

TEST(QelLog, RecordIsCalendarLineThenMessageLineWithLocation) {
    const std::string out = captured(
        [] { qel_log_error("src/x.cpp", 42, "\"bad\":expression failed %s: error (%d)", "a == b", 5503); });
    const std::regex shape(R"(^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] \d\d:\d\d:\d\d \d{4}\n )"
                           R"("bad":expression failed a == b: error \(5503\) \[src/x\.cpp\]\[line: 42\] \n$)");
    EXPECT_TRUE(std::regex_match(out, shape)) << out;
}

// The record is assembled in a buffer of its own; one longer than that buffer
// comes out whole all the same.
TEST(QelLog, FormatsAndLongTextsComeOutUnchanged) {
    const std::string long_text(3000, 'x');
    const struct {
        const char* format;
        const char* text;
        std::string message;
    } cases[] = {
        {"100%% %x: %s (%d)", "e", "100% x: e (-7)"},
        {"\"m\":expression failed %s: error (%d)", nullptr, "\"m\":expression failed (null): error (-7)"},
        {"%s/%d", long_text.c_str(), long_text + "/-7"},
    };
    for (const auto& c : cases) {
        const std::string out = captured([&] { qel_log_error(long_text.c_str(), 7, c.format, c.text, -7); });
        const size_t line = out.find('\n') + 1;
        EXPECT_EQ(out.substr(line), " " + c.message + " [" + long_text + "][line: 7] \n") << c.format;
    }
}

// The opener's refusals, also as the writer and reader pass them on, leaving
// their handles unset.
TEST(QelFileOpen, NameCapacityArgumentsAndMissingFile) {
    const std::string name = temp_path("capacity.qel");
    const std::string missing = temp_path("no/such.qel");
    int sentinel = 0;
    FILE* f = nullptr;
    auto* w = reinterpret_cast<qel_writer*>(&sentinel);
    auto* r = reinterpret_cast<qel_reader*>(&sentinel);
    const std::string out = captured([&] {
        EXPECT_EQ(qel_file_open(&f, name.c_str(), name.size(), 1), QEL_ERR_SIZE);
        EXPECT_EQ(qel_file_open(&f, "", 0, 0), QEL_ERR_SIZE);
        EXPECT_EQ(qel_file_open(&f, nullptr, 9, 1), QEL_ERR_INVALID);
        EXPECT_EQ(f, nullptr);
        EXPECT_EQ(qel_file_open(&f, missing.c_str(), missing.size() + 1, 0), QEL_ERR_FILE);
        EXPECT_EQ(qel_writer_new_file(&w, missing.c_str(), missing.size() + 1), QEL_ERR_FILE);
        EXPECT_EQ(qel_reader_new_file(&r, missing.c_str(), missing.size() + 1), QEL_ERR_FILE);
        EXPECT_EQ(qel_writer_new_file(&w, missing.c_str(), missing.size()), QEL_ERR_SIZE);
        EXPECT_EQ(qel_reader_new_file(&r, nullptr, 1), QEL_ERR_INVALID);
    });
    EXPECT_RECORD(out, "illegal file name size", "n_fn > strnlen(filename, n_fn)", 5508);
    EXPECT_RECORD(out, "illegal parameters", "(NULL != filehandle) && (NULL != filename)", 5503);
    EXPECT_RECORD(out, "cannot open file", "*filehandle != NULL", 5507);
    EXPECT_EQ(static_cast<void*>(w), &sentinel);
    EXPECT_EQ(static_cast<void*>(r), &sentinel);
    ASSERT_EQ(qel_file_open(&f, name.c_str(), name.size() + 1, 1), QEL_SUCCESS);
    std::fclose(f);
}

}  // namespace
