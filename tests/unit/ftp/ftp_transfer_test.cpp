#include <gtest/gtest.h>

#include <cstdio>

#include "common/sha256.hpp"
#include "net/net_exception.hpp"
#include "support/ftp_fixture.hpp"

using namespace ftptest;

namespace {
using Commands = std::vector<std::string>;

std::string pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return bytes;
}

// Far more bytes than any socket buffer holds, made up as they are read.
class EndlessSource : public ByteSource {
public:
    std::size_t read(char* buffer, std::size_t capacity) override
    {
        std::fill(buffer, buffer + capacity, 'z');
        return capacity;
    }
};

class FtpTransferTest : public FtpTest {
protected:
    std::vector<std::uint64_t> progress;
    ProgressCallback record = [this](std::uint64_t total) { progress.push_back(total); };

    // Commands after USER and PASS.
    Commands afterLogin() const
    {
        Commands all = peer.commands();
        return Commands(all.begin() + std::min<std::size_t>(2, all.size()), all.end());
    }
};
}

TEST_F(FtpTransferTest, StoreSendsAlloTypePasvStorAndEveryByte)
{
    const std::string contents = pattern(20000);
    login(peer).reply("200 ALLO ok").reply("200 Type set to I").pasv().reply("150 Ok to send data").data().send(
        "226 Transfer complete\r\n");
    connectClient();
    client.putFile("/remote/dir/file.bin", makeFile(contents), record, FtpFormat::image);
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(afterLogin(), (Commands{"ALLO 20000\r\n", "TYPE I\r\n", "PASV\r\n", "STOR /remote/dir/file.bin\r\n"}));
    ASSERT_EQ(peer.dataConnections().size(), 1u);
    EXPECT_TRUE(peer.dataConnections()[0].endedByClient);
    EXPECT_EQ(peer.dataConnections()[0].bytes, contents);
    EXPECT_EQ(progress, (std::vector<std::uint64_t>{8192, 16384, 20000, 20000}));
}

TEST_F(FtpTransferTest, EmptyFileSendsOneZeroPass)
{
    login(peer).reply("202 not needed").reply("200 ok").pasv().reply("125 go").data().send("226 done\r\n");
    connectClient();
    client.putFile("empty", makeFile(""), record, FtpFormat::ascii);
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(afterLogin(), (Commands{"ALLO 0\r\n", "TYPE A\r\n", "PASV\r\n", "STOR empty\r\n"}));
    EXPECT_EQ(progress, std::vector<std::uint64_t>{0});
    EXPECT_TRUE(peer.dataConnections()[0].endedByClient);
    EXPECT_EQ(peer.dataConnections()[0].bytes, "");
}

TEST_F(FtpTransferTest, CompletionWith250IsAcceptedAndOthersAreNot)
{
    login(peer)
        .reply("200 ok").reply("200 ok").pasv().reply("150 go").data().send("250 stored\r\n")
        .reply("200 ok").reply("200 ok").pasv(FtpPeer::DataMode::read, "227 =", "").reply("150 go").data()
        .send("451 disk trouble\r\n")
        .reply("250 still in step");
    connectClient();
    std::string file = makeFile("abc");
    EXPECT_NO_THROW(client.putFile("one", file, nullptr, FtpFormat::image));
    try {
        client.putFile("two", file, nullptr, FtpFormat::image);
        FAIL() << "451 accepted";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.toString(), "451 disk trouble");
    }
    EXPECT_NO_THROW(client.changeDirectory("/"));
}

TEST_F(FtpTransferTest, RefusedStorClosesTheDataConnection)
{
    login(peer).reply("200 ok").reply("200 ok").pasv().reply("553 Could not create file.").data().reply("250 ok");
    connectClient();
    try {
        client.putFile("x", makeFile("data"), record, FtpFormat::image);
        FAIL() << "refusal accepted";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.toString(), "553 Could not create file.");
    }
    client.changeDirectory("/");
    ASSERT_TRUE(peer.waitForScript());
    ASSERT_EQ(peer.dataConnections().size(), 1u);
    EXPECT_TRUE(peer.dataConnections()[0].endedByClient);
    EXPECT_EQ(peer.dataConnections()[0].bytes, "");
    EXPECT_TRUE(progress.empty());
}

TEST_F(FtpTransferTest, AlloRefusalsThatMeanNotNeeded)
{
    login(peer)
        .reply("502 ALLO not implemented").reply("200 ok").pasv().reply("550 Permission denied").data()
        .reply("504 not for this type").reply("200 ok").pasv().reply("150 go").data().send("226 done\r\n")
        .reply("500 Unknown command").reply("200 ok").pasv().reply("150 go").data().send("226 done\r\n")
        .reply("452 no room");
    connectClient();
    std::string file = makeFile("abc");
    // A server without ALLO still gets the store, and its refusal of the store counts.
    try {
        client.putFile("a", file, nullptr, FtpFormat::image);
        FAIL() << "550 accepted";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.code(), "550");
    }
    EXPECT_NO_THROW(client.putFile("b", file, nullptr, FtpFormat::image));
    EXPECT_NO_THROW(client.putFile("c", file, nullptr, FtpFormat::image));
    try {
        client.putFile("d", file, nullptr, FtpFormat::image);
        FAIL() << "452 accepted";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.toString(), "452 no room");
    }
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(peer.commands().back(), "ALLO 3\r\n");
}

