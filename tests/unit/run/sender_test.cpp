// The upload run against a scripted server: the exact lines, the pauses it takes,
// the commands it sends, and what each kind of failure costs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/config.hpp"
#include "app/capture.hpp"
#include "ftp/ftp.hpp"
#include "run/pause.hpp"
#include "app/console_log.hpp"
#include "run/sender.hpp"
#include "support/ftp_peer.hpp"

namespace {
namespace fs = std::filesystem;

// One "second" of the run's time-out lasts 200 ms here, so quiet checks stay short.
class FastFTP : public FTP {
public:
    void setTimeoutSeconds(std::uint32_t seconds) override { setTimeout(std::int64_t(seconds) * 2'000'000); }
};

class TestSender : public Sender {
public:
    using Sender::Sender;

protected:
    std::unique_ptr<FTP> makeClient() override { return std::make_unique<FastFTP>(); }
};

std::string nativeText(const fs::path& path)
{
    std::string text = path.string();
    for (char& c : text)
        if (c == '/') c = '\\';
    return text;
}

class SenderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sender.timeoutSeconds = 1;
        pauseOverride.emplace([this](std::int32_t ms) { pauses.push_back(ms); });
        root = fs::temp_directory_path() /
               ("sender_test_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(root);
        fs::create_directories(root);
        sender.local = nativeText(root) + "\\";
        sender.host = "127.0.0.1";
        sender.username = "user";
        sender.password = "secret";
        sender.remote = "/www";
    }
    void TearDown() override
    {
        pauseOverride.reset();
        config() = Config{};
        fs::remove_all(root);
    }

    // A file below the local folder, selected as the scan would select it.
    void addFile(const std::string& relative, const std::string& contents)
    {
        fs::path path = root / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << contents;
        sender.files.emplace_back(path.string());
    }
    void addFolder(const std::string& relative)
    {
        sender.folders.emplace_back(relative.empty() ? root.string() + "/" : (root / relative).string());
    }

    FtpPeer& loggedIn() { return peer.send("220 ready\r\n").reply("331 password").reply("230 welcome"); }
    // One file stored: ALLO, TYPE, PASV, STOR, the data, then the completion reply.
    FtpPeer& store(const std::string& completion = "226 done")
    {
        return peer.reply("200 allo").reply("200 type").pasv().reply("150 open").data().send(completion + "\r\n");
    }

    bool run()
    {
        sender.port = peer.start();
        bool result = sender.send();
        peer.waitForClientClose();
        return result;
    }
    std::vector<std::string> lines()
    {
        std::vector<std::string> out;
        std::string all = console.output();
        for (std::size_t start = 0, end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2)
            out.push_back(all.substr(start, end - start));
        return out;
    }
    std::vector<std::string> commandsStarting(const std::string& verb)
    {
        std::vector<std::string> out;
        for (const std::string& c : peer.commands())
            if (c.rfind(verb, 0) == 0) out.push_back(c);
        return out;
    }

    CapturedConsole console;
    FtpPeer peer;
    ConsoleLog consoleLog;
    TestSender sender{consoleLog};
    fs::path root;
    std::vector<std::int32_t> pauses;
    std::optional<PauseOverride> pauseOverride;
};
}

TEST_F(SenderTest, OneFileRunWritesTheConsoleRecordAndTakesEveryPause)
{
    addFile("report.txt", std::string(1000, 'r'));
    addFolder("");
    loggedIn().reply("250 entered");
    store();

    ASSERT_TRUE(run());
    EXPECT_EQ(peer.problem(), "");
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "1 files to backup\tcode: 000\tmessage: ",
                           "connecting...127.0.0.1\tcode: 000\tmessage: ",
                           "connected to 127.0.0.1\tcode: 500\tmessage: ",
                           "cd /www\tcode: 500\tmessage: ",
                           "uploading report.txt 1000/1000\tcode: 500\tmessage: ",
                           "uploading report.txt 1000/1000\tcode: 500\tmessage: ",
                       }));
    EXPECT_EQ(pauses, (std::vector<std::int32_t>{2000, 2000, 2000, 2000, 10, 10, 100}));
    EXPECT_EQ(peer.commands(), (std::vector<std::string>{"USER user\r\n", "PASS secret\r\n", "CWD /www\r\n",
                                                         "ALLO 1000\r\n", "TYPE I\r\n", "PASV\r\n",
                                                         "STOR report.txt\r\n", "QUIT\r\n"}));
    ASSERT_EQ(peer.dataConnections().size(), 1u);
    EXPECT_EQ(peer.dataConnections()[0].bytes, std::string(1000, 'r'));
    EXPECT_EQ(sender.storedCount(), 1u);
}

