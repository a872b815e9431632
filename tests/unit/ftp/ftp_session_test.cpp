#include <gtest/gtest.h>

#include "support/ftp_fixture.hpp"

using namespace ftptest;

namespace {
using Commands = std::vector<std::string>;

class FtpSessionTest : public FtpTest {
protected:
    // connect(), expecting a failure; returns it.
    FTPException connectFailure()
    {
        try {
            connectClient();
        } catch (const FTPException& e) {
            return e;
        }
        ADD_FAILURE() << "connect succeeded";
        return FTPException("000", "");
    }
};
}

TEST_F(FtpSessionTest, UserThenPasswordLogsIn)
{
    login(peer).reply("221 bye");
    connectClient();
    EXPECT_TRUE(client.connected());
    client.close();
    EXPECT_FALSE(client.connected());
    ASSERT_TRUE(peer.waitForClientClose());
    EXPECT_EQ(peer.commands(), (Commands{"USER user\r\n", "PASS secret\r\n", "QUIT\r\n"}));
    client.close();  // a second close does nothing
}

TEST_F(FtpSessionTest, UserAcceptedWithoutPasswordSendsNoPass)
{
    peer.send("220 ready\r\n").reply("230 no password needed");
    connectClient();
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(peer.commands(), Commands{"USER user\r\n"});
}

TEST_F(FtpSessionTest, PassAnsweredWith202IsLoggedIn)
{
    peer.send("220 ready\r\n").reply("331 password").reply("202 already in");
    EXPECT_NO_THROW(connectClient());
    EXPECT_TRUE(client.connected());
}

TEST_F(FtpSessionTest, RefusedPasswordQuitsAndClosesBeforeFailing)
{
    peer.send("220 ready\r\n").reply("331 password").reply("530 Login incorrect.").reply("221 bye");
    FTPException e = connectFailure();
    EXPECT_EQ(e.toString(), "530 Login incorrect.");
    EXPECT_FALSE(client.connected());
    ASSERT_TRUE(peer.waitForClientClose());
    EXPECT_EQ(peer.commands(), (Commands{"USER user\r\n", "PASS secret\r\n", "QUIT\r\n"}));
}

TEST_F(FtpSessionTest, ServiceNotAvailableGreetingFails)
{
    peer.send("421 Too many users\r\n");
    FTPException e = connectFailure();
    EXPECT_EQ(e.code(), "421");
    EXPECT_EQ(e.message(), "Too many users");
    EXPECT_FALSE(client.connected());
}

TEST_F(FtpSessionTest, NoGreetingFailsAsATimeOutAfterGreetingAndQuitWaits)
{
    auto start = Clock::now();
    FTPException e = connectFailure();
    auto took = elapsedSince(start);
    EXPECT_EQ(e.toString(), "420 no reply within 200 ms");
    EXPECT_FALSE(client.connected());
    EXPECT_GE(took, milliseconds(380));
    EXPECT_LT(took, milliseconds(1500));
    ASSERT_TRUE(peer.waitForClientClose());
    EXPECT_EQ(peer.commands(), Commands{"QUIT\r\n"});
}

TEST_F(FtpSessionTest, EmptyUserStopsAfterTheGreeting)
{
    peer.send("220 ready\r\n");
    client.connect("127.0.0.1", "", "", peer.start());
    EXPECT_TRUE(client.connected());
    client.close();
    ASSERT_TRUE(peer.waitForClientClose());
    EXPECT_EQ(peer.commands(), Commands{"QUIT\r\n"});
}

TEST_F(FtpSessionTest, CloseOnADroppedConnectionReleasesAtOnce)
{
    login(peer).closeControl();
    connectClient();
    ASSERT_TRUE(peer.waitForScript());
    client.setTimeout(50'000'000);
    auto start = Clock::now();
    client.close();
    EXPECT_FALSE(client.connected());
    EXPECT_LT(elapsedSince(start), milliseconds(1000));
}

TEST_F(FtpSessionTest, FoldersAndTheirReplies)
{
    login(peer)
        .reply("250 ok")
        .reply("550 No such folder")
        .reply("257 \"/a \"\"b\"\"\" created here")
        .reply("257 \"xy")
        .reply("257 ab")
        .reply("200 still here");
    connectClient();
    client.changeDirectory("/up");
    try {
        client.changeDirectory("/missing");
        FAIL() << "accepted";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.toString(), "550 No such folder");
    }
    EXPECT_EQ(client.makeDirectory("/a \"b\""), "/a \"b\"");
    EXPECT_EQ(client.makeDirectory("xy"), "xy");
    try {
        client.makeDirectory("ab");
        FAIL() << "accepted";
    } catch (const FTPException& e) {
        EXPECT_EQ(e.toString(), "257 ab");
    }
    // The connection is still in step after the refusals.
    client.issueCommand("NOOP");
    EXPECT_EQ(client.readReply().code, "200");
    EXPECT_EQ(peer.commands()[2], "CWD /up\r\n");
    EXPECT_EQ(peer.commands()[4], "MKD /a \"b\"\r\n");
}

TEST_F(FtpSessionTest, FeatureList)
{
    EXPECT_TRUE(client.isSupported("EPSV"));
    EXPECT_FALSE(client.isKnownSupported("EPSV"));
    login(peer).send("").reply("211-Features:\r\n MDTM\r\n REST STREAM\r\n211 End");
    connectClient();
    client.readFeatures();
    ASSERT_EQ(client.features().size(), 3u);
    EXPECT_EQ(client.features()[0].name, "FEAT");
    EXPECT_EQ(client.features()[2].name, "REST");
    EXPECT_EQ(client.features()[2].parameters, "STREAM");
    EXPECT_TRUE(client.isKnownSupported("MDTM"));
    EXPECT_FALSE(client.isSupported("EPSV"));
}

