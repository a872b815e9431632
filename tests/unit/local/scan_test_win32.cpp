#include <gtest/gtest.h>

#include <windows.h>

#include "common/wide.hpp"
#include "local/local_file.hpp"
#include "local/scan.hpp"
#include "scan_support.hpp"

namespace {

using scantest::ScanTest;
using scantest::texts;
using List = std::vector<std::string>;

std::wstring extended(const std::string& path)
{
    std::wstring wide = sys::toWide(FilePath(path).native().path());
    return L"\\\\?\\" + wide;
}

TEST_F(ScanTest, HiddenAndSystemAttributesKeepEntriesOut)
{
    std::string visible = tree.file("a.txt");
    std::string hidden = tree.file("b.txt");
    std::string system = tree.file("c.txt");
    tree.file("secret/d.txt");
    ASSERT_TRUE(SetFileAttributesW(sys::toWide(hidden).c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesW(sys::toWide(system).c_str(), FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(SetFileAttributesW(sys::toWide(tree.at("secret")).c_str(), FILE_ATTRIBUTE_HIDDEN));
    config().includePatterns = {"*"};

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_EQ(texts(result.files), (List{visible}));
    EXPECT_TRUE(result.errors.empty());
}

TEST_F(ScanTest, PathsBeyondTheClassicLimitAreScanned)
{
    // Five folders of 60 characters take the file well past 260.
    std::vector<std::string> folders;
    std::string folder = tree.root();
    for (int level = 0; level < 5; ++level) {
        folder += "/" + std::string(59, 'd') + std::to_string(level);
        ASSERT_TRUE(CreateDirectoryW(extended(folder).c_str(), nullptr)) << GetLastError();
        folders.push_back(folder);
    }
    const std::string file = folder + "/deep.txt";
    HANDLE handle = CreateFileW(extended(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(handle, "1234", 4, &written, nullptr);
    CloseHandle(handle);
    ASSERT_GT(file.size(), 300u);

    ScanResult result = scanLocal(tree.root(), config());
    EXPECT_TRUE(result.errors.empty()) << result.errors.front();
    EXPECT_EQ(texts(result.files), (List{file}));
    EXPECT_EQ(result.totalBytes, 4u);
    EXPECT_EQ(result.folders.size(), 6u);
    {
        // The upload must be able to open what the scan listed, by the same native path.
        LocalFile listed(result.files.front().dup().native().path());
        char bytes[8];
        EXPECT_EQ(listed.read(bytes, sizeof bytes), 4u);
    }

    // The library's tree removal stops at the classic limit.
    DeleteFileW(extended(file).c_str());
    for (auto level = folders.rbegin(); level != folders.rend(); ++level) RemoveDirectoryW(extended(*level).c_str());
}

}
