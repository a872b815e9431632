#include <gtest/gtest.h>

#include "ftp/passive_reply.hpp"

namespace {
void expectTarget(const std::string& message, const std::string& host, std::uint16_t port)
{
    auto target = parsePasvReply(message);
    ASSERT_TRUE(target) << message;
    EXPECT_EQ(target->host, host) << message;
    EXPECT_EQ(target->port, port) << message;
}
}

TEST(FtpPassiveReply, PasvForms)
{
    expectTarget("Entering Passive Mode (192,168,1,20,19,137)", "192.168.1.20", 5001);
    expectTarget("=192,168,1,20,19,137", "192.168.1.20", 5001);
    expectTarget("(10,0,0,1,200)", "10.0.0.1", 51200);
    expectTarget("10, 0, 0, 1, 19, 137", "10.0.0.1", 5001);
    expectTarget("10,\t0,0,1,19,\r\n137", "10.0.0.1", 5001);
    // Port bytes above 255 wrap instead of being refused.
    expectTarget("(1,2,3,4,300,300)", "1.2.3.4", static_cast<std::uint16_t>((300 * 256 + 300) % 65536));
    // The leftmost place where the pattern fits wins, even past a near miss.
    expectTarget("port 7,8 then (1,2,3,4,5,6)", "1.2.3.4", 5 * 256 + 6);
    expectTarget("12,3,4,5,6,7,8", "12.3.4.5", 6 * 256 + 7);
}

TEST(FtpPassiveReply, PasvFailuresAndHugeNumbers)
{
    EXPECT_FALSE(parsePasvReply("Entering Passive Mode"));
    EXPECT_FALSE(parsePasvReply("(1,2,3,4)"));
    EXPECT_FALSE(parsePasvReply("1 ,2 ,3 ,4 ,5 ,6"));  // blanks before a comma do not fit
    // Numbers far beyond any integer type are read without overflow.
    std::string huge(400, '9');
    auto target = parsePasvReply("(1,2,3,4," + huge + ",1)");
    ASSERT_TRUE(target);
    // 10^400 - 1 is 65535 modulo 65536, so the high byte is 0xFF.
    EXPECT_EQ(target->port, 0xFF01);
    auto hugeHost = parsePasvReply("(" + huge + ",2,3,4,5,6)");
    ASSERT_TRUE(hugeHost);
    EXPECT_EQ(hugeHost->host.size(), huge.size() + 6);
}

TEST(FtpPassiveReply, EpsvAndSpsv)
{
    EXPECT_EQ(parseEpsvReply("Entering Extended Passive Mode (|||6446|)"), std::optional<std::uint16_t>(6446));
    EXPECT_EQ(parseEpsvReply("x (1) (!!!80!)"), std::optional<std::uint16_t>(80));
    EXPECT_FALSE(parseEpsvReply("Entering Extended Passive Mode (||6446|)"));
    EXPECT_FALSE(parseEpsvReply("(|||6446)"));
    EXPECT_EQ(parseSpsvReply("  +5001 ok"), 5001);
    EXPECT_EQ(parseSpsvReply("0x1F90"), 8080);
    EXPECT_EQ(parseSpsvReply("0b101"), 5);
    EXPECT_EQ(parseSpsvReply("0o17"), 15);
    EXPECT_EQ(parseSpsvReply("no digits"), 0);
}
