// The diagnostic records that every failed check prints on standard output.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "qel/qel.h"

namespace {

// A record is assembled here and handed to stdout in one write, with the
// stream locked, so that records of concurrent calls never mix. The buffer
// lives on the stack: a record about a failed allocation must not need the
// heap. A record longer than the buffer goes out in pieces, still under the
// lock.
class Record {
public:
    Record() { flockfile(stdout); }
    ~Record() {
        emit();
        std::fflush(stdout);
        funlockfile(stdout);
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    void put(const char* text, size_t length) {
        while (length > 0) {
            if (used_ == sizeof text_) emit();
            const size_t n = std::min(length, sizeof text_ - used_);
            std::memcpy(text_ + used_, text, n);
            used_ += n;
            text += n;
            length -= n;
        }
    }
    void put(const char* text) { put(text, std::strlen(text)); }
    void put(char c) { put(&c, 1); }
    void put(int32_t number) {
        char digits[12];
        const int n = std::snprintf(digits, sizeof digits, "%d", static_cast<int>(number));
        put(digits, static_cast<size_t>(n));
    }

private:
    void emit() {
        std::fwrite(text_, 1, used_, stdout);
        used_ = 0;
    }

    char text_[1024];
    size_t used_ = 0;
};

}  // namespace

extern "C" void qel_log_error(const char* path, uint32_t line, const char* format, ...) noexcept {
    // The calendar text is the fixed 26-byte form, line feed and terminator
    // included; a conversion that fails leaves it empty.
    char calendar[26];
    std::memset(calendar, 0, sizeof calendar);
    const time_t now = std::time(nullptr);
    if (ctime_r(&now, calendar) == nullptr) std::memset(calendar, 0, sizeof calendar);

    Record record;
    record.put(calendar);
    record.put(' ');

    // Formats are the library's own fixed texts; only %s and %d take an
    // argument, and a "%" before any other byte just lets that byte through.
    va_list args;
    va_start(args, format);
    for (const char* p = format ? format : ""; *p != '\0'; ++p) {
        if (*p != '%') {
            record.put(*p);
            continue;
        }
        ++p;
        if (*p == '\0') break;
        if (*p == 'd') {
            record.put(va_arg(args, int32_t));
        } else if (*p == 's') {
            const char* text = va_arg(args, const char*);
            record.put(text ? text : "(null)");
        } else {
            record.put(*p);
        }
    }
    va_end(args);

    record.put(" [");
    record.put(path ? path : "(null)");
    record.put("][line: ");
    record.put(static_cast<int32_t>(line));
    record.put("] \n");
}
