#include <gtest/gtest.h>

#include "local/file_scan.hpp"
#include "local/scan.hpp"
#include "scan_support.hpp"

namespace {

using scantest::InjectedFileSystem;
using scantest::ScanTest;
using scantest::textSet;
using scantest::texts;
using List = std::vector<std::string>;

std::string nativeForm(const std::string& path) { return FilePath(path).native().path(); }

TEST_F(ScanTest, EmptyFolderGivesNothing)
{
    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_TRUE(result.files.empty());
    EXPECT_TRUE(result.folders.empty());
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(result.totalBytes, 0u);
}

TEST_F(ScanTest, FoldersComeChildrenFirstWithTheRootLast)
{
    std::string deep = tree.file("sub/deep/f.txt", "abc");
    std::string shallow = tree.file("sub/g.txt", "de");
    tree.folder("sub/empty");

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_EQ(textSet(result.files), (std::set<std::string>{deep, shallow}));
    EXPECT_EQ(texts(result.folders), (List{tree.at("sub/deep"), tree.at("sub"), tree.root()}));
    EXPECT_EQ(result.totalBytes, 5u);
    EXPECT_TRUE(result.errors.empty());
}

TEST_F(ScanTest, WithoutRecursionOnlyTheRootCounts)
{
    std::string top = tree.file("a.txt");
    tree.file("sub/b.txt");
    config().recurse = false;

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_EQ(texts(result.files), (List{top}));
    EXPECT_EQ(texts(result.folders), (List{tree.root()}));
}

TEST_F(ScanTest, FoldersWhoseFilesAreAllRejectedAreLeftOut)
{
    std::string kept = tree.file("keep/a.txt");
    tree.file("drop/b.log");
    tree.file("drop/deeper/c.log");
    config().excludePatterns = {"*.log"};

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_EQ(texts(result.files), (List{kept}));
    EXPECT_EQ(texts(result.folders), (List{tree.at("keep"), tree.root()}));

    config().excludePatterns = {"*"};
    result = scanLocal(tree.root(), config());
    EXPECT_TRUE(result.files.empty());
    EXPECT_TRUE(result.folders.empty());
}

TEST_F(ScanTest, RootGivenWithATrailingSeparator)
{
    std::string file = tree.file("a.txt");
    tree.file("sub/b.txt");
    const std::string given = nativeForm(tree.root()) + "\\";

    ScanResult result = scanLocal(given, config());
    EXPECT_EQ(result.root, given);
    EXPECT_EQ(textSet(result.files), (std::set<std::string>{file, tree.at("sub/b.txt")}));
    // Sub-folders never end with "/"; the root is the swept text as given.
    EXPECT_EQ(texts(result.folders), (List{tree.at("sub"), tree.root() + "/"}));
}

TEST_F(ScanTest, PatternsSeeTheWholeNativePath)
{
    std::string top = tree.file("report.txt", "1234");
    std::string nested = tree.file("sub/report.txt", "12");
    tree.file("sub/other.txt");

    config().includePatterns = {"report.txt"};
    EXPECT_TRUE(scanLocal(tree.root(), config()).files.empty());

    config().includePatterns = {"*.doc", "*\\report.txt"};
    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_EQ(textSet(result.files), (std::set<std::string>{top, nested}));
    EXPECT_EQ(result.totalBytes, 6u);

    config().includePatterns = {nativeForm(top)};
    EXPECT_EQ(texts(scanLocal(tree.root(), config()).files), (List{top}));

    config().includePatterns = {"*"};
    config().excludePatterns = {nativeForm(tree.at("sub")) + "\\*"};
    EXPECT_EQ(texts(scanLocal(tree.root(), config()).files), (List{top}));

    // An include option with an empty value selects nothing; an empty exclude keeps all.
    config().includePatterns = {""};
    config().excludePatterns = {};
    EXPECT_TRUE(scanLocal(tree.root(), config()).files.empty());
    config().includePatterns = {};
    config().excludePatterns = {""};
    EXPECT_EQ(scanLocal(tree.root(), config()).files.size(), 3u);
}

TEST_F(ScanTest, MissingRootIsOneError)
{
    const std::string missing = tree.at("nope");
    ScanResult result = scanLocal(missing, config());
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].substr(0, missing.size() + 2), missing + ": ");
    EXPECT_TRUE(result.files.empty());
    EXPECT_TRUE(result.folders.empty());
}

