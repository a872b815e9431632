#include <gtest/gtest.h>

#include "app/capture.hpp"
#include "app/status_line.hpp"

namespace {
using namespace std::chrono_literals;
using Ending = ProgressObserver::Ending;

struct StatusLineTest : ::testing::Test {
    RecordingSink sink;
    ConsoleStream stream{"stderr", &sink};
    std::chrono::steady_clock::time_point now{};
    StatusLine::Clock clock = [this] { return now; };

    // Each write since the last call, as the terminal received it.
    std::vector<std::string> taken()
    {
        std::vector<std::string> writes = std::move(sink.writes);
        sink.writes.clear();
        return writes;
    }
};

// Back to the start of the row, then the text (built by appending: a literal before a
// temporary string sets off a false alarm of the cross compiler).
std::string drawn(const std::string& text)
{
    std::string bytes(1, '\r');
    bytes += text;
    return bytes;
}

std::string clearing(std::size_t columns)
{
    std::string bytes = drawn(std::string(columns, ' '));
    bytes += '\r';
    return bytes;
}
}

TEST_F(StatusLineTest, NewTextAtMostTwiceASecondAndClearedForGoodAtTheEnd)
{
    StatusLine line(stream, 80, clock);
    line.started(1, 10);  // nothing is shown before the stores are planned
    EXPECT_TRUE(taken().empty());

    line.planned(4, 3000);
    EXPECT_EQ(taken(), std::vector<std::string>{"\r0/4 files, 0 B of 2.9 KiB, 0 B/s, 0 failed"});
    line.started(1, 2000);
    line.sent(1, 1000);
    now += 499ms;
    line.sent(1, 1500);
    EXPECT_TRUE(taken().empty());
    now += 1ms;
    line.sent(1, 1500);
    const std::string second = "0/4 files, 1.5 KiB of 2.9 KiB, 2.9 KiB/s, 0:01 left, 0 failed";
    EXPECT_EQ(taken(), std::vector<std::string>{drawn(second)});

    // A try again starts from 0: its bytes count once for the file, every time for the rate.
    // The file then fails for good, and is no longer waited for.
    line.started(1, 2000);
    line.sent(1, 500);
    line.ended(1, Ending::failed);
    line.ended(2, Ending::unchanged);
    now += 500ms;
    line.started(2, 1000);
    // Spaces cover what the shorter text leaves of the longer one; no escape sequence needed.
    const std::string third = "1/4 files, 0 B of 2.9 KiB, 2.0 KiB/s, 0:01 left, 1 failed";
    EXPECT_EQ(taken(), std::vector<std::string>{drawn(third + "    ")});

    line.finish();
    EXPECT_EQ(taken(), std::vector<std::string>{clearing(third.size())});
    now += 1s;
    line.sent(2, 10);
    line.finish();
    EXPECT_TRUE(taken().empty());
}

TEST_F(StatusLineTest, ALogLineIsWrittenOnAClearedLineAndTheStatusComesBackAfterIt)
{
    StatusLine line(stream, 20, clock);
    auto logLine = [this](const char* text) { return [this, text] { stream.writeValue(text).flush(); }; };
    line.aside(logLine("before\r\n"));
    EXPECT_EQ(taken(), std::vector<std::string>{"before\r\n"});

    line.planned(1, 0);
    // One column less than the terminal has, so that it never wraps.
    const std::string shown = "0/1 files, 0 B of 0";
    EXPECT_EQ(taken(), std::vector<std::string>{drawn(shown)});
    line.aside(logLine("during\r\n"));
    EXPECT_EQ(taken(), (std::vector<std::string>{clearing(19), "during\r\n", drawn(shown)}));

    line.finish();
    line.aside(logLine("after\r\n"));
    EXPECT_EQ(taken(), (std::vector<std::string>{clearing(19), "after\r\n"}));
}
