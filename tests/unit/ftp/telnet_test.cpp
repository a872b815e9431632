#include <gtest/gtest.h>

#include "net/net_exception.hpp"
#include "net/socket.hpp"
#include "support/ftp_fixture.hpp"

using namespace ftptest;

namespace {
class TelnetTest : public FtpTest {
protected:
    void open() { client.openControlSocket("127.0.0.1", peer.start()); }
};
}

TEST_F(TelnetTest, ReceiveLineDropsEveryCarriageReturn)
{
    peer.send("a\rb\r\n");
    open();
    EXPECT_EQ(client.receiveLine(), "ab");
    EXPECT_EQ(client.lastLineEnd(), Telnet::LineEnd::complete);
}

TEST_F(TelnetTest, TwoLinesInOnePacketAreReadOneAtATime)
{
    peer.send("first\r\nsecond\r\n");
    open();
    EXPECT_EQ(client.receiveLine(), "first");
    EXPECT_EQ(client.receiveLine(), "second");
}

TEST_F(TelnetTest, PeerClosingMidLineGivesThePartAtOnce)
{
    peer.send("ab").closeControl();
    open();
    auto start = Clock::now();
    EXPECT_EQ(client.receiveLine(), "ab");
    EXPECT_EQ(client.receiveLine(), "");
    EXPECT_EQ(client.lastLineEnd(), Telnet::LineEnd::closed);
    EXPECT_LT(elapsedSince(start), milliseconds(150));
}

TEST_F(TelnetTest, SilenceGivesAnEmptyLineAfterTheTimeout)
{
    open();
    auto start = Clock::now();
    EXPECT_EQ(client.receiveLine(), "");
    EXPECT_EQ(client.lastLineEnd(), Telnet::LineEnd::timedOut);
    auto took = elapsedSince(start);
    EXPECT_GE(took, milliseconds(190));
    EXPECT_LT(took, milliseconds(1000));
}

TEST_F(TelnetTest, ZeroTimeoutNeitherWaitsNorSends)
{
    peer.send("hello\r\n");
    open();
    client.setTimeout(0);
    auto start = Clock::now();
    EXPECT_EQ(client.receiveLine(), "");
    try {
        client.sendBytes("NOOP\r\n");
        FAIL() << "no failure";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.toString(), "420 Exception: CLIENT: Timeout when sending command");
    }
    EXPECT_LT(elapsedSince(start), milliseconds(100));
}

TEST_F(TelnetTest, OverlongLineIsCutAndTheNextLineIsIntact)
{
    std::string huge(Telnet::maxLineLength + 5000, 'x');
    peer.send("220 " + huge + "\r\n" + "next\r\n");
    open();
    client.setTimeout(50'000'000);
    std::string line = client.receiveLine();
    EXPECT_EQ(line.size(), Telnet::maxLineLength);
    EXPECT_EQ(client.receiveLine(), "next");
    client.setTimeout(shortTimeout);
}

TEST_F(TelnetTest, SendLineSendsTextAndLineEnd)
{
    peer.command();
    open();
    client.sendLine("HELLO there");
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(peer.commands(), std::vector<std::string>{"HELLO there\r\n"});
}

TEST_F(TelnetTest, RefusedPortFailsWithTheTimeLimitMessage)
{
    // A port that was free a moment ago: nothing listens there any more.
    std::uint16_t port;
    {
        Socket probe = Socket::create();
        probe.bindAndListen(IpAddress::loopback(0), 1);
        port = probe.localAddress().port();
    }
    auto start = Clock::now();
    try {
        client.openControlSocket("127.0.0.1", port);
        FAIL() << "connected to a closed port";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.code(), "420");
        EXPECT_EQ(e.message(), "Exception: CLIENT: Unable to connect within the specified time limit (200 ms.)");
    }
    // Every attempt was refused, so there is nothing to wait for.
    EXPECT_LT(elapsedSince(start), milliseconds(190));
    EXPECT_FALSE(client.connected());
}

TEST_F(TelnetTest, EmptyHostIsRefusedWithoutALookup)
{
    try {
        client.openControlSocket("", 21);
        FAIL() << "empty host accepted";
    } catch (const AddressException& e) {
        EXPECT_EQ(e.message(), "Unable to resolve host ''");
    }
}

TEST_F(TelnetTest, UnresolvableHostNamesTheHost)
{
    const std::string host = "no-such-host.invalid";
    try {
        client.openControlSocket(host, 21);
        FAIL() << "resolved";
    } catch (const AddressException& e) {
        EXPECT_EQ(e.message(), "Unable to resolve host '" + host + "'");
    }
    const std::string tooLong(1024, 'a');
    EXPECT_THROW(client.openControlSocket(tooLong, 21), AddressException);
}

TEST_F(TelnetTest, IoWithoutAConnectionIsAClientError)
{
    EXPECT_EQ(client.receiveLine(), "");
    EXPECT_EQ(client.lastLineEnd(), Telnet::LineEnd::closed);
    try {
        client.sendBytes("NOOP\r\n");
        FAIL() << "sent without a connection";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.code(), "420");
    }
    EXPECT_EQ(client.readReply().code, "500");
}

// Read back from the system: the default connection is left as it was, an asked-for one
// probes after a minute's quiet and every 15 s. Windows before 10 cannot tell the times.
TEST_F(TelnetTest, KeepAliveIsOnlyOnWhenAskedAndHoldsItsTimes)
{
    Socket listener = Socket::create();
    listener.bindAndListen(IpAddress::loopback(0), 2);
    const std::uint16_t port = listener.localAddress().port();
    EXPECT_FALSE(client.openControlSocket("127.0.0.1", port).keepAlive().enabled);
    client.setKeepAlive(true);
    const Socket::KeepAlive held = client.openControlSocket("127.0.0.1", port).keepAlive();
    EXPECT_TRUE(held.enabled);
    EXPECT_EQ(held.idle.value_or(std::chrono::seconds(60)), std::chrono::seconds(60));
    EXPECT_EQ(held.interval.value_or(std::chrono::seconds(15)), std::chrono::seconds(15));
#ifndef _WIN32
    EXPECT_TRUE(held.idle && held.interval);
#endif
}
