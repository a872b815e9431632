#pragma once
// Real temporary trees and a file-system layer that fails where a test says.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/config.hpp"
#include "common/exception.hpp"
#include "local/file_path.hpp"
#include "local/file_system.hpp"

namespace scantest {

inline std::string utf8(const std::filesystem::path& path)
{
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// A fresh folder under the system's temporary folder, removed again at the end.
class TempTree {
public:
    TempTree()
    {
        std::random_device seed;
        root_ = std::filesystem::temp_directory_path() /
                ("ftpupload-scan-" + std::to_string(seed()) + "-" + std::to_string(seed()));
        std::filesystem::create_directories(root_);
    }
    ~TempTree()
    {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::filesystem::path& location() const { return root_; }
    // The root as the program holds it ("/" separators).
    std::string root() const { return FilePath(utf8(root_)).path(); }
    // Program text of a path below the root; `relative` uses "/".
    std::string at(const std::string& relative) const { return root() + "/" + relative; }

    std::string file(const std::string& relative, const std::string& content = "x")
    {
        std::filesystem::path path = root_ / std::filesystem::path(relative);
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return at(relative);
    }
    std::string folder(const std::string& relative)
    {
        std::filesystem::create_directories(root_ / std::filesystem::path(relative));
        return at(relative);
    }

private:
    std::filesystem::path root_;
};

// Passes everything to the real layer except what a test marks to fail.
class InjectedFileSystem : public FileSystem {
public:
    InjectedFileSystem() : override_(this) {}

    std::set<std::string> failingAttributes;
    std::set<std::string> failingListings;
    std::map<std::string, FileIdentity> identities;
    std::map<std::string, std::vector<FolderEntry>> extraEntries;
    int attributeQueries = 0;

    std::vector<FolderEntry> listFolder(const std::string& folder) override
    {
        if (failingListings.count(folder)) throw IOException(folder + ": listing refused");
        std::vector<FolderEntry> entries = platformFileSystem().listFolder(folder);
        auto extra = extraEntries.find(folder);
        if (extra != extraEntries.end()) entries.insert(entries.end(), extra->second.begin(), extra->second.end());
        return entries;
    }
    FileAttributes attributes(const std::string& path) override
    {
        ++attributeQueries;
        if (failingAttributes.count(path)) throw IOException(path + ": query refused");
        return platformFileSystem().attributes(path);
    }
    std::optional<FileIdentity> identity(const std::string& path) override
    {
        auto known = identities.find(path);
        if (known != identities.end()) return known->second;
        return platformFileSystem().identity(path);
    }

private:
    FileSystemOverride override_;
};

inline std::vector<std::string> texts(const std::vector<FilePath>& paths)
{
    std::vector<std::string> out;
    for (const FilePath& path : paths) out.push_back(path.path());
    return out;
}

inline std::set<std::string> textSet(const std::vector<FilePath>& paths)
{
    std::vector<std::string> list = texts(paths);
    return {list.begin(), list.end()};
}

// Leaves the process-wide settings as the option reader would with no options.
class ScanTest : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        config().recurse = true;
        config().hidden = false;
        config().includePatterns.clear();
        config().excludePatterns.clear();
        config().ownOutputFiles.clear();
    }
    TempTree tree;
};

}
