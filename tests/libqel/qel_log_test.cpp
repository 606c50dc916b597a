#include <cstdio>
#include <cstring>
#include <regex>

#include "qel_test_util.h"

namespace {

TEST(QelLog, RecordIsCalendarLineThenMessageLineWithLocation) {
    const std::string out = captured([] {
        qel_log_error("src/x.cpp", 42, "\"bad thing\":expression failed %s: error (%d)", "a == b", 5503);
    });
    // ctime's fixed form: 24 characters and a line feed, then a blank.
    const std::regex shape(R"(^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] \d\d:\d\d:\d\d \d{4}\n )"
                           R"("bad thing":expression failed a == b: error \(5503\) \[src/x\.cpp\]\[line: 42\] \n$)");
    EXPECT_TRUE(std::regex_match(out, shape)) << out;
}

TEST(QelLog, FormatWalkerUnderstandsOnlyPercentSAndD) {
    struct Case { const char* format; const char* text; int32_t number; const char* expected; };
    const Case cases[] = {
        {"%s|%d", nullptr, -7, "(null)|-7"},
        {"100%% %x%s", "!", 0, "100% x!"},
        {"\"invalid stack\":expression failed %s", nullptr, 0, "\"invalid stack\":expression failed (null)"},
    };
    for (const Case& c : cases) {
        const std::string out = captured([&] { qel_log_error("p", 1, c.format, c.text, c.number); });
        const std::string line = out.substr(out.find('\n') + 1);
        EXPECT_EQ(line, std::string(" ") + c.expected + " [p][line: 1] \n") << c.format;
    }
}

TEST(QelFileOpen, NameMustBeTerminatedWithinItsCapacity) {
    const std::string name = temp_path("capacity.qel");
    FILE* f = nullptr;
    std::string out = captured([&] {
        EXPECT_EQ(qel_file_open(&f, name.c_str(), name.size(), 1), QEL_ERR_SIZE);
        EXPECT_EQ(qel_file_open(&f, "", 0, 0), QEL_ERR_SIZE);
        EXPECT_EQ(qel_file_open(nullptr, name.c_str(), 99, 1), QEL_ERR_INVALID);
        EXPECT_EQ(qel_file_open(&f, nullptr, 99, 1), QEL_ERR_INVALID);
    });
    EXPECT_EQ(f, nullptr);
    EXPECT_NE(out.find(record("illegal file name size", "n_fn > strnlen(filename, n_fn)", 5508)), std::string::npos);
    EXPECT_NE(out.find(record("illegal parameters", "(NULL != filehandle) && (NULL != filename)", 5503)),
              std::string::npos);
    ASSERT_EQ(qel_file_open(&f, name.c_str(), name.size() + 1, 1), QEL_SUCCESS);
    ASSERT_NE(f, nullptr);
    std::fclose(f);
}

TEST(QelFileOpen, MissingFileIsAFileError) {
    FILE* f = reinterpret_cast<FILE*>(1);
    const std::string name = temp_path("no/such/file.qel");
    const std::string out = captured([&] { EXPECT_EQ(qel_file_open(&f, name.c_str(), name.size() + 1, 0), QEL_ERR_FILE); });
    EXPECT_EQ(f, nullptr);
    EXPECT_NE(out.find(record("cannot open file", "*filehandle != NULL", 5507)), std::string::npos) << out;
}

}  // namespace
