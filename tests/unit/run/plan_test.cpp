// The plan and the retry rule of a run, without a server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/exception.hpp"
#include "common/own_names.hpp"
#include "ftp/ftp_exception.hpp"
#include "net/tls_channel.hpp"
#include "run/context.hpp"
#include "common/case_fold.hpp"
#include "run/plan.hpp"
#include "run/plan_names.hpp"
#include "run/retry.hpp"
#include "run/session.hpp"

namespace {
class RecordingLog : public RunLog {
public:
    void line(std::string_view format, const std::vector<FormatValue>& values) override
    {
        lines.push_back(formatText(format, values));
    }
    void pause(std::int32_t milliseconds) override { pauses.push_back(milliseconds); }
    std::vector<std::string> lines;
    std::vector<std::int32_t> pauses;
};
}

TEST(RunPlan, FilesKeepTheirOrderFoldersComeParentsFirstAndExistenceCoversAncestors)
{
    const std::vector<FilePath> files{FilePath("/data/a.txt"), FilePath("/data/d/e/b.txt"), FilePath("/data/d/c.txt")};
    const std::vector<FilePath> folders{FilePath("/data/d/e"), FilePath("/data/d"), FilePath("/data/")};
    Plan plan = makePlan("\\data\\", files, folders);
    ASSERT_EQ(plan.files.size(), 3u);
    EXPECT_EQ(plan.files[1].remotePath, "d/e/b.txt");
    EXPECT_EQ(plan.files[1].localPath, "\\data\\d\\e\\b.txt");
    EXPECT_EQ(plan.folders, (std::vector<std::string>{"d", "d/e"}));

    plan.files[2].action = FileAction::unchanged;
    EXPECT_EQ(plan.count(FileAction::store), 2u);
    // "d-x" sorts between "d" and "d/e": it must neither hide nor stand for "d/e".
    plan.existingFolders = {"d-x", "d/e"};
    EXPECT_TRUE(plan.exists("d"));
    EXPECT_TRUE(plan.exists("d/e"));
    EXPECT_FALSE(plan.exists("d/f"));
    EXPECT_FALSE(plan.exists("e"));
}

TEST(RunPlan, TheOldVersionMovedAsideIsATemporaryThatNoSelectedFileCanHave)
{
    for (const std::string path : {"index.html", "d/e/b.txt"}) {
        const std::string aside = asideNameOf(path);
        EXPECT_EQ(remoteFolderOf(aside), remoteFolderOf(path));
        const std::string name = aside.substr(aside.rfind('/') + 1);
        // A leftover is a temporary, which a later run's deletion removes...
        ASSERT_TRUE(isPartName(name));
        // ...and the temporary only of a file whose name is itself one, which never takes part.
        EXPECT_TRUE(isOwnName(name.substr(1, name.size() - 1 - partSuffix.size()))) << name;
        EXPECT_NE(aside, partNameOf(path + ".old"));
    }
}

TEST(RunPlan, NamesAreFoundInAnySpellingAndOnlySelectedOnesAreExpected)
{
    EXPECT_EQ(caseFolded("Logo.PNG \xC3\x9C\xC3\xBC \xD0\x96 \xC4\x80 \xE2\x82\xAC \xFF"),
              "logo.png \xC3\xBC\xC3\xBC \xD0\xB6 \xC4\x81 \xE2\x82\xAC \xFF");
    Plan plan;
    plan.files.resize(4);
    plan.files[0].remotePath = "images/a.png";
    plan.files[1].remotePath = "a.txt";
    plan.files[2].remotePath = "A.txt";
    plan.files[3].remotePath = "new.txt";
    for (std::size_t at : {0u, 1u}) plan.files[at].outcome = Outcome::done;
    plan.files[2].action = FileAction::unchanged;
    plan.folders = {"empty"};
    plan.leftOut = {"Secret.log"};
    const PlanNames names(plan, true);
    EXPECT_EQ(names.variants("", "IMAGES"), std::vector<std::string>{"images"});
    EXPECT_EQ(names.variants("images", "A.PNG"), std::vector<std::string>{"a.png"});
    EXPECT_EQ(names.variants("", "a.TXT"), (std::vector<std::string>{"a.txt", "A.txt"}));
    EXPECT_EQ(names.variants("", "secret.LOG"), std::vector<std::string>{"Secret.log"});
    EXPECT_TRUE(names.variants("", "other").empty() && names.variants("nowhere", "a.txt").empty());
    EXPECT_TRUE(names.expected("images") && names.expected("images/a.png") && names.expected("empty"));
    EXPECT_FALSE(names.expected("Secret.log") || names.expected("new.txt"));
    EXPECT_FALSE(PlanNames(plan, false).expected("empty"));
}

TEST(RunRetry, WhatMayPassIsTriedAgainWithGrowingWaitsAndItsLine)
{
    EXPECT_TRUE(mayPass(FTPException("421", "connection closed by the server")));
    EXPECT_TRUE(mayPass(FTPException("451", "Local error.")));
    EXPECT_TRUE(mayPass(SocketException("Unable to connect socket: refused")));
    EXPECT_FALSE(mayPass(FTPException("550", "Permission denied.")));
    EXPECT_FALSE(mayPass(TlsError("TLS certificate refused: untrusted root")));
    EXPECT_FALSE(mayPass(IOException("a.txt :: changed while it was being sent")));
    EXPECT_EQ((std::vector<std::int32_t>{retryWait(0), retryWait(1), retryWait(4), retryWait(5), retryWait(40)}),
              (std::vector<std::int32_t>{1000, 2000, 16000, 30000, 30000}));

    RunSettings settings;
    settings.retries = 2;
    RecordingLog log;
    RunLines lines(log);
    const auto pace = Pace::create(false);
    const RunContext context{settings, lines, *pace, nullptr, nullptr};
    const RetryRule rule(context);
    const FTPException refused("550", "no");
    EXPECT_TRUE(rule.again(FTPException("450", "busy"), 1));
    EXPECT_FALSE(rule.again(FTPException("450", "busy"), 2));
    EXPECT_FALSE(rule.again(refused, 0));
    EXPECT_TRUE(rule.again(refused, 0, true));  // the session was lost: replaced whatever it said

    Session session;
    session.lastReply = {"500", ""};
    rule.announce(session, "upload a.txt", 1);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"retry upload a.txt (2 of 2)\tcode: 500\tmessage: "}));
    // The line's own pause (none unpaced), then the wait before the next try.
    EXPECT_EQ(log.pauses, (std::vector<std::int32_t>{0, 2000}));
}
