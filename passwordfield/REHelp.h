// Whole-string pattern matching for the password field's checks, over RE2 in
// Latin-1 mode: the subject is matched byte by byte (a UTF-8 text's non-ASCII
// bytes belong to no class), classes are the ASCII ones of the C locale, and
// matching takes time linear in the text whatever pattern a page gives.
//
// Patterns accept a POSIX class standing alone as a whole bracket expression
// ("[:digit:]+" means one or more digits), besides RE2's own syntax.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace re2 {
class RE2;
}

// A match of the whole subject.
class MatchResult {
public:
    explicit MatchResult(bool matched) : matched_(matched) {}
    int IsMatched() const { return matched_ ? 1 : 0; }

private:
    bool matched_;
};

// A compiled pattern; a pattern that does not compile matches nothing.
// Flags: none are used (0 = case-sensitive, default mode).
class CRegexpT {
public:
    explicit CRegexpT(const char* pattern, int flags = 0);
    ~CRegexpT();
    CRegexpT(const CRegexpT&) = delete;
    CRegexpT& operator=(const CRegexpT&) = delete;

    bool compiled() const;
    MatchResult MatchExact(std::string_view text) const;

    // Why a pattern did not compile. RE2 takes counted repeats up to 1000
    // (nested ones: their product up to 1000) and programs up to its memory
    // budget; larger ones are refused rather than rewritten.
    enum class Refusal { None, RepeatLimit, TooLarge, Invalid };
    Refusal refusal() const { return refusal_; }

    // The pattern as RE2 reads it: a bare "[:class:]" becomes "[[:class:]]".
    static std::string translate(std::string_view pattern);

private:
    std::unique_ptr<re2::RE2> re_;
    Refusal refusal_ = Refusal::None;
};

// Whole-string tests on a NUL-terminated byte string; non-zero on a match.
// Each compiles its pattern afresh (patterns are tiny; nothing is cached).
class CREHelp {
public:
    static int test_all_number(const char* s);
    static int test_include_number(const char* s);
    static int test_all_letter(const char* s);
    static int test_include_letter(const char* s);
    static int test_all_lower_letter(const char* s);
    static int test_all_upper_letter(const char* s);
    static int test_all_number_lower_letter(const char* s);
    static int test_all_number_upper_letter(const char* s);
    static int test_all_punct(const char* s);
    static int test_include_punct(const char* s);
    static int test_all_alnum(const char* s);
    static int test_all_punctnum(const char* s);
    static int test_all_alphapunct(const char* s);
};
