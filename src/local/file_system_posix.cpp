#include "local/file_system.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "common/exception.hpp"
#include "common/posix_path.hpp"
#include "common/system_error.hpp"
#include "common/utf8.hpp"

namespace {
// Program text may carry the native "\" separator; the OS wants "/".
std::string joined(const std::string& folder, const std::string& name)
{
    if (folder.empty() || folder.back() == '/' || folder.back() == '\\') return folder + name;
    return folder + "/" + name;
}

IOException failure(const std::string& path, int code)
{
    return IOException(path + ": " + sys::errorText(code));
}

class DirectoryHandle {
public:
    explicit DirectoryHandle(DIR* dir) : dir_(dir) {}
    ~DirectoryHandle() { closedir(dir_); }
    DirectoryHandle(const DirectoryHandle&) = delete;
    DirectoryHandle& operator=(const DirectoryHandle&) = delete;
    DIR* get() const { return dir_; }

private:
    DIR* dir_;
};

std::vector<std::string> readNames(const std::string& folder, DIR* dir)
{
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry) {
            if (errno != 0) throw failure(folder, errno);
            break;
        }
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    // Byte order, so that two runs over the same tree visit it alike.
    std::sort(names.begin(), names.end());
    return names;
}

FolderEntry examine(const std::string& folder, int dirFd, std::string name)
{
    FolderEntry entry;
    entry.name = std::move(name);
    entry.hidden = !entry.name.empty() && entry.name.front() == '.';
    if (entry.name.find('\\') != std::string::npos) {
        // The program's path form uses "\" as its separator, so such a name
        // would silently turn into a different path.
        entry.error = joined(folder, entry.name) + ": the name contains a backslash, which a local path cannot hold";
        return entry;
    }
    if (!isValidUtf8(entry.name)) {
        // Names go to the server as UTF-8; a server stores these bytes under a replaced
        // name, which no later run would find again.
        entry.error = joined(folder, withInvalidBytesShown(entry.name)) +
                      ": the name is not UTF-8, which a remote name cannot hold";
        return entry;
    }
    struct stat info {};
    // Links are followed: what counts is what they lead to.
    if (fstatat(dirFd, entry.name.c_str(), &info, 0) != 0) {
        entry.error = joined(folder, entry.name) + ": " + sys::errorText(errno);
        return entry;
    }
    entry.folder = S_ISDIR(info.st_mode);
    // FIFOs, sockets and devices hold no file content to send; reading one could block for ever.
    entry.system = !entry.folder && !S_ISREG(info.st_mode);
    return entry;
}

class PosixFileSystem : public FileSystem {
public:
    std::vector<FolderEntry> listFolder(const std::string& folder) override
    {
        DIR* dir = opendir(sys::posixPath(folder).c_str());
        if (!dir) throw failure(folder, errno);
        DirectoryHandle handle(dir);
        std::vector<FolderEntry> entries;
        for (std::string& name : readNames(folder, dir))
            entries.push_back(examine(folder, dirfd(dir), std::move(name)));
        return entries;
    }

    FileAttributes attributes(const std::string& path) override
    {
        struct stat info {};
        if (stat(sys::posixPath(path).c_str(), &info) != 0) throw failure(path, errno);
        FileAttributes result;
        result.folder = S_ISDIR(info.st_mode);
        result.size = static_cast<std::uint64_t>(info.st_size);
        result.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec);
        return result;
    }

    std::optional<FileIdentity> identity(const std::string& path) override
    {
        struct stat info {};
        if (stat(sys::posixPath(path).c_str(), &info) != 0) return std::nullopt;
        return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                            static_cast<std::uint64_t>(info.st_nlink)};
    }
};
}

FileSystem& platformFileSystem()
{
    static PosixFileSystem instance;
    return instance;
}
