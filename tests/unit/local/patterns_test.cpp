#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <string_view>

#include "local/patterns.hpp"

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

struct MatchCase {
    std::string_view name;
    std::string_view pattern;
    bool matches;
};

const MatchCase pathExamples[] = {
    {"C:\\data\\a.txt", "*.txt", true},
    {"C:\\data\\sub\\B.TXT", "*.txt", true},
    {"C:\\data\\a.txt.bak", "*.txt", false},
    {"C:\\data\\report.txt", "report.txt", false},
    {"C:\\data\\report.txt", "*\\report.txt", true},
    {"C:\\data\\report.txt", "*/report.txt", false},
    {"C:\\d\\f.txt", "*.[tT]x?", true},
    {"C:\\d\\f.TXX", "*.[tT]x?", true},
    {"C:\\d\\f.txt", "*.[!t]xt", false},
    {"C:\\d\\f.ext", "*.[!t]xt", true},
    {" C:\\d\\f.doc", "*.txt", false},
    {" C:\\d\\f.doc", " *.doc", true},
    {"C:\\d\\f.doc", " *.doc", false},
};

const MatchCase starExamples[] = {
    {"", "*", true},
    {"anything", "*", true},
    {"", "", true},
    {"a", "", false},
    {"a", "a*", true},
    // A star that is not last needs a character after it.
    {"a", "a**", false},
    {"ab", "a**", true},
    {"", "*a", false},
    {"", "**", false},
    {"x", "**", true},
};

const MatchCase setExamples[] = {
    // No ranges: "-" is a member like any other.
    {"xa", "*[a-c]", true},
    {"x-", "*[a-c]", true},
    {"xC", "*[a-c]", true},
    {"xb", "*[a-c]", false},
    {"", "[]x", false},
    {"x", "[]x", false},
    {"]x", "[]x", false},
    {"ax", "[]x", false},
    {"[]x", "[]x", false},
    {"ax", "[!]x", true},
    {"]X", "[!]x", true},
    {"x", "[!]x", false},
    {"abx", "[!]x", false},
    // "!" negates only right after "[".
    {"!", "[a!]", true},
};

const MatchCase unclosedSetExamples[] = {
    // The members run to the end; nothing beyond the pattern is read.
    {"b", "[ab", true},
    {"c", "[ab", false},
    {"ab", "[ab", false},
    {"a", "[", false},
    {"a", "[!", true},
    {"", "[!", false},
    {"xq", "*[!a", true},
};

// Checks the literal transcription too, so that it is known to say what the rule says.
template <std::size_t N>
void expectAll(const MatchCase (&cases)[N])
{
    for (const MatchCase& c : cases) {
        EXPECT_EQ(patternMatch(c.name, c.pattern), c.matches) << "name \"" << c.name << "\" pattern \"" << c.pattern << "\"";
        EXPECT_EQ(referenceMatch(c.name, c.pattern), c.matches) << "reference, name \"" << c.name << "\"";
    }
}

TEST(PatternMatch, PathExamples)
{
    expectAll(pathExamples);
}

TEST(PatternMatch, StarsAndEmptyNames)
{
    expectAll(starExamples);
}

TEST(PatternMatch, Sets)
{
    expectAll(setExamples);
}

TEST(PatternMatch, UnclosedSetsStopAtThePatternEnd)
{
    expectAll(unclosedSetExamples);
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
