// Readable test failures for texts and lists of texts: without it gtest
// prints a QString's characters as raw bytes.
#pragma once

#include <QString>
#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
