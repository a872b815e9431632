// The run as the operator sees it, in-process: standard output and boxes are captured.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "app/arguments.hpp"
#include "app/capture.hpp"
#include "app/config.hpp"
#include "app/entry.hpp"
#include "app/options.hpp"
#include "app/usage.hpp"
#include "common/exception.hpp"
#include "net/socket.hpp"
#include "run/pause.hpp"
#include "app/console_log.hpp"
#include "run/sender.hpp"

namespace fs = std::filesystem;

namespace {
using Words = std::vector<std::string>;

class TempFolder {
public:
    TempFolder()
    {
        std::random_device random;
        path_ = fs::temp_directory_path() / ("ftpupload-app-" + std::to_string(random()) + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    void addFile(const std::string& name, const std::string& content = "x")
    {
        std::ofstream(path_ / name, std::ios::binary) << content;
    }
    std::string text() const { return path_.string(); }
    // The folder as the program prints it.
    std::string shown() const { return normaliseLocal(text()); }

private:
    fs::path path_;
};

struct RunFlow : ::testing::Test {
    void SetUp() override { config() = Config{}; }
    void TearDown() override { config() = Config{}; }

    int run(Words options)
    {
        options.insert(options.begin(), "ftpupload");
        return runProgram(options);
    }

    CapturedConsole console;
};

const std::string usageLine = usageText() + "\r\n";

TEST_F(RunFlow, NoOptionsPrintsUsage)
{
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(console.output(), usageLine);
    EXPECT_TRUE(console.boxes.empty());
}

TEST_F(RunFlow, HelpWithAFullCommandLinePrintsOnlyUsage)
{
    for (const char* help : {"--help", "-?", "--?"}) {
        CapturedConsole own;
        Words words{"--local=/no/such/folder", "--host=127.0.0.1", "--port=abc", "--include=[", help,
                    "--username=u",           "--password=p"};
        EXPECT_EQ(run(words), 0) << help;
        EXPECT_EQ(own.output(), usageLine) << help;
        EXPECT_TRUE(own.boxes.empty()) << help;
    }
    // --version wins over everything but help.
    CapturedConsole own;
    EXPECT_EQ(run({"--local=/no/such/folder", "--port=abc", "--version"}), 0);
    EXPECT_EQ(own.output(), std::string("ftpupload ") + FTPUPLOAD_VERSION + "\r\n");
    CapturedConsole both;
    EXPECT_EQ(run({"--version", "--help"}), 0);
    EXPECT_EQ(both.output(), usageLine);
}

TEST_F(RunFlow, UsageNamesEveryOptionWithItsDefault)
{
    const std::string usage = usageText();
    for (const char* option : {"--local", "--host", "--port", "--username", "--password", "--remote", "--passive",
                               "--timeout", "--recurse", "--include", "--exclude", "--help", "-?"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    EXPECT_NE(usage.find("(default: 21)"), std::string::npos);
    EXPECT_NE(usage.find("(default: 5)"), std::string::npos);
}

TEST_F(RunFlow, BadPortShowsTheLocalFolderThenTheBox)
{
    EXPECT_EQ(run({"--local=/tmp/x", "--port=abc"}), 1);
    EXPECT_EQ(console.output(), "\\tmp\\x\\\r\n");
    EXPECT_EQ(console.boxes, (std::vector<Box>{{"initSender Error", "Could not convert `abc` of type char[] to type uint."}}));
    EXPECT_EQ(console.outputAtBox.front(), "\\tmp\\x\\\r\n");
}

TEST_F(RunFlow, PortBeyondSixteenBitsIsRefused)
{
    EXPECT_EQ(run({"--local=/tmp/x", "--port=70000"}), 1);
    EXPECT_EQ(console.boxes, (std::vector<Box>{{"initSender Error", "Could not convert `70000` of type uint to type ushort."}}));
}

TEST_F(RunFlow, MissingLocalFolderIsRefusedBeforeAnythingIsPrinted)
{
    for (const Words& words : {Words{"--host=h"}, Words{"--local=", "--host=h"}, Words{"--local", "--port=abc"}}) {
        CapturedConsole own;
        EXPECT_EQ(run(words), 1);
        EXPECT_EQ(own.output(), "");
        ASSERT_EQ(own.boxes.size(), 1u);
        EXPECT_EQ(own.boxes[0].title, "initSender Error");
        EXPECT_NE(own.boxes[0].message.find("--local"), std::string::npos) << own.boxes[0].message;
    }
}

TEST_F(RunFlow, UnclosedPatternIsRefusedByName)
{
    TempFolder folder;
    folder.addFile("a.txt");
    EXPECT_EQ(run({"--local=" + folder.text(), "--exclude=*.tmp|[!abc"}), 1);
    ASSERT_EQ(console.boxes.size(), 1u);
    EXPECT_EQ(console.boxes[0].title, "initSender Error");
    EXPECT_NE(console.boxes[0].message.find("`[!abc`"), std::string::npos) << console.boxes[0].message;
    EXPECT_NE(console.boxes[0].message.find("--exclude"), std::string::npos);
}

TEST_F(RunFlow, FirstFailingOptionInReadingOrderIsReported)
{
    Arguments arguments;
    arguments.parse({"--local=D:", "--passive=YES", "--port=99999999999", "--host=h"});
    ConsoleLog consoleLog;
    Sender sender{consoleLog};
    bool scanErrors = false;
    try {
        readOptions(arguments, sender, scanErrors);
        FAIL() << "bad values accepted";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Could not convert `99999999999` of type long to type uint.");
    }
    // What was read before the failure stays read.
    EXPECT_EQ(sender.local, "D:\\");
    EXPECT_EQ(sender.host, "h");
    EXPECT_TRUE(sender.passive);
}

TEST_F(RunFlow, EmptyFolderNeedsNoUpload)
{
    TempFolder folder;
    EXPECT_EQ(run({"--local=" + folder.text()}), 0);
    EXPECT_EQ(console.output(), folder.shown() + "\r\n");
    EXPECT_EQ(console.boxes, (std::vector<Box>{{"Error", "no files need upload"}}));
}

TEST_F(RunFlow, UnreadableFolderIsReportedAndFails)
{
    TempFolder folder;
    const std::string missing = folder.text() + "/missing";
    EXPECT_EQ(run({"--local=" + missing}), 1);
    const std::string out = console.output();
    EXPECT_EQ(out.rfind(normaliseLocal(missing) + "\r\nerror:\t", 0), 0u) << out;
    EXPECT_NE(out.find("\tcode: 000\tmessage: \r\n"), std::string::npos) << out;
    EXPECT_EQ(console.boxes, (std::vector<Box>{{"Error", "no files need upload"}}));
}

TEST_F(RunFlow, BoxThatFailsEndsInTheLastResort)
{
    setErrorBoxHandler([this](const std::string& message, const std::string& title) {
        console.boxes.push_back({title, message});
        throw Exception("box broke");
    });
    EXPECT_EQ(run({"--local=/tmp/x", "--port=abc"}), 1);
    ASSERT_EQ(console.boxes.size(), 2u);
    EXPECT_EQ(console.boxes[0].title, "initSender Error");
    EXPECT_EQ(console.boxes[1], (Box{"main Error", "box broke"}));
}

// A loopback port that was free a moment ago and has no listener now.
std::uint16_t closedPort()
{
    Socket probe = Socket::create();
    probe.bindAndListen(IpAddress::loopback(0), 1);
    std::uint16_t port = probe.localAddress().port();
    probe.close();
    return port;
}

TEST_F(RunFlow, FailedUploadNamesTheFolderAndFails)
{
    TempFolder folder;
    folder.addFile("a.txt");
    PauseOverride noPauses([](std::int32_t) {});
    int status = run({"--local=" + folder.text(), "--host=127.0.0.1", "--port=" + std::to_string(closedPort()),
                      "--timeout=1"});
    EXPECT_EQ(status, 1);
    const std::string out = console.output();
    const std::string last = "upload failed: " + folder.shown() + "\r\n";
    ASSERT_GE(out.size(), last.size());
    EXPECT_EQ(out.substr(out.size() - last.size()), last) << out;
    EXPECT_EQ(out.rfind(folder.shown() + "\r\n", 0), 0u) << out;
    EXPECT_TRUE(console.boxes.empty());
}

TEST_F(RunFlow, SummaryCountsStoredFilesAndSetsTheStatus)
{
    ConsoleLog consoleLog;
    Sender sender{consoleLog};
    sender.local = "C:\\data\\";
    EXPECT_EQ(reportOutcome(sender, true, false), 0);
    EXPECT_EQ(reportOutcome(sender, true, true), 1);
    EXPECT_EQ(reportOutcome(sender, false, false), 1);
    sender.files.resize(2);
    // Nothing was stored of two selected files: the count says so and the run failed.
    EXPECT_EQ(reportOutcome(sender, true, false), 1);
    EXPECT_EQ(console.output(), "uploaded: 0 files\r\nuploaded: 0 files\r\nupload failed: C:\\data\\\r\n"
                                "uploaded: 0 files\r\n");
}

struct ReadOptions : RunFlow {
    bool read(const Words& words)
    {
        arguments.parse(words);
        return readOptions(arguments, sender, scanErrors);
    }
    Arguments arguments;
    ConsoleLog consoleLog;
    Sender sender{consoleLog};
    bool scanErrors = true;
};

TEST_F(ReadOptions, FillsSenderAndConfig)
{
    TempFolder folder;
    folder.addFile("a.txt");
    folder.addFile("b.doc");
    ASSERT_TRUE(read({"--local=" + folder.text(), "--host=ftp.example.com", "--remote=/www/", "--username=u",
                      "--password=-p:w", "--port=2121", "--passive=False", "--timeout= 30", "--recurse=FALSE",
                      "--include=*.txt|*.doc", "--include=*.bin", "--exclude=*\\b.*"}));
    EXPECT_FALSE(scanErrors);
    EXPECT_EQ(sender.local, folder.shown());
    EXPECT_EQ(sender.host, "ftp.example.com");
    EXPECT_EQ(sender.remote, "/www");
    EXPECT_EQ(sender.username, "u");
    EXPECT_EQ(sender.password, "-p:w");
    EXPECT_EQ(sender.port, 2121u);
    EXPECT_FALSE(sender.passive);
    EXPECT_EQ(config().timeoutSeconds, 30u);
    EXPECT_FALSE(config().recurse);
    EXPECT_EQ(config().includePatterns, (Words{"*.txt", "*.doc"}));
    EXPECT_EQ(config().excludePatterns, (Words{"*\\b.*"}));
    ASSERT_EQ(sender.files.size(), 1u);
    EXPECT_EQ(sender.files[0].file(), "a.txt");
    EXPECT_EQ(console.output(), folder.shown() + "\r\n");
    EXPECT_TRUE(console.boxes.empty());
}

TEST_F(ReadOptions, AbsentOptionsKeepTheDefaults)
{
    TempFolder folder;
    folder.addFile("a.txt");
    ASSERT_TRUE(read({"--local", folder.text(), "extra"}));
    EXPECT_EQ(sender.local, folder.shown());
    EXPECT_EQ(sender.port, 21u);
    EXPECT_TRUE(sender.passive);
    EXPECT_EQ(sender.host, "");
    EXPECT_EQ(sender.remote, "");
    EXPECT_EQ(config().timeoutSeconds, 5u);
    EXPECT_TRUE(config().recurse);
    EXPECT_TRUE(config().includePatterns.empty());
    EXPECT_EQ(sender.files.size(), 1u);
}

TEST_F(ReadOptions, ValuelessNumbersAreZeroAndValuelessTruthsFailButSwitchesAreOn)
{
    TempFolder folder;
    folder.addFile("a.txt");
    ASSERT_TRUE(read({"--local=" + folder.text(), "--timeout", "--port=", "--dry-run", "--delete", "--atomic",
                      "--hidden", "--skip-unchanged", "--checksum", "--pacing", "--progress", "--active", "--staged"}));
    EXPECT_EQ(sender.port, 0u);
    EXPECT_EQ(config().timeoutSeconds, 0u);
    EXPECT_TRUE(sender.dryRun && sender.deleteGone && sender.atomic && config().hidden && sender.skipUnchanged &&
                sender.checksum && sender.pacing && config().progress && sender.active && sender.staged && sender.atomic);

    for (const char* described : {"--passive", "--recurse", "--boxes"}) {
        Arguments bare;
        bare.parse({"--local=" + folder.text(), described});
        try {
            readOptions(bare, sender, scanErrors);
            ADD_FAILURE() << "valueless " << described << " accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.message(), "Could not convert `` of type char[] to type bool.") << described;
        }
    }
}

TEST(Normalise, LocalGetsBackslashesAndOneTrailingBackslash)
{
    EXPECT_EQ(normaliseLocal("C:/data/in"), "C:\\data\\in\\");
    EXPECT_EQ(normaliseLocal("C:\\data\\"), "C:\\data\\");
    EXPECT_EQ(normaliseLocal("D:"), "D:\\");
    EXPECT_EQ(normaliseLocal("/"), "\\");
    EXPECT_EQ(normaliseLocal("/srv/site/"), "\\srv\\site\\");
}

TEST(Normalise, RemoteLosesOneTrailingSlash)
{
    EXPECT_EQ(normaliseRemote("/"), "/");
    EXPECT_EQ(normaliseRemote("/www/"), "/www");
    EXPECT_EQ(normaliseRemote("/www//"), "/www/");
    EXPECT_EQ(normaliseRemote("/www\\"), "/www\\");
    EXPECT_EQ(normaliseRemote(""), "");
}
}
