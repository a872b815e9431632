#include <gtest/gtest.h>

#include "ftp/ftp_connection.hpp"

TEST(FtpListing, MlsdFactsInAnyCaseAndNamesAsTheyStand)
{
    auto entries = parseMlsd("Type=cdir;Modify=20261208120000; .\r\n"
                             "type=FILE;SIZE=12;modify=20261208121314.567; a b.txt\r\n"
                             "type=file;modify=20000101000000; no size\r\n"
                             "type=dir;size=4096;modify=20261208121314; sub\n"
                             "garbage-without-blank\r\n"
                             "type=file;size=99999999999999999999999;modify=2026; odd;name=x\r\n");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].name, "a b.txt");
    EXPECT_EQ(entries[0].size, 12u);
    EXPECT_EQ(entries[0].modified, 1796731994);  // 2026-12-08 12:13:14 UTC, fraction dropped
    EXPECT_FALSE(entries[0].folder);
    EXPECT_EQ(entries[1].name, "no size");
    EXPECT_FALSE(entries[1].size);
    EXPECT_TRUE(entries[2].folder);
    // A size too large to hold and a malformed time are unknown, never wrapped.
    EXPECT_EQ(entries[3].name, "odd;name=x");
    EXPECT_FALSE(entries[3].size);
    EXPECT_FALSE(entries[3].modified);
}

TEST(FtpListing, TimesConvertBothWays)
{
    for (std::int64_t seconds : {0LL, 951782400LL, 1796731994LL, 4102444799LL}) {
        EXPECT_EQ(parseFtpTime(formatFtpTime(seconds)), seconds) << seconds;
    }
    EXPECT_EQ(formatFtpTime(951782400), "20000229000000");
    for (const char* bad : {"", "2026120812131", "20261308121314", "2026120812131x", "20261208121314.x"})
        EXPECT_FALSE(parseFtpTime(bad)) << bad;
}
