#include "local/scan.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>

#include "common/own_names.hpp"
#include "local/file_scan.hpp"
#include "local/file_system.hpp"
#include "local/patterns.hpp"

namespace {
bool anyMatches(const std::vector<std::string>& patterns, const std::string& name)
{
    return std::any_of(patterns.begin(), patterns.end(),
                       [&name](const std::string& pattern) { return patternMatch(name, pattern); });
}

std::string lowered(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// A repository's history is no part of what it deploys, even when hidden files are asked for;
// an include pattern that names the folder ("*\.git\*") lets it in.
bool versionControlFolderKeptOut(const std::string& name, const ScanSettings& settings)
{
    if (!settings.hidden) return false;  // the hidden rule keeps it out already
    const std::string folder = lowered(name);
    if (folder != ".git" && folder != ".svn" && folder != ".hg") return false;
    const std::string component = "\\" + folder;
    for (const std::string& pattern : settings.includePatterns) {
        const std::string text = lowered(pattern);
        for (std::size_t at = text.find(component); at != std::string::npos; at = text.find(component, at + 1)) {
            const std::size_t end = at + component.size();
            if (end == text.size() || text[end] == '\\') return false;
        }
    }
    return true;
}

struct OwnFile {
    FileIdentity identity;
    bool existedBefore;
};

// Only the ones that exist: a file not there yet cannot be in the tree either.
std::vector<OwnFile> ownFilesPresent(const std::vector<OwnOutputFile>& ownOutputFiles)
{
    std::vector<OwnFile> present;
    for (const OwnOutputFile& file : ownOutputFiles)
        if (std::optional<FileIdentity> identity = fileSystem().identity(file.path))
            present.push_back({*identity, file.existedBefore});
    return present;
}

// The identity alone settles it: a link, a hard link, a relative path, "..", or another
// spelling of the name all lead to the same file, and another file of the same name is not it.
const OwnFile* ownFileOf(const FilePath& entry, const std::vector<OwnFile>& own)
{
    if (own.empty()) return nullptr;
    const std::optional<FileIdentity> identity = fileSystem().identity(entry.path());
    if (!identity) return nullptr;
    for (const OwnFile& file : own)
        if (file.identity == *identity) return &file;
    return nullptr;
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
        ScanFilter([&](const FilePath& entry, bool entryIsFolder) {
            // A local file of such a name would be consumed or overwritten on the server by
            // the run itself while counted stored.
            if (isOwnName(entry.file())) {
                result.ownNames.push_back(entry.path());
                return false;
            }
            if (entryIsFolder) return !versionControlFolderKeptOut(entry.file(), settings);
            if (const OwnFile* file = ownFileOf(entry, own)) {
                // One the run created is its own; one that was there is a file of the tree.
                if (file->existedBefore && selectEntry(entry, false, settings, totalBytes))
                    result.ownFilesSelected.push_back(entry.path());
                return false;
            }
            return selectEntry(entry, entryIsFolder, settings, totalBytes);
        }),
        settings.recurse);

    result.totalBytes = totalBytes;
    result.files = scan.files();
    result.folders = scan.folders();
    result.errors = scan.errors();
    result.leftOut = scan.leftOut();
    result.refused = scan.refused();
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
    for (std::size_t start = 0; start < relative.size();) {
        std::size_t end = relative.find('/', start);
        const bool last = end == std::string::npos;
        if (last) end = relative.size();
        if ((!last || folder) && versionControlFolderKeptOut(relative.substr(start, end - start), settings)) return true;
        start = end + 1;
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

namespace {
std::filesystem::path realPath(const std::string& text, std::error_code& failed)
{
    const std::string path = FilePath(text).path();
    return std::filesystem::weakly_canonical(std::filesystem::path(std::u8string(path.begin(), path.end())), failed);
}
}

bool outsideTree(const std::string& path, const std::string& localFolder)
{
    const std::optional<FileIdentity> identity = fileSystem().identity(path);
    if (identity && identity->links != 1) return false;
    std::error_code failed;
    const std::filesystem::path file = realPath(path, failed);
    if (failed) return false;
    const std::filesystem::path root = realPath(localFolder, failed);
    if (failed) return false;
    const auto rootEnd = std::mismatch(root.begin(), root.end(), file.begin(), file.end()).first;
    // A root with a trailing separator ends in an empty element.
    return !(rootEnd == root.end() || (std::next(rootEnd) == root.end() && rootEnd->empty()));
}
