#include <gtest/gtest.h>

#include "support/ftp_fixture.hpp"

using namespace ftptest;

namespace {
class FtpReplyTest : public FtpTest {
protected:
    // Greets with `greeting` and reads it as the first reply.
    FtpReply firstReply(const std::string& greeting)
    {
        peer.send(greeting);
        client.openControlSocket("127.0.0.1", peer.start());
        return client.readReply();
    }
};
}

TEST(FtpException, CarriesCodeAndMessage)
{
    FTPException e("530", "Login incorrect.");
    EXPECT_EQ(e.code(), "530");
    EXPECT_EQ(e.message(), "Login incorrect.");
    EXPECT_EQ(e.toString(), "530 Login incorrect.");
    EXPECT_EQ(e.kind(), "FTPException");
    FtpReply silence{"500", ""};
    EXPECT_EQ(FTPException(silence).toString(), "500 ");
    EXPECT_EQ(FtpReply{}.code, "000");
}

TEST_F(FtpReplyTest, SingleLine)
{
    FtpReply reply = firstReply("250 OK\r\n");
    EXPECT_EQ(reply.code, "250");
    EXPECT_EQ(reply.message, "OK");
}

TEST_F(FtpReplyTest, ContinuationLinesWithAndWithoutTheCode)
{
    FtpReply reply = firstReply("230-Welcome\r\n Guest\r\n230-more\r\nplain\r\n230 Login ok\r\n");
    EXPECT_EQ(reply.code, "230");
    EXPECT_EQ(reply.message, "Welcome\nGuest\nmore\nplain\nLogin ok");
}

TEST_F(FtpReplyTest, FeatureListStyle)
{
    FtpReply reply = firstReply("211-Features:\r\n MDTM\r\n SIZE\r\n211 End\r\n");
    EXPECT_EQ(reply.code, "211");
    EXPECT_EQ(reply.message, "Features:\nMDTM\nSIZE\nEnd");
}

TEST_F(FtpReplyTest, FourCharacterFirstLineIsSilenceAndTheNextReplyFollows)
{
    FtpReply reply = firstReply("220 \r\n221 bye\r\n");
    EXPECT_EQ(reply.code, "500");
    EXPECT_EQ(reply.message, "");
    FtpReply next = client.readReply();
    EXPECT_EQ(next.code, "221");
    EXPECT_EQ(next.message, "bye");
}

TEST_F(FtpReplyTest, SilenceWhereAReplyIsDueIsATimeOutThatSaysSoAfterOneWait)
{
    client.openControlSocket("127.0.0.1", peer.start());
    auto start = Clock::now();
    try {
        client.expectReply("220");
        FAIL() << "silence accepted";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.toString(), "420 no reply within 200 ms");
    }
    auto took = elapsedSince(start);
    EXPECT_GE(took, milliseconds(190));
    EXPECT_LT(took, milliseconds(1000));
}

TEST_F(FtpReplyTest, ATimeOutOfZeroIsNamedAsTheReason)
{
    client.openControlSocket("127.0.0.1", peer.start());
    client.setTimeout(0);
    try {
        client.expectReply("220");
        FAIL() << "silence accepted";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.toString(), "420 time-out of 0 s");
    }
}

// A last line that never comes, or one that comes after more lines than any reply has: the
// session is closed with the reason, not read on in the hope of getting back in step.
TEST_F(FtpReplyTest, AReplyThatNeverEndsClosesTheSession)
{
    client.setTimeout(500'000);  // 50 ms
    auto start = Clock::now();
    try {
        firstReply("220-first\r\n220-second\r\n");
        FAIL() << "an unfinished reply was taken";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.code(), "421");
        EXPECT_EQ(e.message().rfind("reply without end", 0), 0u) << e.message();
    }
    auto took = elapsedSince(start);
    EXPECT_GE(took, milliseconds(190));
    EXPECT_LT(took, milliseconds(1500));
    EXPECT_FALSE(client.connected());

    std::string body;
    for (std::size_t i = 0; i <= FTPConnection::maxReplyLines; ++i) body += "211- feature\r\n";
    FtpPeer trickle;
    FTPConnection other;
    other.setTimeout(shortTimeout);
    trickle.send(body + "211 End\r\n");
    other.openControlSocket("127.0.0.1", trickle.start());
    EXPECT_THROW(other.readReply(), FTPException);
    EXPECT_FALSE(other.connected());
}

TEST_F(FtpReplyTest, ClosedConnectionEndsAMultiLineReplyAtOnce)
{
    peer.send("220-first\r\n220-second\r\n").closeControl();
    client.setTimeout(50'000'000);
    client.openControlSocket("127.0.0.1", peer.start());
    auto start = Clock::now();
    FtpReply reply = client.readReply();
    EXPECT_EQ(reply.code, "220");
    EXPECT_EQ(reply.message, "first\nsecond");
    EXPECT_EQ(client.readReply().code, "500");
    EXPECT_LT(elapsedSince(start), milliseconds(500));
    client.setTimeout(shortTimeout);
}

TEST_F(FtpReplyTest, ReplyMessageIsCappedAndReadToItsEnd)
{
    std::string body;
    const std::string line = "220-" + std::string(Telnet::maxLineLength - 4, 'y') + "\r\n";
    while (body.size() < FTPConnection::maxReplyLength + 2 * line.size()) body += line;
    client.setTimeout(100'000'000);
    FtpReply reply = firstReply(body + "220 end\r\n221 bye\r\n");
    EXPECT_EQ(reply.code, "220");
    EXPECT_EQ(reply.message.size(), FTPConnection::maxReplyLength);
    EXPECT_EQ(client.readReply().code, "221");
    client.setTimeout(shortTimeout);
}

TEST_F(FtpReplyTest, CommandLinesAreExact)
{
    peer.reply("331 N").reply("221 bye").command();
    client.openControlSocket("127.0.0.1", peer.start());
    client.issueCommand("USER", {"N"});
    client.readReply();
    client.issueCommand("QUIT");
    client.readReply();
    client.issueCommand("CWD", {""});
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(peer.commands(), (std::vector<std::string>{"USER N\r\n", "QUIT\r\n", "CWD \r\n"}));
}

TEST_F(FtpReplyTest, ArgumentsWithLineBreaksOrNulAreRefusedUnsent)
{
    peer.command();
    client.openControlSocket("127.0.0.1", peer.start());
    for (std::string bad : {std::string("a\r\nDELE x"), std::string("a\nb"), std::string("a\rb"), std::string("a\0b", 3)}) {
        try {
            client.issueCommand("STOR", {"ok", bad});
            FAIL() << "sent";
        } catch (const FTPException& e) {
            EXPECT_EQ(e.code(), "501");
            EXPECT_EQ(e.message(), "CLIENT: Invalid character in command argument");
        }
    }
    client.issueCommand("NOOP");
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(peer.commands(), std::vector<std::string>{"NOOP\r\n"});
}

TEST_F(FtpReplyTest, ExpectReplyRaisesTheServersWords)
{
    peer.send("550 No such file\r\n");
    client.openControlSocket("127.0.0.1", peer.start());
    try {
        client.expectReply("250");
        FAIL() << "accepted";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.toString(), "550 No such file");
    }
}
