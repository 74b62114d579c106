#include "platform/log.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace platform {
namespace {

void writeStderr(std::string_view line) noexcept {
    try {
        std::string out(line);
        if (out.empty() || out.back() != '\n') out.push_back('\n');
        const char* p = out.data();
        size_t left = out.size();
        while (left > 0) {
            ssize_t n = ::write(STDERR_FILENO, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // nowhere to complain to
            p += n;
            left -= static_cast<size_t>(n);
        }
    } catch (...) {
        // Out of memory while logging: drop the line.
    }
}

void writeSyslog(std::string_view line) noexcept {
    while (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    // openlog is left to its default (the program's name as ident); "%.*s"
    // keeps a '%' in the text from being read as a format.
    ::syslog(LOG_USER | LOG_NOTICE, "%.*s", static_cast<int>(line.size()), line.data());
}

std::string format(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int size = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (size <= 0) return {};
    std::string out(static_cast<size_t>(size) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, args);
    out.resize(static_cast<size_t>(size));
    return out;
}

// Out of memory: the line is lost, the caller goes on.
std::string formatOrNothing(const char* fmt, va_list args) noexcept {
    try {
        return format(fmt, args);
    } catch (...) {
        return {};
    }
}

}  // namespace

void logLine(std::string_view line) noexcept { writeStderr(line); }

void systemLog(std::string_view line) noexcept {
    writeStderr(line);
    writeSyslog(line);
}

void logLinef(const char* fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    const std::string line = formatOrNothing(fmt, args);
    va_end(args);
    writeStderr(line);
}

void systemLogf(const char* fmt, ...) noexcept {
    va_list args;
    va_start(args, fmt);
    const std::string line = formatOrNothing(fmt, args);
    va_end(args);
    systemLog(line);
}

}  // namespace platform

namespace platform {

std::string quoted(std::string_view value, size_t keep) {
    if (value.size() <= keep) return "\"" + std::string(value) + "\"";
    while (keep > 0 && (static_cast<unsigned char>(value[keep]) & 0xC0) == 0x80) --keep;
    return "\"" + std::string(value.substr(0, keep)) + "...\" (" + std::to_string(value.size()) + " bytes)";
}

}  // namespace platform
