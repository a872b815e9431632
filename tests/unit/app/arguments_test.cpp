#include <gtest/gtest.h>

#include "app/arguments.hpp"
#include "app/options.hpp"
#include "app/usage.hpp"
#include "common/exception.hpp"

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

// The parser as the program itself sets it up: every option it reads declared, slips refused.
Arguments declaredParser()
{
    Arguments arguments;
    declareOptions(arguments);
    return arguments;
}

std::string refusal(const Words& words)
{
    Arguments arguments = declaredParser();
    try {
        arguments.parse(words);
    } catch (const Exception& e) {
        return e.message();
    }
    return "";
}

TEST(ArgumentsSlips, NearMissOfAnOptionIsRefusedWithTheNameAsWritten)
{
    EXPECT_EQ(refusal({"--tsl=true"}), "unknown option --tsl (did you mean --tls?)");
    EXPECT_EQ(refusal({"--TLS=true"}), "unknown option --TLS (did you mean --tls?)");
    EXPECT_EQ(refusal({"-tls=true"}), "unknown option -tls (did you mean --tls?)");
    EXPECT_EQ(refusal({"--dryrun=true"}), "unknown option --dryrun (did you mean --dry-run?)");
    EXPECT_EQ(refusal({"--pasword-file=F"}), "unknown option --pasword-file (did you mean --password-file?)");
    EXPECT_EQ(refusal({"--conections=4"}), "unknown option --conections (did you mean --connections?)");
    EXPECT_EQ(refusal({"--local=x", "--Help"}), "unknown option --Help (did you mean --help?)");
    // Two slips, and the rule holds for short names too.
    EXPECT_EQ(refusal({"--usrnme=u"}), "unknown option --usrnme (did you mean --username?)");
    EXPECT_EQ(refusal({"--pot=21"}), "unknown option --pot (did you mean --port?)");
    EXPECT_EQ(refusal({"--tls-fingerprnt=AB"}), "unknown option --tls-fingerprnt (did you mean --tls-fingerprint?)");
    // The start of exactly one long name, three letters or more.
    EXPECT_EQ(refusal({"--user=u"}), "unknown option --user (did you mean --username?)");
    EXPECT_EQ(refusal({"--conn=4"}), "unknown option --conn (did you mean --connections?)");
    EXPECT_EQ(refusal({"--excl=*.log"}), "unknown option --excl (did you mean --exclude?)");
    EXPECT_EQ(refusal({"--Skip=true"}), "unknown option --Skip (did you mean --skip-unchanged?)");
    EXPECT_EQ(refusal({"--tls-ca=F"}), "unknown option --tls-ca (did you mean --tls-ca-file?)");
}

TEST(ArgumentsSlips, OptionsOneLetterNamesAndFarNamesPass)
{
    for (const Words& words : {Words{"--tls=true", "--dry-run=true", "--password-file=F", "--connections=4"},
                               Words{"--include=*.txt", "--exclude=*.log"}, Words{"-?", "--?", "-??", "-x", "--x"},
                               Words{"--help", "--version"}, Words{"--frobnicate", "--colour=red", "--verbose"},
                               // The start of several names, of none, or too short to tell.
                               Words{"--pass=x", "--remote-dir=/x", "--passw", "--re=1", "-use"}})
        EXPECT_EQ(refusal(words), "") << words.front();
}

TEST(ArgumentsSlips, EveryOptionTheUsageNamesIsDeclared)
{
    const Arguments arguments = declaredParser();
    const std::string usage = usageText();
    std::size_t named = 0;
    for (std::size_t at = usage.find("\n  --"); at != std::string::npos; at = usage.find("\n  --", at + 1)) {
        const std::size_t start = at + 5;
        const std::string name = usage.substr(start, usage.find_first_of("=, \r", start) - start);
        EXPECT_TRUE(arguments.declares(name)) << name;
        ++named;
    }
    EXPECT_GE(named, 20u);
}
}
