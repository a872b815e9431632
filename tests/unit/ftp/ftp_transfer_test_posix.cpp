#include <gtest/gtest.h>

#include "support/ftp_fixture.hpp"

using namespace ftptest;

// The server must be able to tell a broken upload from a complete one.
TEST_F(FtpTest, AbortedTransferResetsTheDataConnection)
{
    login(peer).reply("200 ok").reply("200 ok").pasv().reply("150 go").data().send("426 aborted\r\n");
    connectClient();
    ProgressCallback failing = [](std::uint64_t) { throw IOException("stop"); };
    EXPECT_THROW(client.putFile("x", makeFile(std::string(100000, 'q')), failing, FtpFormat::image), IOException);
    ASSERT_TRUE(peer.waitForScript());
    ASSERT_EQ(peer.dataConnections().size(), 1u);
    EXPECT_TRUE(peer.dataConnections()[0].reset);
    EXPECT_FALSE(peer.dataConnections()[0].endedByClient);
}

// Active mode: a server that does not connect in time is a failure of its own, after which
// the dialogue is brought back in step before the next command.
TEST_F(FtpTest, ActiveModeWithoutTheServersConnectionFailsAndTheDialogueRecovers)
{
    login(peer).reply("200 ok").reply("200 ok").reply("200 PORT ok").reply("150 go").send("425 no connection\r\n")
        .reply("200 NOOP ok").reply("215 UNIX");
    connectClient();
    client.setActive(true);
    const auto start = Clock::now();
    try {
        client.putFile("x", makeFile("contents"), nullptr, FtpFormat::image);
        ADD_FAILURE() << "stored without a connection from the server";
    } catch (const FTPException& failure) {
        EXPECT_EQ(failure.toString(), "420 CLIENT: No connection from server");
    }
    EXPECT_GE(elapsedSince(start), milliseconds(190));
    client.issueCommand("SYST");
    EXPECT_EQ(client.readReply().code, "215");
    const std::vector<std::string> commands = peer.commands();
    ASSERT_GE(commands.size(), 5u);
    EXPECT_EQ(commands[4].rfind("PORT 127,0,0,1,", 0), 0u) << commands[4];
}