TEST_F(ScanTest, AFailingSizeQueryCostsThatFileAlone)
{
    std::string bad = tree.file("b.txt");
    std::string before = tree.file("a.txt");
    std::string after = tree.file("c.txt");
    std::string below = tree.file("sub/d.txt");
    InjectedFileSystem injected;
    injected.failingAttributes = {bad};
    // Even a file the patterns would reject has its size read first.
    config().excludePatterns = {"*\\b.txt"};

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_EQ(result.errors, (List{bad + ": query refused"}));
    EXPECT_EQ(textSet(result.files), (std::set<std::string>{before, after, below}));
    EXPECT_EQ(texts(result.folders), (List{tree.at("sub"), tree.root()}));
}

TEST_F(ScanTest, AFailingFolderCheckCostsThatEntryAlone)
{
    std::string bad = tree.file("b.txt");
    std::string good = tree.file("c.txt");
    std::string below = tree.file("sub/d.txt");
    InjectedFileSystem injected;
    injected.failingAttributes = {bad};

    FileScan scan;
    scan.sweep(tree.root(), true);
    EXPECT_EQ(scan.errors(), (List{bad + ": query refused"}));
    EXPECT_EQ(textSet(scan.files()), (std::set<std::string>{good, below}));
}

TEST_F(ScanTest, AnUnlistableFolderIsReportedAndTheRestScanned)
{
    tree.file("locked/a.txt");
    tree.file("locked/inner/b.txt");
    std::string open = tree.file("open/c.txt");
    InjectedFileSystem injected;
    injected.failingListings = {tree.at("locked")};

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_EQ(result.errors, (List{tree.at("locked") + ": listing refused"}));
    EXPECT_EQ(texts(result.files), (List{open}));
    EXPECT_EQ(texts(result.folders), (List{tree.at("open"), tree.root()}));
}

TEST_F(ScanTest, EntriesTheListingCouldNotExamineAreReported)
{
    std::string good = tree.file("a.txt");
    InjectedFileSystem injected;
    FolderEntry broken;
    broken.name = "broken";
    broken.error = tree.at("broken") + ": cannot examine";
    FolderEntry hidden;
    hidden.name = "secret";
    hidden.hidden = true;
    hidden.error = "never shown";
    FolderEntry system;
    system.name = "device";
    system.system = true;
    injected.extraEntries[tree.root()] = {broken, hidden, system};

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_EQ(result.errors, (List{tree.at("broken") + ": cannot examine"}));
    EXPECT_EQ(texts(result.files), (List{good}));
}

TEST_F(ScanTest, AFolderAlreadyBeingScannedIsNotEnteredAgain)
{
    std::string top = tree.file("a.txt");
    std::string inner = tree.file("sub/b.txt");
    tree.file("sub/back/c.txt");
    InjectedFileSystem injected;
    // "back" stands for a link to the root.
    injected.identities[tree.root()] = FileIdentity{7, 1};
    injected.identities[tree.at("sub")] = FileIdentity{7, 2};
    injected.identities[tree.at("sub/back")] = FileIdentity{7, 1};

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(textSet(result.files), (std::set<std::string>{top, inner}));
    EXPECT_EQ(texts(result.folders), (List{tree.at("sub"), tree.root()}));
}

