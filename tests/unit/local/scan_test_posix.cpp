#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "local/file_scan.hpp"
#include "local/scan.hpp"
#include "scan_support.hpp"

namespace {

using scantest::ScanTest;
using scantest::texts;
using List = std::vector<std::string>;

TEST_F(ScanTest, DotNamesAreHiddenWhateverThePatternsSay)
{
    std::string visible = tree.file("a.txt");
    tree.file(".hidden.txt");
    tree.file(".secret/b.txt");
    tree.file("sub/.c.txt");
    config().includePatterns = {"*"};

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_EQ(texts(result.files), (List{visible}));
    EXPECT_EQ(texts(result.folders), (List{tree.root()}));
    EXPECT_TRUE(result.errors.empty());
    // What a mirror must leave alone on the server: the hidden entries seen.
    EXPECT_EQ(result.leftOut, (List{tree.at(".hidden.txt"), tree.at(".secret"), tree.at("sub/.c.txt")}));

    config().hidden = true;
    config().excludePatterns = {"*\\.secret\\*"};
    result = scanLocal(tree.root(), config());
    EXPECT_EQ(texts(result.files), (List{tree.at(".hidden.txt"), visible, tree.at("sub/.c.txt")}));
    EXPECT_EQ(result.leftOut, (List{tree.at(".secret/b.txt")}));
}

TEST_F(ScanTest, EntriesComeInByteOrder)
{
    for (const char* name : {"b", "B", "a", "_", "a0"}) tree.file(name);
    EXPECT_EQ(texts(scanLocal(tree.root(), config()).files),
              (List{tree.at("B"), tree.at("_"), tree.at("a"), tree.at("a0"), tree.at("b")}));
}

TEST_F(ScanTest, FifosCountAsSystemEntries)
{
    std::string file = tree.file("a.txt");
    ASSERT_EQ(mkfifo(tree.at("pipe").c_str(), 0600), 0);

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_EQ(texts(result.files), (List{file}));
    EXPECT_TRUE(result.errors.empty());
}

TEST_F(ScanTest, LinksAreFollowedButNeverBackUpThePath)
{
    scantest::TempTree outside;
    std::string target = outside.file("target.txt", "123456");
    std::string top = tree.file("a.txt", "1");
    std::string inner = tree.file("sub/b.txt", "22");
    ASSERT_EQ(symlink(target.c_str(), tree.at("link.txt").c_str()), 0);
    ASSERT_EQ(symlink("..", tree.at("sub/up").c_str()), 0);
    ASSERT_EQ(symlink(tree.root().c_str(), tree.at("sub/root").c_str()), 0);
    ASSERT_EQ(symlink(outside.root().c_str(), tree.at("elsewhere").c_str()), 0);

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(texts(result.files), (List{top, tree.at("elsewhere/target.txt"), tree.at("link.txt"), inner}));
    EXPECT_EQ(texts(result.folders), (List{tree.at("elsewhere"), tree.at("sub"), tree.root()}));
    EXPECT_EQ(result.totalBytes, 1u + 6u + 6u + 2u);
}

TEST_F(ScanTest, ABrokenLinkIsReportedAndItsSiblingsKept)
{
    std::string file = tree.file("a.txt");
    ASSERT_EQ(symlink(tree.at("gone").c_str(), tree.at("dangling").c_str()), 0);

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_EQ(texts(result.files), (List{file}));
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0], tree.at("dangling") + ": No such file or directory");
}

TEST_F(ScanTest, ANameWithABackslashOrNotInUtf8IsReportedNotDropped)
{
    std::string file = tree.file("a.txt");
    tree.file("odd\\name.txt");
    tree.file("odd/name.txt");
    tree.file("caf\xE9.txt");

    ScanResult result = scanLocal(tree.root(), config());
    ASSERT_EQ(result.errors.size(), 2u);
    EXPECT_EQ(result.errors[0], tree.root() + "/caf\\xE9.txt: the name is not UTF-8, which a remote name cannot hold");
    EXPECT_EQ(result.errors[1].substr(0, tree.root().size() + 15), tree.root() + "/odd\\name.txt: ");
    EXPECT_EQ(texts(result.files), (List{file, tree.at("odd/name.txt")}));
    // Each is named as the file the error left out, for the report.
    ASSERT_EQ(result.refused.size(), 2u);
    EXPECT_EQ(result.refused[0].path, tree.at("caf\xE9.txt"));
    EXPECT_EQ(result.refused[1].reason, result.errors[1]);
}

TEST_F(ScanTest, PosixRootsMatchInTheirNativeForm)
{
    std::string file = tree.file("a.txt");
    std::string native = FilePath(tree.root()).native().path();
    ASSERT_EQ(native.substr(0, 1), "\\");
    config().includePatterns = {native + "\\a.txt"};

    ScanResult result = scanLocal(native, config());
    EXPECT_EQ(result.root, native);
    EXPECT_EQ(texts(result.files), (List{file}));
}

TEST_F(ScanTest, UnreadableFolderIsReported)
{
    // Root reads through any mode bits, so this only proves something as another user.
    if (geteuid() == 0) GTEST_SKIP() << "running as root";
    tree.file("locked/a.txt");
    ASSERT_EQ(chmod(tree.at("locked").c_str(), 0), 0);
    ScanResult result = scanLocal(tree.root(), config());
    chmod(tree.at("locked").c_str(), 0700);
    EXPECT_EQ(result.errors, (List{tree.at("locked") + ": Permission denied"}));
}

}
