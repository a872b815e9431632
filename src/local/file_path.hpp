#pragma once
// One local file or folder path, held with "/" as its only separator.
#include <cstdint>
#include <string>

class FilePath {
public:
    FilePath() = default;
    // Every backslash becomes "/"; the folder flag starts false.
    explicit FilePath(std::string text);

    const std::string& path() const { return text_; }
    FilePath dup() const { return FilePath(text_); }
    // In place: every "/" becomes a backslash, so `path` yields the native form.
    FilePath& native();
    // The last component.
    std::string file() const;
    // Size from the platform attribute query; raises IOException "<path>: <system text>".
    std::uint64_t fileSize() const;
    // Last modification in whole seconds since 1970 UTC; raises as fileSize does.
    std::int64_t modifiedTime() const;
    // The folder flag, else the platform attribute query; raises as fileSize does.
    bool isFolder() const;

    void setFolder(bool folder) { folder_ = folder; }
    bool folderFlag() const { return folder_; }

    bool operator==(const FilePath& other) const { return text_ == other.text_; }

private:
    std::size_t lastComponentStart() const;
    std::string text_;
    bool folder_ = false;
};
