// The password field's pattern matching (REHelp): a page's pattern,
// translated and compiled onto RE2, must accept exactly the texts that
// glibc's POSIX matcher accepts for the same pattern (pattern_grammar.h);
// the fixed class tests the field's checks use must agree with <ctype.h>'s
// classes in the C locale; and any bytes at all as a pattern either
// compile or match nothing, without a crash.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "REHelp.h"
#include "fuzz/fuzz_input.h"
#include "passwordfield/fuzz/pattern_grammar.h"

namespace {

using fuzz::require;

template <typename Pred>
bool all(const std::string& s, Pred pred) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!pred(c)) return false;
    return true;
}

template <typename Pred>
bool includes(const std::string& s, Pred pred) {
    bool found = false;
    for (unsigned char c : s) {
        if (!std::isprint(c)) return false;
        found = found || pred(c);
    }
    return found;
}

// The class tests against their meaning, on a C string.
void checkClasses(const std::string& s) {
    const char* t = s.c_str();
    auto digit = [](int c) { return std::isdigit(c) != 0; };
    auto alpha = [](int c) { return std::isalpha(c) != 0; };
    auto punct = [](int c) { return std::ispunct(c) != 0; };
    require((CREHelp::test_all_number(t) != 0) == all(s, digit));
    require((CREHelp::test_include_number(t) != 0) == includes(s, digit));
    require((CREHelp::test_all_letter(t) != 0) == all(s, alpha));
    require((CREHelp::test_include_letter(t) != 0) == includes(s, alpha));
    require((CREHelp::test_all_lower_letter(t) != 0) == all(s, [](int c) { return c >= 'a' && c <= 'z'; }));
    require((CREHelp::test_all_upper_letter(t) != 0) == all(s, [](int c) { return c >= 'A' && c <= 'Z'; }));
    require((CREHelp::test_all_number_lower_letter(t) != 0) ==
            all(s, [](int c) { return std::isdigit(c) || (c >= 'a' && c <= 'z'); }));
    require((CREHelp::test_all_number_upper_letter(t) != 0) ==
            all(s, [](int c) { return std::isdigit(c) || (c >= 'A' && c <= 'Z'); }));
    require((CREHelp::test_all_punct(t) != 0) == all(s, punct));
    require((CREHelp::test_include_punct(t) != 0) == includes(s, punct));
    require((CREHelp::test_all_alnum(t) != 0) == all(s, [](int c) { return std::isalnum(c) != 0; }));
    require((CREHelp::test_all_punctnum(t) != 0) ==
            all(s, [](int c) { return std::isdigit(c) || std::ispunct(c); }));
    require((CREHelp::test_all_alphapunct(t) != 0) ==
            all(s, [](int c) { return std::isalpha(c) || std::ispunct(c); }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t mode = in.byte();
    if (mode % 4 == 3) {
        // Any bytes as a page's pattern; the texts after them.
        const std::string raw = in.bytes(200);
        CRegexpT re(raw.c_str());
        while (!in.empty()) {
            const std::string text = in.bytes(64);
            const bool matched = re.MatchExact(text).IsMatched() != 0;
            require(re.compiled() || !matched);
        }
        return 0;
    }
    const patterns::Pattern pattern = patterns::make(in);
    const patterns::Posix posix(pattern.posix);
    require(posix.ok());
    CRegexpT re(pattern.page.c_str());
    require(re.compiled());
    std::vector<std::string> texts = {pattern.sample, ""};
    while (!in.empty() && texts.size() < 12) texts.push_back(in.bytes(40));
    // The sample with a byte changed, put in or taken out.
    if (!pattern.sample.empty()) {
        std::string changed = pattern.sample;
        changed[mode % changed.size()] ^= 0x20;
        texts.push_back(changed);
        texts.push_back(pattern.sample + pattern.sample.back());
        texts.push_back(pattern.sample.substr(1));
    }
    // PATTERN_TRACE=1 shows each pattern and how many texts it matched.
    static const bool trace = std::getenv("PATTERN_TRACE") != nullptr;
    int matched = 0;
    for (const std::string& raw : texts) {
        const std::string text = patterns::comparable(raw);
        matched += posix.matches(text);
        require((re.MatchExact(text).IsMatched() != 0) == posix.matches(text));
        // The class tests compile thirteen patterns: a few texts are enough.
        if (&raw - texts.data() < 4) checkClasses(text);
    }
    if (trace)
        std::fprintf(stderr, "%s | %s | %d of %zu\n", pattern.page.c_str(), pattern.posix.c_str(), matched,
                     texts.size());
    return 0;
}
