// Patterns for the password field's fuzz harnesses, written twice from the
// same choices: as a page writes them for the field (a POSIX class may
// stand alone as a whole bracket expression, "[:digit:]+") and as a POSIX
// extended expression that glibc's regcomp reads. Both name the same set of
// strings, so on whole-string matches of NUL- and newline-free texts in the
// C locale they must agree. Only what both read alike is used: no escapes,
// no backreferences, no '-' or ']' inside brackets but in ranges.
#pragma once

#include <regex.h>

#include <string>

#include "fuzz/fuzz_input.h"

namespace patterns {

struct Pattern {
    std::string page;
    std::string posix;
    std::string sample;  // a text the pattern probably matches
};

inline const char* const kClasses[] = {"alnum", "alpha", "blank", "cntrl", "digit", "graph",
                                       "lower", "print", "punct", "space", "upper", "xdigit"};
// A character of each class, for the samples.
inline const char kClassSample[] = {'7', 'q', ' ', '\x01', '3', '#', 'k', '~', '%', '\t', 'Q', 'e'};

inline char literal(fuzz::Input& in) {
    static const char kLiterals[] = "abzAZ09_ @!,=~\x7f\x01\xa0\xe9\xff";
    return kLiterals[in.byte() % (sizeof kLiterals - 1)];
}

inline void atom(fuzz::Input& in, int depth, Pattern& p);

inline void sequence(fuzz::Input& in, int depth, Pattern& p) {
    const int n = 1 + in.byte() % 3;
    for (int i = 0; i < n; ++i) atom(in, depth, p);
}

inline void bracket(fuzz::Input& in, Pattern& p) {
    const bool negated = in.byte() % 4 == 0;
    std::string items;
    const int n = 1 + in.byte() % 3;
    char sample = 0;
    for (int i = 0; i < n; ++i) {
        const uint8_t kind = in.byte() % 3;
        if (kind == 0) {
            const size_t c = in.byte() % (sizeof kClasses / sizeof kClasses[0]);
            items += std::string("[:") + kClasses[c] + ":]";
            if (!sample) sample = kClassSample[c];
        } else if (kind == 1) {
            static const char* const kRanges[] = {"a-f", "0-5", "A-Z", "!-/", "\x80-\xff"};
            const char* range = kRanges[in.byte() % 5];
            items += range;
            if (!sample) sample = range[0];
        } else {
            const char c = literal(in);
            items += c;
            if (!sample) sample = c;
        }
    }
    const std::string text = std::string("[") + (negated ? "^" : "") + items + "]";
    p.page += text;
    p.posix += text;
    p.sample += negated ? '\x02' : sample;
}

inline void atom(fuzz::Input& in, int depth, Pattern& p) {
    const uint8_t kind = in.byte() % (depth > 3 ? 4 : 7);
    const size_t start = p.page.size(), posixStart = p.posix.size(), sampleStart = p.sample.size();
    switch (kind) {
        case 0: {
            const char c = literal(in);
            p.page += c;
            p.posix += c;
            p.sample += c;
            break;
        }
        case 1:
            p.page += '.';
            p.posix += '.';
            p.sample += 'x';
            break;
        case 2:
            bracket(in, p);
            break;
        case 3: {
            // A class standing alone: the page's short form.
            const size_t c = in.byte() % (sizeof kClasses / sizeof kClasses[0]);
            const bool negated = in.byte() % 4 == 0;
            p.page += std::string("[:") + (negated ? "^" : "") + kClasses[c] + ":]";
            p.posix += std::string("[") + (negated ? "^" : "") + "[:" + kClasses[c] + ":]]";
            p.sample += negated ? '\x02' : kClassSample[c];
            break;
        }
        case 4:
        case 5: {
            p.page += '(';
            p.posix += '(';
            sequence(in, depth + 1, p);
            if (kind == 5) {
                p.page += '|';
                p.posix += '|';
                // The sample takes the first branch.
                const std::string sample = p.sample;
                sequence(in, depth + 1, p);
                p.sample = sample;
            }
            p.page += ')';
            p.posix += ')';
            break;
        }
        default:
            atom(in, depth + 1, p);
            break;
    }
    // A repeat of what was just written, sometimes.
    const uint8_t q = in.byte();
    if (q < 160 || p.page.size() == start) return;
    static const char* const kRepeats[] = {"*", "+", "?", "{2}", "{0,2}", "{1,}", "{2,3}", "{0}"};
    const int which = q % 8;
    const std::string atomPage = p.page.substr(start), atomPosix = p.posix.substr(posixStart);
    // Wrapped, so that a repeat never follows a repeat.
    p.page.replace(start, std::string::npos, "(" + atomPage + ")" + kRepeats[which]);
    p.posix.replace(posixStart, std::string::npos, "(" + atomPosix + ")" + kRepeats[which]);
    const std::string once = p.sample.substr(sampleStart);
    static const int kSampleCount[] = {2, 1, 1, 2, 1, 3, 2, 0};
    p.sample.resize(sampleStart);
    for (int i = 0; i < kSampleCount[which]; ++i) p.sample += once;
}

inline Pattern make(fuzz::Input& in) {
    Pattern p;
    sequence(in, 0, p);
    return p;
}

// Whole-string matching of an extended expression by glibc (C locale).
class Posix {
public:
    explicit Posix(const std::string& ere) {
        ok_ = regcomp(&re_, ("^(" + ere + ")$").c_str(), REG_EXTENDED | REG_NOSUB) == 0;
    }
    ~Posix() {
        if (ok_) regfree(&re_);
    }
    Posix(const Posix&) = delete;
    Posix& operator=(const Posix&) = delete;
    bool ok() const { return ok_; }
    bool matches(const std::string& text) const {
        return ok_ && regexec(&re_, text.c_str(), 0, nullptr, 0) == 0;
    }

private:
    regex_t re_{};
    bool ok_ = false;
};

// A text fit for comparing with glibc: no NUL (C strings) and no newline
// (where the two differ on '.').
inline std::string comparable(std::string text) {
    for (char& c : text)
        if (c == '\0' || c == '\n') c = '\x03';
    return text;
}

}  // namespace patterns
