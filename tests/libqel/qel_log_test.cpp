#include <cstdio>
#include <regex>

#include "qel_test_util.h"

namespace {

int sentinel;  // an address no handle can have

TEST(QelLog, RecordIsCalendarLineThenMessageLineWithLocation) {
    const std::string out = captured([] {
        qel_log_error("src/x.cpp", 42, "\"bad\":expression failed %s: error (%d)", "a == b", 5503);
    });
    const std::regex shape(R"(^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] \d\d:\d\d:\d\d \d{4}\n )"
                           R"("bad":expression failed a == b: error \(5503\) \[src/x\.cpp\]\[line: 42\] \n$)");
    EXPECT_TRUE(std::regex_match(out, shape)) << out;
}

TEST(QelLog, FormatWalkerUnderstandsOnlyPercentSAndD) {
    for (auto [format, expected] : {std::pair{"%s|%d", "(null)|-7"}, {"100%% %x%s", "100% x(null)"}}) {
        const std::string out = captured([&] { qel_log_error("p", 1, format, nullptr, -7); });
        EXPECT_EQ(out.substr(out.find('\n') + 1), std::string(" ") + expected + " [p][line: 1] \n");
    }
}

TEST(QelFileOpen, NameCapacityArgumentsAndMissingFile) {
    const std::string name = temp_path("capacity.qel");
    const std::string missing = temp_path("no/such.qel");
    FILE* f = nullptr;
    const std::string out = captured([&] {
        EXPECT_EQ(qel_file_open(&f, name.c_str(), name.size(), 1), QEL_ERR_SIZE);
        EXPECT_EQ(qel_file_open(&f, "", 0, 0), QEL_ERR_SIZE);
        EXPECT_EQ(qel_file_open(&f, nullptr, 9, 1), QEL_ERR_INVALID);
        EXPECT_EQ(f, nullptr);
        EXPECT_EQ(qel_file_open(&f, missing.c_str(), missing.size() + 1, 0), QEL_ERR_FILE);
    });
    EXPECT_RECORD(out, "illegal file name size", "n_fn > strnlen(filename, n_fn)", 5508);
    EXPECT_RECORD(out, "illegal parameters", "(NULL != filehandle) && (NULL != filename)", 5503);
    EXPECT_RECORD(out, "cannot open file", "*filehandle != NULL", 5507);
    ASSERT_EQ(qel_file_open(&f, name.c_str(), name.size() + 1, 1), QEL_SUCCESS);
    std::fclose(f);
}

TEST(QelFileOpen, HandleCreationPassesItsFailuresOnAndLeavesTheHandleUnset) {
    const std::string missing = temp_path("no/such.qel");
    auto* w = reinterpret_cast<qel_writer*>(&sentinel);
    auto* r = reinterpret_cast<qel_reader*>(&sentinel);
    captured([&] {
        EXPECT_EQ(qel_writer_new_file(&w, missing.c_str(), missing.size() + 1), QEL_ERR_FILE);
        EXPECT_EQ(qel_reader_new_file(&r, missing.c_str(), missing.size() + 1), QEL_ERR_FILE);
        EXPECT_EQ(qel_writer_new_file(&w, missing.c_str(), missing.size()), QEL_ERR_SIZE);
        EXPECT_EQ(qel_reader_new_file(&r, nullptr, 1), QEL_ERR_INVALID);
    });
    EXPECT_EQ(static_cast<void*>(w), &sentinel);
    EXPECT_EQ(static_cast<void*>(r), &sentinel);
}

}  // namespace
