#include <gtest/gtest.h>

#include "ftp/unix_listing.hpp"

TEST(UnixListing, CommonServerFormsReadByteForByte)
{
    std::vector<RemoteEntry> entries(1);
    ASSERT_TRUE(parseUnixListing("total 24\r\n"
                                 "drwxr-xr-x    2 1000     1000         4096 Dec 09 05:15 .\r\n"
                                 "drwxr-xr-x    3 1000     1000         4096 Dec 09 05:15 ..\r\n"
                                 "-rw-r--r--    1 1000     1000            5 Dec 09 05:15 a b.txt\r\n"
                                 "-rw-r--r--   1 root     root            5 Dec 09 05:15 a.txt\r\n"
                                 "\r\n"
                                 "drwxr-xr-x+  2 user staff 64 jan  1  2019  lead space\n"
                                 "-rw-------   1 owner 123 FEB 28 23:59 no group\n"
                                 "lrwxrwxrwx   1 root root 7 Mar  3 10:00 link -> target\n"
                                 "crw-rw-rw-   1 root root 1,   3 Apr  4 2020 null\n"
                                 "-rw-r--r--@  1 u g 18446744073709551615 May 31 0:00 \xC3\xA9t\xC3\xA9 \xE2\x82\xAC\n",
                                 entries));
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(entries[0].name, "a b.txt");
    EXPECT_EQ(entries[0].size, 5u);
    EXPECT_FALSE(entries[0].folder || entries[0].other || entries[0].modified);
    EXPECT_EQ(entries[1].name, "a.txt");
    EXPECT_EQ(entries[2].name, " lead space");
    EXPECT_TRUE(entries[2].folder);
    EXPECT_FALSE(entries[2].size);
    EXPECT_EQ(entries[3].name, "no group");
    EXPECT_EQ(entries[3].size, 123u);
    EXPECT_EQ(entries[4].name, "link");
    EXPECT_TRUE(entries[4].other && entries[4].link);
    EXPECT_FALSE(entries[4].folder || entries[4].size);
    EXPECT_EQ(entries[5].name, "null");
    EXPECT_TRUE(entries[5].other);
    EXPECT_FALSE(entries[5].link || entries[2].link);
    EXPECT_EQ(entries[6].name, "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(entries[6].size, 18446744073709551615u);
    EXPECT_TRUE(parseUnixListing("", entries));
    EXPECT_TRUE(entries.empty());
}

TEST(UnixListing, AnyUnreadableLineFailsTheWholeListing)
{
    const std::string good = "-rw-r--r-- 1 u g 5 Dec 09 05:15 a.txt\r\n";
    for (const char* bad : {"ls: cannot open directory .: Permission denied",
                            "-rw-r--r-- 1 u g 5 Dec 09 05:15",          // no name
                            "-rw-r--r-- 1 u g 5 Dec 09 05:15 ",         // nor here
                            "-rw-r--r-- 1 u g x5 Dec 09 05:15 a",       // size
                            "-rw-r--r-- 1 u g 5 Dez 09 05:15 a",        // month
                            "-rw-r--r-- 1 u g 5 Dec 32 05:15 a",        // day
                            "-rw-r--r-- 1 u g 5 Dec 09 24:00 a",        // time
                            "-rw-r--r-- 1 u g 123456789012345678901 Dec 09 05:15 a",
                            "-rw-r--r--1 u g 5 Dec 09 05:15 a",         // mode run into the links
                            "-rw-r-?r-- 1 u g 5 Dec 09 05:15 a",
                            "12-09-26  05:15AM       <DIR>          sub",
                            "total"}) {
        std::vector<RemoteEntry> entries;
        EXPECT_FALSE(parseUnixListing(good + bad + "\r\n" + good, entries)) << bad;
        EXPECT_TRUE(entries.empty()) << bad;
    }
}