TEST_F(SenderTest, NestedFoldersAreCreatedParentsFirstAndStoredRelativeToTheRemoteFolder)
{
    addFile("a/b/deep.txt", "deep");
    addFile("a/top.txt", "top");
    addFolder("a/b");
    addFolder("a");
    addFolder("");
    loggedIn().reply("250 entered").reply("257 \"a\" created").reply("550 exists");
    store();
    store();

    ASSERT_TRUE(run());
    EXPECT_EQ(commandsStarting("MKD"), (std::vector<std::string>{"MKD a\r\n", "MKD a/b\r\n"}));
    EXPECT_EQ(commandsStarting("STOR"), (std::vector<std::string>{"STOR a/b/deep.txt\r\n", "STOR a/top.txt\r\n"}));
    EXPECT_EQ(sender.storedCount(), 2u);
    // A refused MKD writes nothing and pauses nothing.
    EXPECT_EQ(lines().size(), 4u + 2u + 2u);
}

TEST_F(SenderTest, RefusedLoginMasksThePasswordAndStopsTheRun)
{
    addFile("a.txt", "a");
    addFolder("");
    peer.send("220 ready\r\n").reply("331 password").reply("530 Login incorrect.");

    EXPECT_FALSE(run());
    auto out = lines();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2], "error:\tconnect to 127.0.0.1 Login incorrect. user ****\tcode: 000\tmessage: ");
    EXPECT_EQ(console.output().find("secret"), std::string::npos);
    EXPECT_EQ(pauses, (std::vector<std::int32_t>{2000, 2000, 2000}));
    EXPECT_TRUE(commandsStarting("STOR").empty());
}

TEST_F(SenderTest, EmptyPasswordLeavesNothingInItsPlace)
{
    addFile("a.txt", "a");
    sender.password.clear();
    sender.username = "anon";
    peer.send("220 ready\r\n").reply("530 no");

    EXPECT_FALSE(run());
    EXPECT_EQ(lines().back(), "error:\tconnect to 127.0.0.1 no anon \tcode: 000\tmessage: ");
}

TEST_F(SenderTest, ALineAfterLoginEndsTheRunWithThatLinesCodeAndMessage)
{
    addFile("a.txt", "a");
    loggedIn().send("421 going down\r\n");

    EXPECT_FALSE(run());
    EXPECT_EQ(lines().back(), "error:\tconnect to 127.0.0.1\tcode: 421\tmessage: going down");
    EXPECT_TRUE(commandsStarting("CWD").empty());
}

TEST_F(SenderTest, MissingRemoteFolderGivesTheSendCatchLine)
{
    addFile("a.txt", "a");
    loggedIn().reply("550 No such directory.");

    EXPECT_FALSE(run());
    EXPECT_EQ(lines().back(), "send catch No such directory., code 500, message , remotePath /www");
    EXPECT_EQ(commandsStarting("QUIT").size(), 1u);
}

TEST_F(SenderTest, ARefusedStoreCostsOneFileAndTheRunGoesOn)
{
    addFile("first.txt", "1");
    addFile("second.txt", "2");
    loggedIn().reply("250 entered").reply("200 allo").reply("200 type").pasv().reply("553 not allowed");
    store();

    EXPECT_TRUE(run());
    auto out = lines();
    EXPECT_NE(std::find(out.begin(), out.end(), "error:\tupload first.txt\tcode: 500\tmessage: "), out.end());
    EXPECT_EQ(sender.storedCount(), 1u);
    ASSERT_EQ(peer.dataConnections().size(), 1u);
    EXPECT_EQ(peer.dataConnections()[0].bytes, "2");
}

TEST_F(SenderTest, AReplyAfterTheTransferMarksThatFileFailed)
{
    addFile("a.txt", "a");
    loggedIn().reply("250 entered");
    store("226 done\r\n226 again");

    EXPECT_TRUE(run());
    EXPECT_EQ(lines().back(), "error:\tupload a.txt\tcode: 226\tmessage: again");
    EXPECT_EQ(sender.storedCount(), 0u);
    EXPECT_EQ(pauses.back(), 2000);
}

TEST_F(SenderTest, AFileThatVanishedSinceTheScanCostsOnlyItself)
{
    addFile("gone.txt", "g");
    addFile("kept.txt", "k");
    fs::remove(root / "gone.txt");
    loggedIn().reply("250 entered");
    store();

    EXPECT_TRUE(run());
    auto out = lines();
    EXPECT_NE(std::find(out.begin(), out.end(), "error:\tupload gone.txt\tcode: 500\tmessage: "), out.end());
    EXPECT_EQ(commandsStarting("STOR"), (std::vector<std::string>{"STOR kept.txt\r\n"}));
    EXPECT_EQ(sender.storedCount(), 1u);
}

TEST_F(SenderTest, UnreachableServerIsOneConnectLine)
{
    addFile("a.txt", "a");
    sender.host = "";
    EXPECT_FALSE(sender.send());
    EXPECT_EQ(lines().back(), "error:\tconnect to  Unable to resolve host '' user ****\tcode: 000\tmessage: ");
}

