#include <gtest/gtest.h>

#include "common/exception.hpp"
#include "local/file_path.hpp"
#include "scan_support.hpp"

namespace {

TEST(FilePath, HoldsForwardSlashesAndGivesTheNativeFormOnACopy)
{
    FilePath path("C:\\data/sub\\a.txt");
    EXPECT_EQ(path.path(), "C:/data/sub/a.txt");
    EXPECT_FALSE(path.folderFlag());

    FilePath copy = path.dup();
    EXPECT_EQ(copy.native().path(), "C:\\data\\sub\\a.txt");
    EXPECT_EQ(path.path(), "C:/data/sub/a.txt");
    EXPECT_EQ(FilePath("/srv/site/a.txt").dup().native().path(), "\\srv\\site\\a.txt");
}

TEST(FilePath, LastComponent)
{
    EXPECT_EQ(FilePath("C:/data/a.txt").file(), "a.txt");
    EXPECT_EQ(FilePath("C:\\data\\sub").file(), "sub");
    EXPECT_EQ(FilePath("C:/data/").file(), "");
    EXPECT_EQ(FilePath("C:a.txt").file(), "a.txt");
    EXPECT_EQ(FilePath("a.txt").file(), "a.txt");
    EXPECT_EQ(FilePath("").file(), "");
}

TEST(FilePath, SizeAndFolderComeFromTheFileSystem)
{
    scantest::TempTree tree;
    FilePath file(tree.file("five.bin", "12345"));
    FilePath empty(tree.file("empty.bin", ""));
    FilePath folder(tree.folder("sub"));
    EXPECT_EQ(file.fileSize(), 5u);
    EXPECT_EQ(empty.fileSize(), 0u);
    EXPECT_FALSE(file.isFolder());
    EXPECT_TRUE(folder.isFolder());

    // The native form names the same file.
    EXPECT_EQ(file.dup().native().fileSize(), 5u);

    // A flag set by the listing is trusted without asking again.
    scantest::InjectedFileSystem injected;
    FilePath flagged(tree.at("missing"));
    flagged.setFolder(true);
    EXPECT_TRUE(flagged.isFolder());
    EXPECT_EQ(injected.attributeQueries, 0);
}

TEST(FilePath, FailedQueriesNameThePath)
{
    scantest::TempTree tree;
    FilePath missing(tree.at("missing.txt"));
    for (int query = 0; query < 2; ++query) {
        try {
            if (query == 0) missing.fileSize();
            else missing.isFolder();
            ADD_FAILURE() << "no failure raised";
        } catch (const IOException& failure) {
            const std::string prefix = missing.path() + ": ";
            EXPECT_EQ(failure.message().substr(0, prefix.size()), prefix);
            EXPECT_GT(failure.message().size(), prefix.size());
        }
    }
}

}
