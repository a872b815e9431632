#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "app/console.hpp"
#include "app/capture.hpp"
#include "common/exception.hpp"

namespace {
TEST(FormatText, FillsPlaceholdersInOrderAndKeepsEverythingElse)
{
    EXPECT_EQ(formatText("error:\t{}\tcode: {}\tmessage: {}", {"upload x", "550", "denied"}),
              "error:\tupload x\tcode: 550\tmessage: denied");
    EXPECT_EQ(formatText("uploaded: {} files", {0u}), "uploaded: 0 files");
    EXPECT_EQ(formatText("no placeholders } here", {}), "no placeholders } here");
}

TEST(FormatText, ValueKinds)
{
    EXPECT_EQ(formatText("{} {} {}", {-42, std::numeric_limits<std::uint64_t>::max(), std::int64_t{0}}),
              "-42 18446744073709551615 0");
    EXPECT_EQ(formatText("{}|{}", {true, false}), "true|false");
    EXPECT_EQ(formatText("[{}]", {""}), "[]");
    EXPECT_EQ(formatText("{}", {std::string("\xc3\xa9t\xc3\xa9")}), "\xc3\xa9t\xc3\xa9");
}

TEST(FormatText, BracesThatAreNotPlaceholders)
{
    EXPECT_EQ(formatText("{{}}", {}), "{}}");
    EXPECT_EQ(formatText("a{{b {}", {1}), "a{b 1");
    EXPECT_EQ(formatText("{} {}", {1}), "1 {invalid index}");
    EXPECT_EQ(formatText("x {", {1}), "x {malformed format}");
    EXPECT_EQ(formatText("{} {unclosed", {1}), "1 {malformed format}");
    EXPECT_EQ(formatText("{1}{0}", {"a", "b"}), "ba");
}

TEST(FormatText, ValueHoldingPlaceholdersIsNotFilledAgain)
{
    EXPECT_EQ(formatText("{} {}", {"{}", "x"}), "{} x");
}

struct StreamTest : ::testing::Test {
    RecordingSink sink;
    ConsoleStream stream{"test out", &sink};
};

TEST_F(StreamTest, EveryLineGoesOutWholeAsItEndsWithCrLf)
{
    // To a terminal, a pipe or a file alike: a log that follows the run sees each line at once.
    for (bool interactive : {false, true}) {
        sink.writes.clear();
        sink.isInteractive = interactive;
        stream.writeLine("one {}", {1});
        stream.writeValue("C:\\data\\");
        EXPECT_EQ(sink.writes, (std::vector<std::string>{"one 1\r\n"}));
        stream.endLine();
        EXPECT_EQ(sink.writes, (std::vector<std::string>{"one 1\r\n", "C:\\data\\\r\n"}));
        stream.flush();
        EXPECT_EQ(sink.writes.size(), 2u);
    }
}

TEST_F(StreamTest, ValuesCannotBreakTheLineOrDriveTheTerminal)
{
    stream.writeLine("error:\t{}\tmessage: {}", {"upload a\x1b[2J.txt", "done\r\nuploaded: 99 files\x7f\x01"});
    stream.writeLine("{}", {"tab\tand \xc3\xa9 stay"});
    stream.flush();
    EXPECT_EQ(sink.all(), "error:\tupload a\\x1B[2J.txt\tmessage: done\\r\\nuploaded: 99 files\\x7F\\x01\r\n"
                          "tab\tand \xc3\xa9 stay\r\n");
}

TEST_F(StreamTest, AValueLongerThanTheBufferIsWrittenBeforeItsLineEnds)
{
    const std::string part(1000, 'x');
    for (int i = 0; i < 10; ++i) stream.writeValue(part);
    ASSERT_FALSE(sink.writes.empty());
    stream.endLine();
    EXPECT_EQ(sink.all().size(), 10 * part.size() + 2);
}

TEST_F(StreamTest, WriteValueKeepsBraces)
{
    stream.writeValue("usage {} {{ {").endLine();
    stream.flush();
    EXPECT_EQ(sink.all(), "usage {} {{ {\r\n");
}

TEST_F(StreamTest, ARefusedLineIsRememberedAndAFlushRaisesWithTheStreamName)
{
    sink.refuse = true;
    stream.writeLine("lost", {});
    EXPECT_TRUE(stream.failed());
    stream.writeValue("half a line");
    try {
        stream.flush();
        FAIL() << "refused write not reported";
    } catch (const IOException& e) {
        EXPECT_EQ(e.message(), "test out :: device refused");
    }
    // The refused text is not written again later.
    sink.refuse = false;
    stream.flush();
    EXPECT_TRUE(sink.writes.empty());
}

TEST_F(StreamTest, DestructionWritesOutWhatIsBuffered)
{
    RecordingSink other;
    {
        ConsoleStream shortLived("short", &other);
        shortLived.writeLine("last words", {});
    }
    EXPECT_EQ(other.all(), "last words\r\n");
}

TEST_F(StreamTest, ReplacingTheSinkFlushesToTheOldOne)
{
    stream.writeLine("before", {});
    RecordingSink next;
    EXPECT_EQ(stream.setSink(&next), &sink);
    stream.writeLine("after", {});
    stream.flush();
    EXPECT_EQ(sink.all(), "before\r\n");
    EXPECT_EQ(next.all(), "after\r\n");
}

TEST(ErrorBox, StandardOutputIsWrittenBeforeTheBox)
{
    CapturedConsole console;
    writeLine("C:\\data\\");
    EXPECT_FALSE(showErrorBox("no files need upload", "Error"));
    ASSERT_EQ(console.boxes, (std::vector<Box>{{"Error", "no files need upload"}}));
    EXPECT_EQ(console.outputAtBox.front(), "C:\\data\\\r\n");
}

TEST(ErrorBox, WithoutAWindowTheBoxIsALineOnStandardError)
{
    // No owner window was created in this process, so no native box can be shown.
    RecordingSink errors;
    bool result;
    {
        SinkOverride sinkOverride(standardError(), &errors);
        ErrorBoxOverride noHandler(nullptr);
        result = showErrorBox("Could not convert `abc` of type char[] to type uint.", "initSender Error");
    }
    EXPECT_FALSE(result);
    EXPECT_EQ(errors.all(), "initSender Error: Could not convert `abc` of type char[] to type uint.\r\n");
}
}