TEST(ToRemotePath, RemovesOnlyTheLeadingLocalFolder)
{
    ConsoleLog consoleLog;
    Sender sender{consoleLog};
    sender.local = "data\\";
    EXPECT_EQ(sender.toRemotePath("data\\x\\data\\y.txt"), "x/data/y.txt");
    EXPECT_EQ(sender.toRemotePath("data\\"), "");
    sender.local = "\\";
    EXPECT_EQ(sender.toRemotePath("\\srv\\a.txt"), "srv/a.txt");
    sender.local = "C:\\data\\";
    EXPECT_EQ(sender.toRemotePath("C:\\data\\sub\\deep\\a.bin"), "sub/deep/a.bin");
}

TEST(SetTimeoutSeconds, ConvertsToTicksAndClampsInsteadOfWrapping)
{
    FTP client;
    client.setTimeoutSeconds(5);
    EXPECT_EQ(client.timeout(), 50'000'000);
    client.setTimeoutSeconds(0);
    EXPECT_EQ(client.timeout(), 0);
    client.setTimeoutSeconds(4'294'967'295u);
    EXPECT_EQ(client.timeout(), std::int64_t(2'147'483'647) * 10'000);
}

TEST_F(SenderTest, UnpacedRunOverlapsCommandsAndLearnsWhatTheServerNeeds)
{
    addFile("a.txt", "abc");
    addFile("b.txt", "defg");
    sender.pacing = false;
    // An unpaced run reads the features (here: none worth knowing).
    // The way in goes in one write, TYPE I and OPTS UTF8 ON with it.
    loggedIn().reply("250 entered").reply("211 No features.").reply("200 type").reply("501 not known");
    // ALLO and PASV go out in one write; ALLO's 202 means it is not sent again.
    peer.reply("202 not needed").pasv().reply("150 open").data().send("226 done\r\n");
    // Then PASV and STOR travel together: the PASV answer is held back until STOR has
    // arrived, so a client that waited for it before sending STOR would stall here.
    peer.command().pasv(FtpPeer::DataMode::read, "227 Entering Passive Mode (", ")\r\n150 open");
    peer.data().send("226 done\r\n");

    ASSERT_TRUE(run());
    EXPECT_EQ(peer.problem(), "");
    EXPECT_EQ(peer.commands(),
              (std::vector<std::string>{"USER user\r\n", "PASS secret\r\n", "CWD /www\r\n", "FEAT\r\n", "TYPE I\r\n",
                                        "OPTS UTF8 ON\r\n", "ALLO 3\r\n", "PASV\r\n", "STOR a.txt\r\n", "PASV\r\n", "STOR b.txt\r\n", "QUIT\r\n"}));
    ASSERT_EQ(peer.dataConnections().size(), 2u);
    EXPECT_EQ(peer.dataConnections()[0].bytes, "abc");
    EXPECT_EQ(peer.dataConnections()[1].bytes, "defg");
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "2 files to backup\tcode: 000\tmessage: ",
                           "connecting...127.0.0.1\tcode: 000\tmessage: ",
                           "connected to 127.0.0.1\tcode: 500\tmessage: ",
                           "cd /www\tcode: 500\tmessage: ",
                           "uploading a.txt 3/3\tcode: 500\tmessage: ",
                           "uploading b.txt 4/4\tcode: 500\tmessage: ",
                       }));
    EXPECT_TRUE(pauses.empty());
    EXPECT_EQ(sender.storedCount(), 2u);
}

TEST_F(SenderTest, UnpacedStrayReplyFailsItsFileAndTheNextIsStoredIntact)
{
    addFile("a.txt", "abc");
    addFile("b.txt", "defg");
    sender.pacing = false;
    loggedIn().reply("250 entered").reply("211 No features.").reply("200 type").reply("501 not known");
    // ALLO answered 200: the server wants it, so it is sent for every file.
    peer.reply("200 allocated").pasv().reply("150 open").data().send("226 done\r\n200 stray\r\n");
    // More of the stray's kind may follow: the dialogue is checked before the next file.
    peer.reply("200 noop");
    peer.reply("200 allocated").pasv().reply("150 open").data().send("226 done\r\n");

    ASSERT_TRUE(run());
    EXPECT_EQ(peer.problem(), "");
    EXPECT_EQ(commandsStarting("ALLO"), (std::vector<std::string>{"ALLO 3\r\n", "ALLO 4\r\n"}));
    std::vector<std::string> out = lines();
    ASSERT_EQ(out.size(), 7u);
    EXPECT_EQ(out[5], "error:\tupload a.txt\tcode: 200\tmessage: stray");
    EXPECT_EQ(out[6], "uploading b.txt 4/4\tcode: 200\tmessage: stray");
    ASSERT_EQ(peer.dataConnections().size(), 2u);
    EXPECT_EQ(peer.dataConnections()[1].bytes, "defg");
    EXPECT_EQ(sender.storedCount(), 1u);
}