TEST_F(FtpTransferTest, SilenceAfterAlloIsNotTakenForConsent)
{
    login(peer).command().reply("200 late");
    connectClient();
    try {
        client.putFile("a", makeFile("abc"), nullptr, FtpFormat::image);
        FAIL() << "silence accepted";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.toString(), "420 no reply within 200 ms");
    }
    // The late "200" answers ALLO, not whatever is sent next.
    EXPECT_TRUE(client.outOfStep());
}

TEST_F(FtpTransferTest, MissingLocalFileFailsBeforeAnythingIsSent)
{
    login(peer);
    connectClient();
    const std::string missing = makeFile("") + "-missing";
    try {
        client.putFile("x", missing, record, FtpFormat::image);
        FAIL() << "opened";
    } catch (const IOException& e) {
        EXPECT_EQ(e.message().rfind(missing + " :: ", 0), 0u) << e.message();
        EXPECT_GT(e.message().size(), missing.size() + 4);
    }
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_TRUE(afterLogin().empty());
}

TEST_F(FtpTransferTest, StalledDataConnectionTimesOutAndLeavesTheConnectionInStep)
{
    login(peer)
        .reply("200 ok")
        .pasv(FtpPeer::DataMode::stall)
        .reply("150 go")
        .data()
        .send("426 Connection closed; transfer aborted.\r\n")
        .reply("250 CWD ok");
    connectClient();
    EndlessSource endless;
    std::uint64_t sent = 0;
    auto start = Clock::now();
    Clock::time_point lastProgress = start;
    try {
        client.storeStream("big", &endless,
                           [&](std::uint64_t total) {
                               if (total != sent) lastProgress = Clock::now();
                               sent = total;
                           },
                           FtpFormat::image);
        FAIL() << "a stalled transfer succeeded";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.code(), "420");
        EXPECT_EQ(e.message(), "CLIENT: Timeout when sending data");
    }
    auto total = elapsedSince(start);
    auto afterStall = elapsedSince(lastProgress);
    std::printf("stalled transfer: %lld ms in all, %lld ms after the last byte was taken, %llu bytes sent\n",
                static_cast<long long>(total.count()), static_cast<long long>(afterStall.count()),
                static_cast<unsigned long long>(sent));
    EXPECT_GT(sent, 0u);
    EXPECT_GE(afterStall, milliseconds(190));
    EXPECT_LT(afterStall, milliseconds(1000));
    EXPECT_LT(total, milliseconds(5000));
    // The abort's 426 was consumed: the next command gets its own reply.
    EXPECT_NO_THROW(client.changeDirectory("/next"));
    ASSERT_TRUE(peer.waitForScript());
    ASSERT_EQ(peer.dataConnections().size(), 1u);
    EXPECT_TRUE(peer.dataConnections()[0].reset);
    EXPECT_EQ(peer.commands().back(), "CWD /next\r\n");
}

TEST_F(FtpTransferTest, DataConnectionClosedByTheServerFailsTheTransfer)
{
    login(peer)
        .reply("200 ok")
        .pasv(FtpPeer::DataMode::closeAtOnce)
        .reply("150 go")
        .data()
        .send("426 aborted\r\n")
        .reply("257 \"/made\"");
    connectClient();
    EndlessSource endless;
    try {
        client.storeStream("big", &endless, nullptr, FtpFormat::image);
        FAIL() << "succeeded";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.toString(), "420 CLIENT: Timeout when sending data");
    }
    EXPECT_EQ(client.makeDirectory("/made"), "/made");
}

TEST_F(FtpTransferTest, FailingProgressCallbackAbortsTheTransfer)
{
    login(peer).reply("200 ok").reply("200 ok").pasv().reply("150 go").data().send("426 aborted\r\n").reply(
        "250 ok");
    connectClient();
    ProgressCallback failing = [](std::uint64_t) { throw IOException("stop"); };
    EXPECT_THROW(client.putFile("x", makeFile(pattern(100000)), failing, FtpFormat::image), IOException);
    EXPECT_NO_THROW(client.changeDirectory("/"));
    ASSERT_TRUE(peer.waitForScript());
    ASSERT_EQ(peer.dataConnections().size(), 1u);
    EXPECT_LT(peer.dataConnections()[0].bytes.size(), 100000u);
}