// A remote entry whose local copy is gone is judged by the rules alone.
TEST_F(ScanTest, WhatAScanWouldLeaveOutIsToldWithoutTheFiles)
{
    const std::string root = nativeForm(tree.root() + "/");
    ScanSettings rules;
    rules.excludePatterns = {"*.log"};
    EXPECT_FALSE(scanLeavesOut(root, "a/b.txt", false, rules));
    EXPECT_FALSE(scanLeavesOut(root, "a", true, rules));
    EXPECT_TRUE(scanLeavesOut(root, "a/b.log", false, rules));
    EXPECT_FALSE(scanLeavesOut(root, "b.log", true, rules));  // patterns judge files only
    for (const char* hidden : {".htaccess", "a/.well-known", "a/.git/config", ".x/y.txt"})
        EXPECT_TRUE(scanLeavesOut(root, hidden, false, rules)) << hidden;
    EXPECT_FALSE(scanLeavesOut(root, "a.b/c.d", false, rules));
    rules.hidden = true;
    EXPECT_FALSE(scanLeavesOut(root, "a/.well-known/x", false, rules));
    rules.recurse = false;
    EXPECT_TRUE(scanLeavesOut(root, "a/b.txt", false, rules));
    EXPECT_TRUE(scanLeavesOut(root, "a", true, rules));
    EXPECT_FALSE(scanLeavesOut(root, "b.txt", false, rules));
    rules.includePatterns = {"*.html"};
    EXPECT_TRUE(scanLeavesOut(root, "b.txt", false, rules));
}

// A repository's history stays out of a deploy of hidden files, and so out of its deletions.
TEST_F(ScanTest, VersionControlFoldersStayOutOfHiddenFilesUnlessAnIncludeNamesThem)
{
    const std::string page = tree.file("index.html");
    const std::string wellKnown = tree.file(".well-known/x.txt");
    const std::string gitConfig = tree.file(".git/config");
    tree.file("sub/.svn/entries");
    tree.file(".HG/store");
    tree.file("sub/a.txt");
    config().hidden = true;
    const std::string root = nativeForm(tree.root() + "/");

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_EQ(textSet(result.files), (std::set<std::string>{page, wellKnown, tree.at("sub/a.txt")}));
    EXPECT_EQ(std::set<std::string>(result.leftOut.begin(), result.leftOut.end()),
              (std::set<std::string>{tree.at(".git"), tree.at("sub/.svn"), tree.at(".HG")}));
    for (const auto& [relative, folder] : {std::pair{".git", true}, {"sub/.svn/entries", false}, {".hg/x", false}})
        EXPECT_TRUE(scanLeavesOut(root, relative, folder, config())) << relative;
    EXPECT_FALSE(scanLeavesOut(root, ".gitignore", false, config()));
    EXPECT_FALSE(scanLeavesOut(root, ".github/x.yml", false, config()));

    config().includePatterns = {"*\\.GIT\\*", "*.html"};
    result = scanLocal(tree.root(), config());
    EXPECT_EQ(textSet(result.files), (std::set<std::string>{page, gitConfig}));
    EXPECT_FALSE(scanLeavesOut(root, ".git/config", false, config()));
    EXPECT_TRUE(scanLeavesOut(root, "sub/.svn/entries", false, config()));
}

TEST_F(ScanTest, SuffixSweepTakesFilesOfOneKindFromEveryFolder)
{
    std::string top = tree.file("a.txt");
    std::string nested = tree.file("sub/b.txt");
    tree.file("a.txt.bak");
    tree.file("txt");
    tree.file("sub/c.TXT");

    FileScan scan;
    scan.sweep(tree.root(), ".txt", true);
    EXPECT_EQ(textSet(scan.files()), (std::set<std::string>{top, nested}));
    EXPECT_EQ(texts(scan.folders()), (List{tree.at("sub"), tree.root()}));

    // A new sweep starts from nothing.
    scan.sweep(tree.at("sub"), ".bak", true);
    EXPECT_TRUE(scan.files().empty());
    EXPECT_TRUE(scan.folders().empty());
}

}
