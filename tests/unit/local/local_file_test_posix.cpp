#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/exception.hpp"
#include "local/local_file.hpp"

namespace {
class LocalFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() / ("ftp_local_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir / "sub");
        std::ofstream(dir / "sub" / "file.txt") << "hello";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string failure(const std::string& path)
    {
        try {
            LocalFile file(path);
        } catch (const IOException& e) {
            return e.message();
        }
        return "opened";
    }

    std::filesystem::path dir;
};
}

TEST_F(LocalFileTest, BackslashPathsReachTheFile)
{
    LocalFile file(dir.string() + "\\sub\\file.txt");
    EXPECT_EQ(file.size(), 5u);
    char buffer[16];
    EXPECT_EQ(file.read(buffer, sizeof buffer), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(file.read(buffer, sizeof buffer), 0u);
}

TEST_F(LocalFileTest, AFifoIsRefusedWithoutWaitingForAWriter)
{
    const std::string fifo = (dir / "pipe").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(failure(fifo), fifo + " :: not a regular file");
}

TEST_F(LocalFileTest, FoldersAndMissingFilesNameTheGivenPath)
{
    const std::string folder = dir.string() + "\\sub";
    EXPECT_EQ(failure(folder), folder + " :: not a regular file");
    const std::string missing = dir.string() + "\\sub\\none";
    EXPECT_EQ(failure(missing), missing + " :: No such file or directory");
}
