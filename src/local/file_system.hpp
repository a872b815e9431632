#pragma once
// The few file-system primitives the scan needs, behind one swappable object so
// tests can make a single query fail without touching the real tree.
//
// Every path handed in is program text (UTF-8, "/" or "\" separators); each
// implementation turns it into the OS form itself. Failures raise IOException
// with the message "<path as given>: <system message>".
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct FolderEntry {
    std::string name;
    bool folder = false;
    bool hidden = false;
    bool system = false;
    // Set when this one entry could not be examined; the entry is then not usable,
    // but the rest of its folder is.
    std::string error;
};

struct FileAttributes {
    bool folder = false;
    std::uint64_t size = 0;
    // Last modification, whole seconds since 1970-01-01 UTC (rounded down).
    std::int64_t modified = 0;
};

// Which file or folder a path really names, whatever link, junction or spelling led there.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t node = 0;
    // Names the file has (hard links); no part of which file it is.
    std::uint64_t links = 1;
    bool operator==(const FileIdentity& other) const { return volume == other.volume && node == other.node; }
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    // Every entry of one folder except "." and "..". Raises when the folder cannot be listed.
    virtual std::vector<FolderEntry> listFolder(const std::string& folder) = 0;
    virtual FileAttributes attributes(const std::string& path) = 0;
    // Of a file or a folder. Empty when the platform cannot tell.
    virtual std::optional<FileIdentity> identity(const std::string& path) = 0;
};

// The real one, implemented per platform.
FileSystem& platformFileSystem();
// The one the scan uses: the real one unless a test put another in place.
FileSystem& fileSystem();
// Returns the previous one; nullptr restores the real one.
FileSystem* setFileSystem(FileSystem* replacement);

// Puts a file system in place for its lifetime (tests).
class FileSystemOverride {
public:
    explicit FileSystemOverride(FileSystem* replacement) : previous_(setFileSystem(replacement)) {}
    ~FileSystemOverride() { setFileSystem(previous_); }
    FileSystemOverride(const FileSystemOverride&) = delete;
    FileSystemOverride& operator=(const FileSystemOverride&) = delete;

private:
    FileSystem* previous_;
};
