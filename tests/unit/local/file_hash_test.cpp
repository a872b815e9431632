#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "common/exception.hpp"
#include "common/sha256.hpp"
#include "local/file_hash.hpp"

TEST(FileHash, WholeFileAcrossChunksAndAFailureAsIOException)
{
    std::random_device seed;
    const auto dir = std::filesystem::temp_directory_path() / ("ftpupload-hash-" + std::to_string(seed()));
    std::filesystem::create_directories(dir / "sub");
    // Past one 64 KiB chunk, with bytes a text-mode read would change.
    std::string content;
    for (int i = 0; i < 70000; ++i) content += static_cast<char>(i % 251);
    std::ofstream(dir / "sub" / "f.bin", std::ios::binary) << content;
    std::ofstream(dir / "empty", std::ios::binary);
    const std::string root = dir.string();
    EXPECT_EQ(hashLocalFile(root + "\\sub\\f.bin"), sha256Hex(content));
    EXPECT_EQ(hashLocalFile(root + "\\empty"), sha256Hex(""));
    EXPECT_THROW(hashLocalFile(root + "\\missing"), IOException);
    EXPECT_THROW(hashLocalFile(root + "\\sub"), IOException);
    std::filesystem::remove_all(dir);
}
