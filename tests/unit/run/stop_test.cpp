#include <gtest/gtest.h>

#include "run/stop.hpp"

namespace {
const FtpReply noSpace{"452", "Insufficient storage space."};
const FtpReply refused{"550", "Permission denied."};
}

// Only two refusals for want of space in a row stop a run; a store between them, or another
// refusal, means the room may be there after all.
TEST(RunStop, TwoSpaceRefusalsInARowStopTheRunAndOthersDoNot)
{
    RunStop stop(true);
    stop.fileDone(false, noSpace);
    stop.fileDone(true, {});
    stop.fileDone(false, noSpace);
    stop.fileDone(false, refused);
    stop.fileDone(false, noSpace);
    EXPECT_FALSE(stop.stopped());
    stop.fileDone(false, FtpReply{"552", "Quota exceeded."});
    EXPECT_TRUE(stop.stopped());
    EXPECT_EQ(stop.reason(), "552 Quota exceeded.");
    EXPECT_EQ(lines::runStopped(stop.reason(), 3), "run stopped: 552 Quota exceeded.; 3 files not sent");

    RunStop described(false);  // the paced run tries every file
    for (int i = 0; i < 3; ++i) described.fileDone(false, noSpace);
    EXPECT_FALSE(described.stopped());
}

TEST(RunStop, ALostSessionGivesItsReasonAndAClosedOneReadsSo)
{
    RunStop stop(true);
    EXPECT_EQ(stop.reason(), "connection closed by the server");
    stop.sessionLost(FtpReply{"000", "no reply within 5 s"});
    EXPECT_EQ(stop.reason(), "no reply within 5 s");
    stop.sessionLost(FtpReply{"421", "Timeout."});
    EXPECT_EQ(stop.reason(), "421 Timeout.");
    stop.sessionLost(FtpReply{"000", ""});
    EXPECT_EQ(stop.reason(), "connection closed by the server");
    EXPECT_FALSE(stop.stopped());
}

// An interrupt stops every run but the described one, and is what the line names whatever
// else went wrong; the described run never installs the handlers, and ignores one all the same.
TEST(RunStop, AnInterruptStopsTheRunAndNamesItself)
{
    RunStop stop(true, [] { return "SIGTERM"; });
    stop.sessionLost(FtpReply{"421", "Timeout."});
    EXPECT_TRUE(stop.interrupted());
    EXPECT_TRUE(stop.stopped());
    EXPECT_EQ(stop.reason(), "interrupted by SIGTERM");

    RunStop described(false, [] { return "SIGTERM"; });
    EXPECT_FALSE(described.interrupted());
    EXPECT_FALSE(described.stopped());

    RunStop quiet(true, [] { return static_cast<const char*>(nullptr); });
    EXPECT_FALSE(quiet.stopped());
}
