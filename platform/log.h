// Diagnostics and the system log. Diagnostics never reach the user: they are
// one-line, unlocalised texts for whoever reads the terminal or the log.
//
// logLine: standard error only. systemLog: standard error and the system log
// (syslog, facility user, ident the program's name), for the lines the
// desktop version writes to its system log.
//
// Every call writes its line with a single write(2), so lines from several
// threads never interleave; a missing newline is added. Thread-safe, keeps no
// state besides syslog's own, never throws.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

void logLine(std::string_view line) noexcept;
void systemLog(std::string_view line) noexcept;

// printf-style forms of the two above.
void logLinef(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));
void systemLogf(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

// A value quoted for a diagnostic line: "value" when it is short, else its
// first `keep` bytes (never half a UTF-8 character), "..." and the full size,
// so a 100 kB argument does not make a 100 kB error line.
std::string quoted(std::string_view value, size_t keep = 64);

}  // namespace platform
