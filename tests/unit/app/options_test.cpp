// Options that name local files: what the program takes from them and what it refuses.
#include <gtest/gtest.h>

#include <set>

#include "app/arguments.hpp"
#include "app/capture.hpp"
#include "app/config.hpp"
#include "app/entry.hpp"
#include "app/options.hpp"
#include "common/rate_limit.hpp"
#include "local/scan_support.hpp"
#include "app/console_log.hpp"
#include "run/sender.hpp"

namespace {
using Words = std::vector<std::string>;

struct OptionFiles : ::testing::Test {
    void SetUp() override { config() = Config{}; }
    void TearDown() override { config() = Config{}; }

    // Declared before the sender of each test, so a trace it holds open is closed before removal.
    scantest::TempTree tree;
    CapturedConsole console;
};

TEST_F(OptionFiles, PasswordFileLosesItsUtf8MarkAndUtf16IsRefused)
{
    tree.file("data/a.txt");
    Arguments arguments;
    arguments.parse({"--local=" + tree.at("data"), "--password-file=" + tree.file("mark.txt", "\xEF\xBB\xBFsecret\r\n")});
    ConsoleLog consoleLog;
    Sender sender{consoleLog};
    bool scanErrors = true;
    ASSERT_TRUE(readOptions(arguments, sender, scanErrors));
    EXPECT_EQ(sender.password, "secret");

    using namespace std::string_literals;
    for (const std::string& text : {"\xFF\xFEs\0e\0"s, "\xFE\xFF\0s\0e"s, "s\0e\0\r\0\n\0"s}) {
        CapturedConsole own;
        const Words words{"ftpupload", "--local=" + tree.at("data"), "--host=127.0.0.1", "--port=1", "--timeout=1",
                          "--password-file=" + tree.file("utf16.txt", text)};
        EXPECT_EQ(runProgram(words), 1);
        EXPECT_EQ(own.boxes, (std::vector<Box>{{"initSender Error", "password file is UTF-16; save it as UTF-8"}}));
        EXPECT_EQ(own.output(), normaliseLocal(tree.at("data")) + "\r\n");
    }
}

TEST_F(OptionFiles, TheTraceIsLeftOutOfTheUploadHoweverItsPathIsSpelt)
{
    tree.file("data/a.txt");
    tree.file("data/sub/run.trace");  // the same name, another file: it is uploaded
    Arguments arguments;
    arguments.parse({"--local=" + tree.at("data"), "--trace=" + tree.at("data/sub/../run.trace")});
    ConsoleLog consoleLog;
    Sender sender{consoleLog};
    bool scanErrors = true;
    ASSERT_TRUE(readOptions(arguments, sender, scanErrors));
    std::set<std::string> sent;
    for (const FilePath& file : sender.files) sent.insert(file.path());
    EXPECT_EQ(sent, (std::set<std::string>{tree.at("data/a.txt"), tree.at("data/sub/run.trace")}));
}
}

namespace {
TEST_F(OptionFiles, ImplicitTlsTakesPort990UnlessAPortIsGiven)
{
    tree.file("data/a.txt");
    ConsoleLog consoleLog;
    bool scanErrors = false;
    for (const auto& [words, port] : {std::pair<Words, std::uint32_t>{{"--tls=Implicit"}, 990u},
                                      {{"--tls=implicit", "--port=2121"}, 2121u},
                                      {{"--tls=true"}, 21u}}) {
        Arguments arguments;
        declareOptions(arguments);
        Words all{"--local=" + tree.at("data")};
        all.insert(all.end(), words.begin(), words.end());
        arguments.parse(all);
        Sender sender{consoleLog};
        ASSERT_TRUE(readOptions(arguments, sender, scanErrors));
        EXPECT_EQ(sender.port, port) << words[0];
        EXPECT_TRUE(sender.tls.enabled);
        EXPECT_EQ(sender.tls.implicit, words[0] != "--tls=true");
    }
}
}

namespace {
TEST_F(OptionFiles, RateLimitTakesCurlsUnitsAndRefusesWhatIsNoRate)
{
    tree.file("data/a.txt");
    ConsoleLog consoleLog;
    bool scanErrors = false;
    for (const auto& [value, rate] : {std::pair<std::string, std::uint64_t>{"7", 7}, {"500K", 512000},
                                      {"2m", 2097152}, {"1G", 1073741824}}) {
        Arguments arguments;
        declareOptions(arguments);
        arguments.parse({"--local=" + tree.at("data"), "--limit-rate=" + value});
        Sender sender{consoleLog};
        ASSERT_TRUE(readOptions(arguments, sender, scanErrors));
        ASSERT_TRUE(sender.rateLimit) << value;
        EXPECT_EQ(sender.rateLimit->bytesPerSecond(), rate) << value;
    }
    for (const std::string value : {"0", "0K", "1.5M", "K", "2MB"}) {
        CapturedConsole own;
        const Words words{"ftpupload", "--local=" + tree.at("data"), "--host=127.0.0.1", "--port=1",
                          "--limit-rate=" + value};
        EXPECT_EQ(runProgram(words), 1) << value;
        ASSERT_EQ(own.boxes.size(), 1u) << value;
        EXPECT_EQ(own.boxes[0].title, "initSender Error") << value;
    }
}
}
