#include <gtest/gtest.h>

#include "app/arguments.hpp"

namespace {
using Words = std::vector<std::string>;

// The parser as the program sets it up: only `help`, with `?`, is declared.
Arguments programParser(const Words& words)
{
    Arguments arguments;
    arguments.define("help")->maxValues = 0;
    arguments.addAlias("help", "?");
    arguments.parse(words);
    return arguments;
}

TEST(ArgumentsValues, JoinedByEitherDelimiterOrGivenAsNextWord)
{
    Arguments a = programParser({"--local=C:\\data", "--host:ftp.example.com", "--port", "2121"});
    EXPECT_EQ(a.firstValue("local"), "C:\\data");
    EXPECT_EQ(a.firstValue("host"), "ftp.example.com");
    EXPECT_EQ(a.firstValue("port"), "2121");
    EXPECT_TRUE(a.unnamedValues().empty());
}

TEST(ArgumentsValues, EarliestDelimiterSplitsAndTheRestStaysWhole)
{
    Arguments a = programParser({"--local:C:\\data", "--remote=/a=b:c", "--password=x:y=z"});
    EXPECT_EQ(a.firstValue("local"), "C:\\data");
    EXPECT_EQ(a.firstValue("remote"), "/a=b:c");
    EXPECT_EQ(a.firstValue("password"), "x:y=z");
}

TEST(ArgumentsValues, EmptyValueNamesTheOptionWithoutValue)
{
    Arguments a = programParser({"--local=", "--port"});
    EXPECT_TRUE(a.isPresent("local"));
    EXPECT_TRUE(a.values("local").empty());
    EXPECT_EQ(a.firstValue("local"), "");
    EXPECT_TRUE(a.isPresent("port"));
    EXPECT_FALSE(a.isPresent("host"));
    EXPECT_EQ(a.firstValue("host"), "");
}

TEST(ArgumentsValues, ExtraWordsGoToTheLastNamedOption)
{
    Arguments a = programParser({"--local", "C:\\data", "extra"});
    EXPECT_EQ(a.values("local"), (Words{"C:\\data", "extra"}));
    EXPECT_EQ(a.firstValue("local"), "C:\\data");
}

TEST(ArgumentsValues, ValuesBeforeAnyOptionAreUnnamed)
{
    Arguments a = programParser({"stray", "", "--local=x"});
    EXPECT_EQ(a.unnamedValues(), (Words{"stray"}));
}

TEST(ArgumentsValues, HelpTakesNoValueSoItGoesToTheOptionBefore)
{
    Arguments a = programParser({"--local", "--help", "C:\\data"});
    EXPECT_TRUE(a.isPresent("help"));
    EXPECT_TRUE(a.values("help").empty());
    EXPECT_EQ(a.firstValue("local"), "C:\\data");

    Arguments onlyHelp = programParser({"--help", "after"});
    EXPECT_EQ(onlyHelp.unnamedValues(), (Words{"after"}));
    Arguments joined = programParser({"--help=now"});
    EXPECT_TRUE(joined.isPresent("help"));
    EXPECT_EQ(joined.unnamedValues(), (Words{"now"}));
}

TEST(ArgumentsValues, RepeatedOptionKeepsEveryValueInOrder)
{
    Arguments a = programParser({"--include=*.txt", "--include=*.doc"});
    EXPECT_EQ(a.values("include"), (Words{"*.txt", "*.doc"}));
    EXPECT_EQ(a.firstValue("include"), "*.txt");
    EXPECT_EQ(a.namingOrder(), (Words{"include", "include"}));
}

TEST(ArgumentsNames, ShortPrefixNamesOneOptionPerCharacter)
{
    Arguments a = programParser({"-help"});
    EXPECT_FALSE(a.isPresent("help"));
    EXPECT_EQ(a.namingOrder(), (Words{"h", "e", "l", "p"}));

    Arguments b = programParser({"-ab=v"});
    EXPECT_EQ(b.namingOrder(), (Words{"a", "b"}));
    EXPECT_EQ(b.firstValue("b"), "v");
    EXPECT_FALSE(b.isPresent("ab"));
}

TEST(ArgumentsNames, AliasStandsForHelpAfterEitherPrefix)
{
    for (const char* word : {"-?", "--?", "--help"}) {
        Arguments a = programParser({word});
        EXPECT_TRUE(a.isPresent("help")) << word;
        EXPECT_EQ(a.namingOrder(), (Words{"help"})) << word;
    }
}

TEST(ArgumentsNames, BarePrefixesAreIgnoredAndCaseMatters)
{
    Arguments a = programParser({"-", "--", "--Local=x"});
    EXPECT_TRUE(a.namingOrder() == (Words{"Local"}));
    EXPECT_FALSE(a.isPresent("local"));
    EXPECT_TRUE(a.unnamedValues().empty());
}

TEST(ArgumentsNames, DashedValueMustBeJoined)
{
    Arguments joined = programParser({"--password=-secret"});
    EXPECT_EQ(joined.firstValue("password"), "-secret");

    Arguments separate = programParser({"--password", "-secret"});
    EXPECT_EQ(separate.firstValue("password"), "");
    EXPECT_TRUE(separate.isPresent("s"));
}

TEST(ArgumentsNames, LongestPrefixWins)
{
    Arguments a;
    a.shortPrefix = {"-", "/"};
    a.longPrefix = {"--"};
    a.parse({"/x", "--y", "---z"});
    EXPECT_EQ(a.namingOrder(), (Words{"x", "y", "-z"}));
}

TEST(ArgumentsDefinitions, EmptyNameDefinesNothing)
{
    Arguments a;
    EXPECT_EQ(a.define(""), nullptr);
    EXPECT_FALSE(a.addAlias("missing", "m"));
}

TEST(ArgumentsDefinitions, RequirementsAreCheckedAfterTheLastWord)
{
    Arguments a;
    a.define("local")->required = true;
    EXPECT_ANY_THROW(a.parse({"--host=x"}));

    Arguments b;
    b.define("local")->minValues = 1;
    EXPECT_ANY_THROW(b.parse({"--local"}));
    Arguments c;
    c.define("local")->minValues = 1;
    EXPECT_NO_THROW(c.parse({"--local", "x"}));
}

TEST(ArgumentsDefinitions, LimitedOptionPassesFurtherValuesOn)
{
    Arguments a;
    a.define("one")->maxValues = 1;
    a.parse({"--other", "--one", "a", "b"});
    EXPECT_EQ(a.values("one"), (Words{"a"}));
    EXPECT_EQ(a.values("other"), (Words{"b"}));
}
}
