#include "local/scan.hpp"

#include <algorithm>
#include <optional>

#include "local/file_scan.hpp"
#include "local/file_system.hpp"
#include "local/patterns.hpp"

namespace {
bool anyMatches(const std::vector<std::string>& patterns, const std::string& name)
{
    return std::any_of(patterns.begin(), patterns.end(),
                       [&name](const std::string& pattern) { return patternMatch(name, pattern); });
}

struct OwnFile {
    std::string name;
    FileIdentity identity;
};

// Letters in one case: Windows names differ in case alone only in spelling.
std::string folded(std::string name)
{
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return name;
}

// Only the ones that exist: a file not there yet cannot be in the tree either.
std::vector<OwnFile> ownFilesPresent(const std::vector<std::string>& ownOutputFiles)
{
    std::vector<OwnFile> present;
    for (const std::string& path : ownOutputFiles)
        if (std::optional<FileIdentity> identity = fileSystem().identity(path))
            present.push_back({folded(FilePath(path).file()), *identity});
    return present;
}

// The identity settles it (relative paths, "..", links and case all come out alike); the
// name goes first because it costs nothing, the identity a system call.
bool isOwnFile(const FilePath& entry, const std::vector<OwnFile>& own)
{
    for (const OwnFile& file : own)
        if (folded(entry.file()) == file.name && fileSystem().identity(entry.path()) == file.identity) return true;
    return false;
}
}

bool selectEntry(const FilePath& entry, bool entryIsFolder, const ScanSettings& settings, std::uint64_t& totalBytes)
{
    if (entryIsFolder) return true;
    const std::string matchName = entry.dup().native().path();
    const std::uint64_t size = entry.fileSize();
    if (!settings.includePatterns.empty() && !anyMatches(settings.includePatterns, matchName)) return false;
    if (anyMatches(settings.excludePatterns, matchName)) return false;
    totalBytes += size;
    return true;
}

ScanResult scanLocal(const std::string& localFolder, const ScanSettings& settings)
{
    ScanResult result;
    std::uint64_t totalBytes = 0;
    result.root = localFolder;

    // FilePath, which the scan starts from, turns "\" separators into "/" itself.
    const std::vector<OwnFile> own = ownFilesPresent(settings.ownOutputFiles);
    FileScan scan;
    scan.takeHidden(settings.hidden);
    scan.sweep(
        localFolder,
        ScanFilter([&totalBytes, &own, &settings](const FilePath& entry, bool entryIsFolder) {
            if (!entryIsFolder && !own.empty() && isOwnFile(entry, own)) return false;
            return selectEntry(entry, entryIsFolder, settings, totalBytes);
        }),
        settings.recurse);

    result.totalBytes = totalBytes;
    result.files = scan.files();
    result.folders = scan.folders();
    result.errors = scan.errors();
    result.leftOut = scan.leftOut();
    return result;
}

bool scanLeavesOut(const std::string& root, const std::string& relative, bool folder, const ScanSettings& settings)
{
    if (!settings.recurse && (folder || relative.find('/') != std::string::npos)) return true;
    if (!settings.hidden) {
        // Whatever the platform calls hidden, a name with a leading "." is kept back: on
        // Windows a gone file's attribute cannot be asked, and deleting is not undone.
        for (std::size_t at = 0;; ++at) {
            if (relative.compare(at, 1, ".") == 0) return true;
            at = relative.find('/', at);
            if (at == std::string::npos) break;
        }
    }
    if (folder) return false;
    std::string matchName = root + relative;
    for (char& c : matchName)
        if (c == '/') c = '\\';
    if (!settings.includePatterns.empty() && !anyMatches(settings.includePatterns, matchName)) return true;
    return anyMatches(settings.excludePatterns, matchName);
}

bool localEntryExists(const std::string& root, const std::string& relative)
{
    try {
        fileSystem().attributes(root + relative);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