// SHA-256 in force by FEAT needs no OPTS HASH; a file the server will not hash gives nothing,
// a digest that is not one raises; XSHA256's capitals after a "Computing" line are read too.
TEST_F(FtpSessionTest, RemoteSha256ReadsTheDigestOfEachCommand)
{
    const std::string digest(64, 'a');
    login(peer)
        .reply("211-Features:\r\n HASH SHA-1;SHA-256*;\r\n211 End")
        .reply("213 SHA-256 0-3 " + digest + " a b.txt")
        .reply("550 too large")
        .reply("213 SHA-256 0-3 xyz a")
        .reply("211-Features:\r\n XSHA256\r\n211 End")
        .reply("250-Computing\r\n250 " + std::string(64, 'A'));
    connectClient();
    client.readFeatures();
    EXPECT_TRUE(client.hashesFiles());
    EXPECT_EQ(client.remoteSha256("a b.txt"), digest);
    EXPECT_EQ(client.remoteSha256("big"), std::nullopt);
    EXPECT_THROW(client.remoteSha256("a"), FTPException);
    client.readFeatures();
    EXPECT_EQ(client.remoteSha256("c"), digest);
    const auto sent = peer.commands();
    ASSERT_GE(sent.size(), 8u);
    EXPECT_EQ(sent[3], "HASH a b.txt\r\n");
    EXPECT_EQ(sent[7], "XSHA256 c\r\n");
}

TEST_F(FtpSessionTest, FolderListingsKnownFromMlstAlone)
{
    login(peer)
        .reply("211-Features:\r\n MDTM\r\n MLST type*;size*;modify*;\r\n211 End")
        .reply("211-Features:\r\n MDTM\r\n SIZE\r\n211 End");
    EXPECT_FALSE(client.listsFolders());
    connectClient();
    client.readFeatures();
    EXPECT_TRUE(client.listsFolders());
    client.readFeatures();
    EXPECT_FALSE(client.listsFolders());
}

TEST_F(FtpSessionTest, RenameLostAfterTheOldVersionMovedAsideSaysTheTemporaryIsNeeded)
{
    // A server that never renames onto a file, lost while the new version is renamed into place:
    // the target may hold nothing, so the temporary may be the only copy of anything.
    login(peer)
        .reply("350 ready")
        .reply("553 exists")
        .reply("213 5")
        .reply("213 20240101000000")
        .reply("350 ready")
        .reply("250 moved")
        .reply("350 ready")
        .command()
        .closeControl();
    connectClient();
    bool oldInPlace = true;
    EXPECT_THROW(client.renameOver(".a.ftpupload-part", "a", &oldInPlace), FTPException);
    EXPECT_FALSE(oldInPlace);
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(peer.commands(),
              (Commands{"USER user\r\n", "PASS secret\r\n", "RNFR .a.ftpupload-part\r\n", "RNTO a\r\n", "SIZE a\r\n",
                        "MDTM a\r\n", "RNFR a\r\n", "RNTO ..a.ftpupload-part.ftpupload-part\r\n",
                        "RNFR .a.ftpupload-part\r\n", "RNTO a\r\n"}));
}

// A time set without waiting: its answer, a refusal here, is read and dropped before the next
// command's, which went out at once (no NOOP to bring the dialogue back in step).
TEST_F(FtpSessionTest, ATimeSetWithoutWaitingLeavesTheNextAnswerItsOwn)
{
    login(peer)
        .reply("211-Features:\r\n MFMT\r\n211 End")
        .reply("550 not allowed")
        .reply("257 \"d\" created")
        .reply("213 Modify=20261210000000; b")
        .reply("200 still here");
    connectClient();
    client.readFeatures();
    client.setRemoteModifiedLater("a", 0);
    EXPECT_FALSE(client.outOfStep());
    EXPECT_EQ(client.makeDirectory("d"), "d");
    client.setRemoteModifiedLater("b", 0);
    EXPECT_EQ(client.leanQuietCheck().code, "500");  // nothing told apart behind it
    client.issueCommand("NOOP");
    EXPECT_EQ(client.readReply().code, "200");
    EXPECT_EQ(peer.commands()[3], "MFMT 19700101000000 a\r\n");
    EXPECT_EQ(peer.commands()[4], "MKD d\r\n");
    EXPECT_EQ(peer.commands()[6], "NOOP\r\n");
}

// Lines sent with USER: each is answered in its turn when its command comes, and one whose
// command does not come (PASS, where USER alone logs in) has its answer dropped.
TEST_F(FtpSessionTest, LinesSentWithUserAreAnsweredInTurnAndThoseNotAskedForDropped)
{
    peer.send("220 ready\r\n")
        .reply("230 no password needed")
        .reply("503 already logged in")
        .reply("250 in")
        .reply("211 End")
        .reply("200 binary")
        .reply("257 \"d\" created");
    client.setLoginAhead({"PASS secret\r\n", "CWD /www\r\n", "FEAT\r\n", "TYPE I\r\n"});
    connectClient();
    EXPECT_EQ(client.leanQuietCheck().code, "500");  // the answers owed are not stray ones
    EXPECT_EQ(client.enterReadingFeatures("/www").code, "250");
    EXPECT_EQ(client.makeDirectory("d"), "d");
    EXPECT_FALSE(client.outOfStep());
    ASSERT_TRUE(peer.waitForScript());
    EXPECT_EQ(peer.commands(), (Commands{"USER user\r\n", "PASS secret\r\n", "CWD /www\r\n", "FEAT\r\n", "TYPE I\r\n",
                                         "MKD d\r\n"}));
}
