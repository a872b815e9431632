#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>

#include "common/exception.hpp"
#include "local/local_file.hpp"

TEST(LocalFileWin32, OpenFileIsNotSharedAndDevicesAreRefused)
{
    auto path = std::filesystem::temp_directory_path() / "ftp_local_share.txt";
    std::ofstream(path) << "hello";
    {
        LocalFile file(path.string());
        EXPECT_EQ(file.size(), 5u);
        // While the upload holds the file nobody else may open it.
        HANDLE other = CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(other, INVALID_HANDLE_VALUE);
        if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    }
    std::filesystem::remove(path);
    try {
        LocalFile device("NUL");
        FAIL() << "device opened";
    } catch (const IOException& e) {
        EXPECT_EQ(e.message(), "NUL :: not a regular file");
    }
}
