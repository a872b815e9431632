#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <string_view>

#include "scan/patterns.hpp"

namespace {

// The matching rule written out literally, recursion and all: the fast matcher
// must agree with it on every input. An unclosed set runs to the pattern's end.
bool referenceMatch(std::string_view name, std::string_view pattern)
{
    std::size_t p = 0;
    std::size_t n = 0;
    while (p < pattern.size()) {
        char c = pattern[p];
        if (c == '*') {
            if (p + 1 == pattern.size()) return true;
            for (std::size_t s = n; s < name.size(); ++s)
                if (referenceMatch(name.substr(s), pattern.substr(p + 1))) return true;
            return false;
        }
        if (c == '?') {
            if (n >= name.size()) return false;
            ++n;
        } else if (c == '[') {
            if (n >= name.size()) return false;
            unsigned char x = static_cast<unsigned char>(name[n++]);
            ++p;
            bool negated = false;
            if (p < pattern.size() && pattern[p] == '!') {
                negated = true;
                ++p;
            }
            bool found = false;
            for (; p < pattern.size() && pattern[p] != ']'; ++p)
                if (charMatch(x, static_cast<unsigned char>(pattern[p]))) found = true;
            if (found == negated) return false;
        } else {
            if (n >= name.size() || !charMatch(static_cast<unsigned char>(name[n]), static_cast<unsigned char>(c)))
                return false;
            ++n;
        }
        ++p;
    }
    return n == name.size();
}

std::string randomText(std::mt19937& random, std::string_view alphabet, std::size_t maxLength)
{
    std::uniform_int_distribution<std::size_t> length(0, maxLength);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string text(length(random), ' ');
    for (char& c : text) c = alphabet[pick(random)];
    return text;
}

TEST(PatternMatch, AgreesWithTheRecursiveRuleOnGeneratedInputs)
{
    std::mt19937 random(20261208);
    const std::string_view patternAlphabet = "*?[]!-\\aAbB";
    const std::string_view nameAlphabet = "aAbB-!\\[]";
    int matched = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string pattern = randomText(random, patternAlphabet, 9);
        std::string name = randomText(random, nameAlphabet, 8);
        bool expected = referenceMatch(name, pattern);
        ASSERT_EQ(patternMatch(name, pattern), expected) << "name \"" << name << "\" pattern \"" << pattern << "\"";
        matched += expected;
    }
    // The inputs must exercise both outcomes for the comparison to mean anything.
    EXPECT_GT(matched, 5000);
}

TEST(PatternMatch, PathExamples)
{
    EXPECT_TRUE(patternMatch("C:\\data\\a.txt", "*.txt"));
    EXPECT_TRUE(patternMatch("C:\\data\\sub\\B.TXT", "*.txt"));
    EXPECT_FALSE(patternMatch("C:\\data\\a.txt.bak", "*.txt"));
    EXPECT_FALSE(patternMatch("C:\\data\\report.txt", "report.txt"));
    EXPECT_TRUE(patternMatch("C:\\data\\report.txt", "*\\report.txt"));
    EXPECT_FALSE(patternMatch("C:\\data\\report.txt", "*/report.txt"));
    EXPECT_TRUE(patternMatch("C:\\d\\f.txt", "*.[tT]x?"));
    EXPECT_TRUE(patternMatch("C:\\d\\f.TXX", "*.[tT]x?"));
    EXPECT_FALSE(patternMatch("C:\\d\\f.txt", "*.[!t]xt"));
    EXPECT_TRUE(patternMatch("C:\\d\\f.ext", "*.[!t]xt"));
    EXPECT_FALSE(patternMatch(" C:\\d\\f.doc", "*.txt"));
    EXPECT_TRUE(patternMatch(" C:\\d\\f.doc", " *.doc"));
    EXPECT_FALSE(patternMatch("C:\\d\\f.doc", " *.doc"));
}

