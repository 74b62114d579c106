#include "REHelp.h"

#include <re2/re2.h>

#include <cstring>

namespace {

// The POSIX class names a bare bracket expression may name.
bool isClassName(std::string_view name) {
    static const char* const names[] = {"alnum", "alpha", "ascii", "blank", "cntrl", "digit", "graph",
                                        "lower", "print", "punct", "space", "upper", "xdigit"};
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

// Length of "[:name:]" or "[:^name:]" at the start of s, 0 when it is not one.
size_t bareClassAt(std::string_view s) {
    if (s.size() < 5 || s[0] != '[' || s[1] != ':') return 0;
    size_t start = s[2] == '^' ? 3 : 2;
    size_t end = s.find(":]", start);
    if (end == std::string_view::npos || !isClassName(s.substr(start, end - start))) return 0;
    return end + 2;
}

int wholeMatch(const char* pattern, const char* s) {
    if (s == nullptr) return 0;
    CRegexpT re(pattern);
    return re.MatchExact(std::string_view(s, std::strlen(s))).IsMatched();
}

}  // namespace

std::string CRegexpT::translate(std::string_view p) {
    std::string out;
    out.reserve(p.size() + 8);
    size_t i = 0;
    while (i < p.size()) {
        const char c = p[i];
        if (c == '\\') {
            out.append(p.substr(i, 2));
            i += 2;
            continue;
        }
        if (c != '[') {
            out += c;
            ++i;
            continue;
        }
        if (size_t n = bareClassAt(p.substr(i))) {
            out += '[';
            out.append(p.substr(i, n));
            out += ']';
            i += n;
            continue;
        }
        // A bracket expression: copied whole, so that its own "[:name:]"
        // items and a leading ']' stay as they are.
        size_t j = i + 1;
        if (j < p.size() && p[j] == '^') ++j;
        if (j < p.size() && p[j] == ']') ++j;
        while (j < p.size() && p[j] != ']') {
            if (size_t n = bareClassAt(p.substr(j)))
                j += n;
            else if (p[j] == '\\' && j + 1 < p.size())
                j += 2;
            else
                ++j;
        }
        if (j < p.size()) ++j;
        out.append(p.substr(i, j - i));
        i = j;
    }
    return out;
}

CRegexpT::CRegexpT(const char* pattern, int /*flags*/) {
    if (pattern == nullptr) {
        refusal_ = Refusal::Invalid;
        return;
    }
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_log_errors(false);
    options.set_case_sensitive(true);
    auto re = std::make_unique<RE2>(translate(pattern), options);
    if (re->ok())
        re_ = std::move(re);
    else if (re->error_code() == RE2::ErrorRepeatSize)
        refusal_ = Refusal::RepeatLimit;
    else if (re->error_code() == RE2::ErrorPatternTooLarge)
        refusal_ = Refusal::TooLarge;
    else
        refusal_ = Refusal::Invalid;
}

CRegexpT::~CRegexpT() = default;

bool CRegexpT::compiled() const { return re_ != nullptr; }

MatchResult CRegexpT::MatchExact(std::string_view text) const {
    if (!re_) return MatchResult(false);
    return MatchResult(RE2::FullMatch(re2::StringPiece(text.data(), text.size()), *re_));
}

int CREHelp::test_all_number(const char* s) { return wholeMatch("[:digit:]+", s); }
int CREHelp::test_include_number(const char* s) { return wholeMatch("[:print:]*[:digit:]+[:print:]*", s); }
int CREHelp::test_all_letter(const char* s) { return wholeMatch("[:alpha:]+", s); }
int CREHelp::test_include_letter(const char* s) { return wholeMatch("[:print:]*[:alpha:]+[:print:]*", s); }
int CREHelp::test_all_lower_letter(const char* s) { return wholeMatch("[a-z]{1,}", s); }
int CREHelp::test_all_upper_letter(const char* s) { return wholeMatch("[A-Z]{1,}", s); }
int CREHelp::test_all_number_lower_letter(const char* s) { return wholeMatch("[0-9a-z]{1,}", s); }
int CREHelp::test_all_number_upper_letter(const char* s) { return wholeMatch("[0-9A-Z]{1,}", s); }
int CREHelp::test_all_punct(const char* s) { return wholeMatch("[:punct:]+", s); }
int CREHelp::test_include_punct(const char* s) { return wholeMatch("[:print:]*[:punct:]+[:print:]*", s); }
int CREHelp::test_all_alnum(const char* s) { return wholeMatch("[:alnum:]+", s); }
int CREHelp::test_all_punctnum(const char* s) { return wholeMatch("[[:digit:][:punct:]]+", s); }
int CREHelp::test_all_alphapunct(const char* s) { return wholeMatch("[[:alpha:][:punct:]]+", s); }
