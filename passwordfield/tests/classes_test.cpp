// The class tests and the pattern engine against grep's extended
// expressions in the C locale, on many random byte strings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "REHelp.h"

namespace {

// Random strings with a bias toward the classes' borders: digits, letters of
// both cases, punctuation, space and tab, control bytes and bytes from 0x80.
std::vector<std::string> randomStrings(size_t count) {
    std::mt19937 rng(20244);
    const std::string pools[] = {"0123456789",
                                 "abcxyz",
                                 "ABCXYZ",
                                 "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~",
                                 " \t",
                                 "\x01\x1f\x7f\r\x0b",
                                 "\x80\xA0\xC3\xA9\xE4\xB8\xAD\xFF"};
    std::vector<std::string> out = {"", "0", "a", "!", " ", "\t", "\xC3\xA9"};
    while (out.size() < count) {
        const size_t length = rng() % 9;
        // Most strings draw from two or three pools, so whole-class runs are common.
        std::vector<size_t> use;
        const size_t pools_in = 1 + rng() % 3;
        for (size_t i = 0; i < pools_in; ++i) use.push_back(rng() % 7);
        std::string s;
        for (size_t i = 0; i < length; ++i) {
            const std::string& pool = pools[use[rng() % use.size()]];
            s += pool[rng() % pool.size()];
        }
        out.push_back(s);
    }
    return out;
}

// Which lines of `file` grep -Ex accepts in the C locale.
std::set<size_t> grepMatches(const std::string& file, const std::string& ere) {
    const std::string command = "LC_ALL=C grep -a -n -x -E -e '" + ere + "' " + file;
    std::set<size_t> lines;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return lines;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, p) != nullptr) {
        // "N:text"; only the number matters (a line may be longer than the buffer).
        if (std::isdigit(static_cast<unsigned char>(buffer[0])))
            lines.insert(std::strtoul(buffer, nullptr, 10) - 1);
        while (std::strchr(buffer, '\n') == nullptr && std::fgets(buffer, sizeof buffer, p) != nullptr) {
        }
    }
    pclose(p);
    return lines;
}

TEST(Classes, EveryTestAgreesWithGrepInTheCLocale) {
    const auto strings = randomStrings(4000);
    const std::string file = ::testing::TempDir() + "classes-" + std::to_string(::getpid()) + ".txt";
    {
        std::ofstream out(file, std::ios::binary);
        for (const auto& s : strings) out << s << '\n';
    }
    struct Row {
        const char* name;
        int (*test)(const char*);
        const char* ere;
    } rows[] = {
        {"all_number", CREHelp::test_all_number, "[[:digit:]]+"},
        {"include_number", CREHelp::test_include_number, "[[:print:]]*[[:digit:]]+[[:print:]]*"},
        {"all_letter", CREHelp::test_all_letter, "[[:alpha:]]+"},
        {"include_letter", CREHelp::test_include_letter, "[[:print:]]*[[:alpha:]]+[[:print:]]*"},
        {"all_lower_letter", CREHelp::test_all_lower_letter, "[a-z]+"},
        {"all_upper_letter", CREHelp::test_all_upper_letter, "[A-Z]+"},
        {"all_number_lower_letter", CREHelp::test_all_number_lower_letter, "[0-9a-z]+"},
        {"all_number_upper_letter", CREHelp::test_all_number_upper_letter, "[0-9A-Z]+"},
        {"all_punct", CREHelp::test_all_punct, "[[:punct:]]+"},
        {"include_punct", CREHelp::test_include_punct, "[[:print:]]*[[:punct:]]+[[:print:]]*"},
        {"all_alnum", CREHelp::test_all_alnum, "[[:alnum:]]+"},
        {"all_punctnum", CREHelp::test_all_punctnum, "[[:digit:][:punct:]]+"},
        {"all_alphapunct", CREHelp::test_all_alphapunct, "[[:alpha:][:punct:]]+"},
    };
    for (const auto& row : rows) {
        const auto expected = grepMatches(file, row.ere);
        ASSERT_FALSE(expected.empty()) << row.name << ": grep found nothing (is grep there?)";
        size_t disagreements = 0;
        for (size_t i = 0; i < strings.size(); ++i) {
            const bool ours = row.test(strings[i].c_str()) != 0;
            if (ours != (expected.count(i) != 0) && ++disagreements <= 3)
                ADD_FAILURE() << row.name << " on \"" << strings[i] << "\": ours " << ours;
        }
        EXPECT_EQ(disagreements, 0u) << row.name;
    }
    // The default pattern, through the engine the field's checks use.
    const auto words = grepMatches(file, "\\w{0,}");
    CRegexpT word("\\w{0,}");
    for (size_t i = 0; i < strings.size(); ++i)
        EXPECT_EQ(word.MatchExact(strings[i]).IsMatched() != 0, words.count(i) != 0) << strings[i];
    std::remove(file.c_str());
}

TEST(Classes, BareClassesAreWholeBracketExpressionsOnlyWhereTheyStandAlone) {
    struct Row {
        const char* pattern;
        const char* translated;
    } rows[] = {
        {"[:digit:]+", "[[:digit:]]+"},
        {"[[:digit:][:punct:]]+", "[[:digit:][:punct:]]+"},
        {"[:^alpha:]", "[[:^alpha:]]"},
        {"[:word:]", "[:word:]"},  // not a class the field knows: a plain set
        {"\\[:digit:]", "\\[:digit:]"},
        {"[]:digit:]", "[]:digit:]"},
        {"a[:space:]*b[^:x]", "a[[:space:]]*b[^:x]"},
        {"[:print:]*[:digit:]+[:print:]*", "[[:print:]]*[[:digit:]]+[[:print:]]*"},
    };
    for (const auto& r : rows) EXPECT_EQ(CRegexpT::translate(r.pattern), r.translated) << r.pattern;
    EXPECT_FALSE(CRegexpT("[:digit:]+").MatchExact("digit").IsMatched());
    EXPECT_TRUE(CRegexpT("[:digit:]+").MatchExact("2024").IsMatched());
    EXPECT_TRUE(CRegexpT("[:^digit:]+").MatchExact("ab").IsMatched());
    EXPECT_FALSE(CRegexpT("(").compiled());
    EXPECT_FALSE(CRegexpT("(").MatchExact("").IsMatched());
    EXPECT_FALSE(CRegexpT(nullptr).MatchExact("").IsMatched());
}

}  // namespace