TEST(PatternMatch, StarsAndEmptyNames)
{
    EXPECT_TRUE(patternMatch("", "*"));
    EXPECT_TRUE(patternMatch("anything", "*"));
    EXPECT_TRUE(patternMatch("", ""));
    EXPECT_FALSE(patternMatch("a", ""));
    EXPECT_TRUE(patternMatch("a", "a*"));
    // A star that is not last needs a character after it.
    EXPECT_FALSE(patternMatch("a", "a**"));
    EXPECT_TRUE(patternMatch("ab", "a**"));
    EXPECT_FALSE(patternMatch("", "*a"));
    EXPECT_FALSE(patternMatch("", "**"));
    EXPECT_TRUE(patternMatch("x", "**"));
}

TEST(PatternMatch, Sets)
{
    // No ranges: "-" is a member like any other.
    EXPECT_TRUE(patternMatch("xa", "*[a-c]"));
    EXPECT_TRUE(patternMatch("x-", "*[a-c]"));
    EXPECT_TRUE(patternMatch("xC", "*[a-c]"));
    EXPECT_FALSE(patternMatch("xb", "*[a-c]"));
    for (std::string_view name : {"", "x", "]x", "ax", "[]x"}) EXPECT_FALSE(patternMatch(name, "[]x")) << name;
    EXPECT_TRUE(patternMatch("ax", "[!]x"));
    EXPECT_TRUE(patternMatch("]X", "[!]x"));
    EXPECT_FALSE(patternMatch("x", "[!]x"));
    EXPECT_FALSE(patternMatch("abx", "[!]x"));
    // "!" negates only right after "[".
    EXPECT_TRUE(patternMatch("!", "[a!]"));
}

TEST(PatternMatch, UnclosedSetsStopAtThePatternEnd)
{
    // The members run to the end; nothing beyond the pattern is read.
    EXPECT_TRUE(patternMatch("b", "[ab"));
    EXPECT_FALSE(patternMatch("c", "[ab"));
    EXPECT_FALSE(patternMatch("ab", "[ab"));
    EXPECT_FALSE(patternMatch("a", "["));
    EXPECT_TRUE(patternMatch("a", "[!"));
    EXPECT_FALSE(patternMatch("", "[!"));
    EXPECT_TRUE(patternMatch("xq", "*[!a"));
}

TEST(PatternMatch, ManyStarsStayFast)
{
    std::string pattern;
    for (int i = 0; i < 40; ++i) pattern += "*a";
    pattern += "*b";
    const std::string name(3000, 'a');
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(patternMatch(name, pattern));
    EXPECT_TRUE(patternMatch(name + "cb", pattern));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(CharMatch, FoldsOnlyAsciiLetters)
{
    EXPECT_TRUE(charMatch('a', 'A'));
    EXPECT_TRUE(charMatch('Z', 'z'));
    EXPECT_TRUE(charMatch('5', '5'));
    EXPECT_FALSE(charMatch('@', '`'));   // 0x40 / 0x60
    EXPECT_FALSE(charMatch('[', '{'));   // 0x5B / 0x7B
    EXPECT_FALSE(charMatch(0xE9, 0xC9)); // bytes of multi-byte characters never fold
    EXPECT_FALSE(charMatch('/', '\\'));
}

TEST(SplitPatterns, EveryPieceCounts)
{
    using List = std::vector<std::string>;
    EXPECT_EQ(splitPatterns("*.txt|*.doc"), (List{"*.txt", "*.doc"}));
    EXPECT_EQ(splitPatterns("*.txt||"), (List{"*.txt", "", ""}));
    EXPECT_EQ(splitPatterns("*.txt| *.doc"), (List{"*.txt", " *.doc"}));
    EXPECT_EQ(splitPatterns(""), (List{""}));
    EXPECT_EQ(splitPatterns("|"), (List{"", ""}));
    EXPECT_EQ(splitPatterns("one"), (List{"one"}));
}

TEST(PatternWellFormed, RefusesOnlyUnclosedSets)
{
    for (std::string_view good : {"", "*.txt", "[]x", "[!]x", "[ab]*", "a]b", "[[]", "[!a][b]"})
        EXPECT_TRUE(patternWellFormed(good)) << good;
    for (std::string_view bad : {"[", "[!", "*.[tx", "[a]*[b", "[!]x["})
        EXPECT_FALSE(patternWellFormed(bad)) << bad;
}

}
