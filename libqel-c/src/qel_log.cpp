#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "qel/qel.h"

extern "C" void qel_log_error(const char* path, uint32_t line, const char* format, ...) noexcept {
    // The calendar text is the fixed 26-byte form, line feed and terminator
    // included; a conversion that fails leaves it empty.
    char calendar[26];
    std::memset(calendar, 0, sizeof calendar);
    const time_t now = std::time(nullptr);
    if (ctime_r(&now, calendar) == nullptr) std::memset(calendar, 0, sizeof calendar);
    std::printf("%s ", calendar);

    // Formats are the library's own fixed texts; only %s and %d take an
    // argument, and a "%" before any other byte just lets that byte through.
    va_list args;
    va_start(args, format);
    for (const char* p = format ? format : ""; *p != '\0'; ++p) {
        if (*p != '%') {
            std::fputc(*p, stdout);
            continue;
        }
        ++p;
        if (*p == '\0') break;
        if (*p == 'd') {
            std::printf("%d", static_cast<int>(va_arg(args, int32_t)));
        } else if (*p == 's') {
            const char* text = va_arg(args, const char*);
            std::printf("%s", text ? text : "(null)");
        } else {
            std::fputc(*p, stdout);
        }
    }
    va_end(args);

    std::printf(" [%s][line: %d] ", path ? path : "(null)", static_cast<int>(line));
    std::printf("\n");
    std::fflush(stdout);
}
