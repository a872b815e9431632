#include "local/file_system.hpp"

#include <windows.h>

#include <algorithm>

#include "common/exception.hpp"
#include "common/system_error.hpp"
#include "common/wide.hpp"
#include "common/windows_path.hpp"

namespace {
std::wstring osPath(const std::string& text, std::size_t extra = 0) { return sys::windowsPath(text, extra); }

IOException lastFailure(const std::string& path)
{
    // Taken first: anything called afterwards may overwrite it.
    int code = sys::lastError();
    return IOException(path + ": " + sys::errorText(code));
}

// A surrogate without its partner has no UTF-8 form: it would reach the server replaced.
bool pairedSurrogates(const wchar_t* name)
{
    for (; *name; ++name) {
        if (*name >= 0xDC00 && *name <= 0xDFFF) return false;
        if (*name >= 0xD800 && *name <= 0xDBFF) {
            if (name[1] < 0xDC00 || name[1] > 0xDFFF) return false;
            ++name;
        }
    }
    return true;
}

FolderEntry entryFrom(const std::string& folder, const WIN32_FIND_DATAW& data)
{
    FolderEntry entry;
    entry.name = sys::fromWide(data.cFileName);
    if (!pairedSurrogates(data.cFileName)) {
        const bool separated = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
        entry.error = folder + (separated ? "" : "\\") + entry.name +
                      ": the name is not UTF-16 (an unpaired surrogate), which a remote name cannot hold";
        return entry;
    }
    entry.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.hidden = (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
    entry.system = (data.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) != 0;
    return entry;
}

bool isDotName(const wchar_t* name)
{
    return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

class Win32FileSystem : public FileSystem {
public:
    std::vector<FolderEntry> listFolder(const std::string& folder) override
    {
        bool endsWithSeparator = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
        std::wstring pattern = osPath(folder, 2);
        pattern += endsWithSeparator ? L"*" : L"\\*";

        WIN32_FIND_DATAW data{};
        HANDLE find = FindFirstFileW(pattern.c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) {
            // A drive root with nothing on it has no "." entry to find either.
            if (GetLastError() == ERROR_FILE_NOT_FOUND) return {};
            throw lastFailure(folder);
        }
        std::vector<FolderEntry> entries;
        for (;;) {
            if (!isDotName(data.cFileName)) entries.push_back(entryFrom(folder, data));
            if (!FindNextFileW(find, &data)) {
                if (GetLastError() == ERROR_NO_MORE_FILES) break;
                IOException error = lastFailure(folder);
                FindClose(find);
                throw error;
            }
        }
        FindClose(find);
        return entries;
    }

    FileAttributes attributes(const std::string& path) override
    {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(osPath(path).c_str(), GetFileExInfoStandard, &data)) throw lastFailure(path);
        FileAttributes result;
        result.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        result.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        // FILETIME counts 100 ns from 1601-01-01 UTC.
        const std::int64_t ticks = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime);
        constexpr std::int64_t ticksTo1970 = 116444736000000000LL;
        const std::int64_t since1970 = ticks - ticksTo1970;
        result.modified = since1970 >= 0 ? since1970 / 10'000'000 : -((-since1970 + 9'999'999) / 10'000'000);
        return result;
    }

    std::optional<FileIdentity> identity(const std::string& path) override
    {
        // Junctions can lead back up the tree just as POSIX links can; the backup flag lets a
        // folder be opened at all.
        HANDLE handle = CreateFileW(osPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
        BY_HANDLE_FILE_INFORMATION info{};
        bool known = GetFileInformationByHandle(handle, &info) != 0;
        CloseHandle(handle);
        if (!known) return std::nullopt;
        return FileIdentity{info.dwVolumeSerialNumber,
                            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                            info.nNumberOfLinks};
    }
};
}

FileSystem& platformFileSystem()
{
    static Win32FileSystem instance;
    return instance;
}
