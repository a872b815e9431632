#include <gtest/gtest.h>

#include "app/conversion.hpp"
#include "common/exception.hpp"

namespace {
// The message a conversion fails with, or "no failure".
template <class Convert>
std::string failureOf(Convert convert, const std::string& text)
{
    try {
        convert(text);
    } catch (const ConversionException& e) {
        return e.message();
    }
    return "no failure";
}

std::string unsignedFailure(const std::string& text) { return failureOf(parseUnsigned, text); }
std::string truthFailure(const std::string& text) { return failureOf(parseTruth, text); }

TEST(ParseUnsigned, BlanksAndSignsBeforeTheDigits)
{
    EXPECT_EQ(parseUnsigned("21"), 21u);
    EXPECT_EQ(parseUnsigned(" 21"), 21u);
    EXPECT_EQ(parseUnsigned("\t+21"), 21u);
    EXPECT_EQ(parseUnsigned("+-+8"), 8u);
    EXPECT_EQ(parseUnsigned("007"), 7u);
    EXPECT_EQ(parseUnsigned("4294967295"), 4294967295u);
    EXPECT_EQ(parseUnsigned("-0"), 0u);
}

TEST(ParseUnsigned, NothingToReadGivesZero)
{
    EXPECT_EQ(parseUnsigned(""), 0u);
    EXPECT_EQ(parseUnsigned(" +- "), 0u);
}

TEST(ParseUnsigned, TrailingTextIsNotANumber)
{
    EXPECT_EQ(unsignedFailure("21a"), "Could not convert `21a` of type char[] to type uint.");
    EXPECT_EQ(unsignedFailure("21 "), "Could not convert `21 ` of type char[] to type uint.");
    EXPECT_EQ(unsignedFailure("0x15"), "Could not convert `0x15` of type char[] to type uint.");
    EXPECT_EQ(unsignedFailure("abc"), "Could not convert `abc` of type char[] to type uint.");
    EXPECT_EQ(unsignedFailure("1.5"), "Could not convert `1.5` of type char[] to type uint.");
}

TEST(ParseUnsigned, OutOfRangeShowsTheNumber)
{
    EXPECT_EQ(unsignedFailure("-1"), "Could not convert `-1` of type long to type uint.");
    EXPECT_EQ(unsignedFailure(" -+-12"), "Could not convert `-12` of type long to type uint.");
    EXPECT_EQ(unsignedFailure("4294967296"), "Could not convert `4294967296` of type long to type uint.");
    EXPECT_EQ(unsignedFailure("9223372036854775807"),
              "Could not convert `9223372036854775807` of type long to type uint.");
}

TEST(ParseUnsigned, DigitsBeyondSixtyFourBitsAreNeverWrapped)
{
    // 2^64 + 21 would wrap to 21 if accumulated carelessly.
    EXPECT_EQ(unsignedFailure("18446744073709551637"),
              "Could not convert `18446744073709551637` of type char[] to type uint.");
    EXPECT_EQ(unsignedFailure("9223372036854775808"),
              "Could not convert `9223372036854775808` of type char[] to type uint.");
    EXPECT_EQ(unsignedFailure("-99999999999999999999"),
              "Could not convert `-99999999999999999999` of type char[] to type uint.");
}

TEST(ParseTruth, AnyCaseOfTrueAndFalse)
{
    EXPECT_TRUE(parseTruth("true"));
    EXPECT_TRUE(parseTruth("TRUE"));
    EXPECT_FALSE(parseTruth("False"));
    EXPECT_FALSE(parseTruth("fAlSe"));
}

TEST(ParseTruth, OtherTextsShowTheLowerCasedText)
{
    EXPECT_EQ(truthFailure("YES"), "Could not convert `yes` of type char[] to type bool.");
    EXPECT_EQ(truthFailure("1"), "Could not convert `1` of type char[] to type bool.");
    EXPECT_EQ(truthFailure(""), "Could not convert `` of type char[] to type bool.");
    EXPECT_EQ(truthFailure(" true"), "Could not convert ` true` of type char[] to type bool.");
    EXPECT_EQ(truthFailure("\xc3\x89t\xc3\xa9"), "Could not convert `\xc3\x89t\xc3\xa9` of type char[] to type bool.");
}

TEST(NarrowPort, SixteenBitsOrRefused)
{
    EXPECT_EQ(narrowPort(65535), 65535u);
    EXPECT_EQ(narrowPort(0), 0u);
    try {
        narrowPort(70000);
        FAIL() << "70000 accepted";
    } catch (const ConversionException& e) {
        EXPECT_EQ(e.message(), "Could not convert `70000` of type uint to type ushort.");
    }
    EXPECT_THROW(narrowPort(65536), ConversionException);
}
}
