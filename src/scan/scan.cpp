#include "scan/scan.hpp"

#include <algorithm>

#include "app/config.hpp"
#include "scan/file_scan.hpp"
#include "scan/patterns.hpp"

namespace {
bool anyMatches(const std::vector<std::string>& patterns, const std::string& name)
{
    return std::any_of(patterns.begin(), patterns.end(),
                       [&name](const std::string& pattern) { return patternMatch(name, pattern); });
}
}

bool selectEntry(const FilePath& entry, bool entryIsFolder, std::uint64_t& totalBytes)
{
    if (entryIsFolder) return true;
    const std::string matchName = entry.dup().native().path();
    const std::uint64_t size = entry.fileSize();
    const Config& settings = config();
    if (!settings.includePatterns.empty() && !anyMatches(settings.includePatterns, matchName)) return false;
    if (anyMatches(settings.excludePatterns, matchName)) return false;
    totalBytes += size;
    return true;
}

ScanResult scanLocal(const std::string& localFolder)
{
    ScanResult result;
    std::uint64_t totalBytes = 0;
    result.root = localFolder;

    // FilePath, which the scan starts from, turns "\" separators into "/" itself.
    FileScan scan;
    scan.sweep(
        localFolder,
        ScanFilter([&totalBytes](const FilePath& entry, bool entryIsFolder) {
            return selectEntry(entry, entryIsFolder, totalBytes);
        }),
        config().recurse);

    result.totalBytes = totalBytes;
    result.files = scan.files();
    result.folders = scan.folders();
    result.errors = scan.errors();
    return result;
}
