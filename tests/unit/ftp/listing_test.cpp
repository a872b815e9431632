#include <gtest/gtest.h>

#include <algorithm>

#include "ftp/ftp_connection.hpp"
#include "support/ftp_fixture.hpp"

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

    // A deletion must not act on a listing it could not read, nor on links.
    bool unreadable = false;
    parseMlsd("type=file;size=1; a\r\ngarbage-without-blank\r\n", &unreadable);
    EXPECT_TRUE(unreadable);
    // A folder's second names: a link however it is typed, a "unique" fact shared.
    std::string own;
    entries = parseMlsd("type=cdir;unique=801g2; .\r\ntype=file;size=1;UNIQUE=801g9; a\r\n"
                        "OS.unix=slink:/etc;type=OS.unix=symlink; l\r\nsize=3; untyped\r\n"
                        "type=dir;OS.unix=slink:/tmp; m\r\ntype=OS.unix=slink:/x; n\r\n",
                        &unreadable, &own);
    EXPECT_FALSE(unreadable);
    EXPECT_EQ(own, "801g2");
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_FALSE(entries[0].other || entries[0].link);
    EXPECT_EQ(entries[0].unique, "801g9");
    EXPECT_TRUE(entries[1].other && entries[2].other);
    EXPECT_FALSE(entries[2].link);
    for (std::size_t at : {1u, 3u, 4u}) EXPECT_TRUE(entries[at].link && entries[at].other && !entries[at].folder) << at;
    parseMlsd("this line lists nothing\r\n", &unreadable);
    EXPECT_TRUE(unreadable);
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

namespace {
using ftptest::FtpTest;

constexpr std::int64_t newYear2000 = 946684800;
const std::string time2000 = "20000101000000";

class FtpQueryTest : public FtpTest {};
}

TEST_F(FtpQueryTest, SizesAndTimesAskedInWindowsAndPairedInOrder)
{
    // 34 paths: a full window of 32, then 2. The peer answers nothing of a window until
    // all its commands are in, so a client waiting for each reply would get none.
    std::vector<std::string> paths;
    std::vector<std::string> expected{"USER user\r\n", "PASS secret\r\n"};
    for (int i = 0; i < 34; ++i) {
        paths.push_back("/d/f " + std::to_string(i));
        expected.push_back("SIZE " + paths.back() + "\r\n");
        expected.push_back("MDTM " + paths.back() + "\r\n");
    }
    ftptest::login(peer);
    for (int first : {0, 32}) {
        std::string replies;
        for (int i = first; i < std::min(first + 32, 34); ++i) {
            peer.command().command();
            // f 1 is missing (its time means nothing), f 2 has no time to tell.
            replies += i == 1 ? "550 No such file\r\n" : "213 " + std::to_string(100 + i) + "\r\n";
            replies += i == 2 ? "550 Not allowed\r\n" : "213 " + formatFtpTime(newYear2000 + i) + "\r\n";
        }
        peer.send(replies);
    }
    connectClient();
    std::vector<RemoteFacts> facts = client.queryFiles(paths);
    ASSERT_EQ(facts.size(), 34u);
    EXPECT_FALSE(facts[1].size);
    EXPECT_FALSE(facts[1].modified);
    EXPECT_EQ(facts[2].size, 102u);
    EXPECT_FALSE(facts[2].modified);
    for (int i : {0, 3, 31, 32, 33}) {
        EXPECT_EQ(facts[i].size, 100u + i) << i;
        EXPECT_EQ(facts[i].modified, newYear2000 + i) << i;
    }
    EXPECT_FALSE(client.outOfStep());
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(peer.commands(), expected);
}

TEST_F(FtpQueryTest, ADoubtfulReplyEndsThePipelineAndNoPathGetsAnotherPathsAnswer)
{
    ftptest::login(peer)
        .command().command().command().command().command().command()
        // A stray completion reply where b's size is due shifts every answer after it.
        .send("213 12\r\n213 20261208121314\r\n226 Transfer complete\r\n"
              "213 5\r\n213 " + time2000 + "\r\n213 7\r\n213 20261208121314\r\n")
        .reply("200 back in step")
        .reply("213 5")
        .reply("213 " + time2000)
        // Even one at a time, a reply that cannot answer SIZE leaves c without facts,
        // and c's own answer is not taken for the next command's.
        .reply("226 Transfer complete")
        .send("213 7\r\n")
        .reply("200 back in step")
        .reply("200 own answer");
    connectClient();
    std::vector<RemoteFacts> facts = client.queryFiles({"a", "b", "c"});
    ASSERT_EQ(facts.size(), 3u);
    EXPECT_EQ(facts[0].size, 12u);
    EXPECT_EQ(facts[0].modified, 1796731994);
    EXPECT_EQ(facts[1].size, 5u);
    EXPECT_EQ(facts[1].modified, newYear2000);
    EXPECT_FALSE(facts[2].size);
    EXPECT_FALSE(facts[2].modified);
    client.issueCommand("NOOP");
    EXPECT_EQ(client.readReply().message, "own answer");
    ASSERT_TRUE(peer.waitForScript());
    const std::vector<std::string> commands = peer.commands();
    ASSERT_EQ(commands.size(), 14u);
    EXPECT_EQ(commands[7], "MDTM c\r\n");
    EXPECT_EQ(commands[8], "NOOP\r\n");
    EXPECT_EQ(commands[9], "SIZE b\r\n");
    EXPECT_EQ(commands[11], "SIZE c\r\n");
    EXPECT_EQ(commands[12], "NOOP\r\n");
}

// Paths handed out while the answers come go in the same window; an MLST answer that names
// another path is a shifted one: it and all after it are asked again, one at a time, and
// only answers beyond doubt are passed on.
TEST_F(FtpQueryTest, AStreamTakesPathsAsWindowsFreeAndAnAnswerNamingAnotherPathEndsIt)
{
    const auto mlst = [](const std::string& name, int size) {
        return "250-Listing " + name + "\r\n type=file;size=" + std::to_string(size) + ";modify=" + time2000 + "; /w/" +
               name + "\r\n250 End";
    };
    ftptest::login(peer)
        .reply("211-Features:\r\n MLST type*;size*;modify*;\r\n211 End")
        .command().command().command()
        .send(mlst("a", 1) + "\r\n" + mlst("a", 1) + "\r\n" + mlst("b", 2) + "\r\n")
        .reply("200 back in step")
        .reply(mlst("b", 2))
        .reply(mlst("c", 3));
    connectClient();
    client.readFeatures();
    std::vector<std::string> paths{"a", "b"};
    bool handedOut = false;
    std::vector<std::size_t> passedOn;
    const std::vector<RemoteFacts> facts = client.queryStream(
        paths, [&](std::vector<std::string>& more) { return !handedOut && (more.push_back("c"), handedOut = true); },
        [&](std::size_t count, const std::vector<RemoteFacts>&) { passedOn.push_back(count); });
    ASSERT_EQ(facts.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(facts[i].size, i + 1) << i;
    EXPECT_EQ(passedOn, (std::vector<std::size_t>{2, 3}));
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(peer.commands().back(), "MLST c\r\n");
}
