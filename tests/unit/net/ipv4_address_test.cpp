#include <gtest/gtest.h>

#include "net/ipv4_address.hpp"
#include "net/net_host.hpp"

TEST(NetAddress, ParsesOnlyStrictDottedQuads)
{
    auto address = IPv4Address::parse("192.168.1.20", 5001);
    ASSERT_TRUE(address);
    EXPECT_EQ(address->address(), 0xC0A80114u);
    EXPECT_EQ(address->toString(), "192.168.1.20:5001");
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.4 ", "a.b.c.d", "1234.1.1.1"})
        EXPECT_FALSE(IPv4Address::parse(bad)) << bad;
}

TEST(NetHost, DottedTextResolvesToItselfAndEmptyToNothing)
{
    auto list = NetHost::resolve("127.0.0.1");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], IPv4Address::loopback());
    EXPECT_TRUE(NetHost::resolve("").empty());
    EXPECT_FALSE(NetHost::resolve("localhost").empty());
}
