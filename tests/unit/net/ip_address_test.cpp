#include <gtest/gtest.h>

#include "net/ip_address.hpp"
#include "net/net_host.hpp"

TEST(NetAddress, ParsesOnlyStrictDottedQuads)
{
    auto address = IpAddress::parse("192.168.1.20", 5001);
    ASSERT_TRUE(address);
    EXPECT_EQ(address->address(), 0xC0A80114u);
    EXPECT_EQ(address->toString(), "192.168.1.20:5001");
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.4 ", "a.b.c.d", "1234.1.1.1"})
        EXPECT_FALSE(IpAddress::parse(bad)) << bad;
}

TEST(NetAddress, Ipv6TextReadsAndPrintsCanonically)
{
    // Written form -> RFC 5952 text.
    const std::pair<const char*, const char*> cases[] = {
        {"::1", "::1"},
        {"::", "::"},
        {"2001:DB8:0:0:0:0:2:1", "2001:db8::2:1"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},   // a single zero group stays
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},            // the longer run is cut
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},      // the first of equal runs
        {"fe80::", "fe80::"},
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
        {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
    };
    for (const auto& [text, canonical] : cases) {
        auto address = IpAddress::parse(text);
        ASSERT_TRUE(address && address->isV6()) << text;
        EXPECT_EQ(address->hostText(), canonical) << text;
    }
    auto loopback = IpAddress::parse("0:0:0:0:0:0:0:1", 21);
    ASSERT_TRUE(loopback);
    EXPECT_EQ(*loopback, IpAddress::loopback6(21));
    EXPECT_EQ(loopback->toString(), "[::1]:21");
    EXPECT_EQ(loopback->bytes().size(), 16u);
    for (const char* bad : {":", ":::", "1::2::3", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7::8",
                            "12345::", "g::1", ":1::", "1::2:", "::1.2.3", "1.2.3.4::", "[::1]", "fe80::1%1"})
        EXPECT_FALSE(IpAddress::parse(bad)) << bad;
    EXPECT_EQ(withoutBrackets("[::1]"), "::1");
    EXPECT_EQ(withoutBrackets("ftp.example.com"), "ftp.example.com");
}

TEST(NetHost, DottedTextResolvesToItselfAndEmptyToNothing)
{
    auto list = NetHost::resolve("127.0.0.1");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], IpAddress::loopback());
    EXPECT_EQ(NetHost::resolve("::1"), std::vector<IpAddress>{IpAddress::loopback6()});
    EXPECT_TRUE(NetHost::resolve("").empty());
    EXPECT_FALSE(NetHost::resolve("localhost").empty());
}