TEST_F(FtpTransferTest, CommandInjectionThroughTheRemotePathIsRefused)
{
    login(peer).reply("200 ok").reply("200 ok").pasv().command();
    connectClient();
    try {
        client.putFile("evil\r\nDELE important", makeFile("abc"), nullptr, FtpFormat::image);
        FAIL() << "sent";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.code(), "501");
    }
    EXPECT_EQ(afterLogin(), (Commands{"ALLO 3\r\n", "TYPE I\r\n", "PASV\r\n"}));
}

TEST_F(FtpTransferTest, RefusedDataConnectionFailsAtOnceAndSendsNoStor)
{
    std::uint16_t closedPort;
    {
        Socket probe = Socket::create();
        probe.bindAndListen(IpAddress::loopback(0), 1);
        closedPort = probe.localAddress().port();
    }
    login(peer)
        .reply("200 ok")
        .reply("200 ok")
        .reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(closedPort >> 8) + "," +
               std::to_string(closedPort & 0xFF) + ")")
        .reply("250 ok");
    connectClient();
    try {
        client.putFile("x", makeFile("abc"), nullptr, FtpFormat::image);
        FAIL() << "stored without a data connection";
    } catch (const SocketException& e) {
        EXPECT_EQ(e.message().rfind("Unable to connect socket: ", 0), 0u) << e.message();
    }
    client.changeDirectory("/");
    EXPECT_EQ(afterLogin(), (Commands{"ALLO 3\r\n", "TYPE I\r\n", "PASV\r\n", "CWD /\r\n"}));
}

TEST_F(FtpTransferTest, UnparsablePasvReply)
{
    login(peer).reply("200 ok").reply("227 Entering Passive Mode").reply("250 ok");
    connectClient();
    try {
        client.storeStream("x", nullptr, nullptr, FtpFormat::image);
        FAIL() << "parsed";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.toString(), "501 CLIENT: Unable to parse address");
    }
    EXPECT_NO_THROW(client.changeDirectory("/"));
}

TEST_F(FtpTransferTest, RefusedEpsvFallsBackToPasvForTheRestOfTheSession)
{
    login(peer)
        .reply("211-Features:\r\n EPSV\r\n211 End")
        .reply("200 ALLO ok")
        .reply("200 Type set to I")
        .reply("500 EPSV not understood")
        .pasv()
        .reply("150 Ok to send data")
        .data()
        .send("226 Transfer complete\r\n")
        .reply("200 ALLO ok")
        .reply("200 Type set to I")
        .pasv()
        .reply("150 Ok to send data")
        .data()
        .send("226 Transfer complete\r\n");
    connectClient();
    client.readFeatures();
    client.putFile("a", makeFile("abc"), nullptr, FtpFormat::image);
    client.putFile("b", makeFile("de"), nullptr, FtpFormat::image);
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(afterLogin(), (Commands{"FEAT\r\n", "ALLO 3\r\n", "TYPE I\r\n", "EPSV\r\n", "PASV\r\n", "STOR a\r\n",
                                      "ALLO 2\r\n", "TYPE I\r\n", "PASV\r\n", "STOR b\r\n"}));
    ASSERT_EQ(peer.dataConnections().size(), 2u);
    EXPECT_EQ(peer.dataConnections()[1].bytes, "de");
}

// A resumed store sends only the rest, by APPE unless FEAT promises REST STREAM (then REST
// between PASV and STOR), and still counts and hashes the whole file.
TEST_F(FtpTransferTest, ResumeSendsTheRestByAppendOrRestartAndHashesTheWholeFile)
{
    const std::string contents = pattern(20000);
    login(peer)
        .reply("200 ok").pasv().reply("150 go").data().send("226 done\r\n")
        .reply("211-Features:\r\n REST STREAM\r\n211 End")
        .reply("200 ok").pasv().reply("350 Restarting at 7000").reply("150 go").data().send("226 done\r\n");
    connectClient();
    const std::string file = makeFile(contents);
    Sha256 whole;
    whole.update(contents.data(), contents.size());
    std::string sentHash;
    client.resumeFile("part", file, 12000, record, &sentHash);
    EXPECT_EQ(sentHash, whole.hexDigest());
    EXPECT_EQ(progress.back(), 20000u);
    client.readFeatures();
    client.resumeFile("part", file, 7000, nullptr, nullptr);
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(afterLogin(), (Commands{"TYPE I\r\n", "PASV\r\n", "APPE part\r\n", "FEAT\r\n", "TYPE I\r\n", "PASV\r\n",
                                      "REST 7000\r\n", "STOR part\r\n"}));
    ASSERT_EQ(peer.dataConnections().size(), 2u);
    EXPECT_EQ(peer.dataConnections()[0].bytes, contents.substr(12000));
    EXPECT_EQ(peer.dataConnections()[1].bytes, contents.substr(7000));
}
