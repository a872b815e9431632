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
