#pragma once
// The local scan: which files of the local folder take part, and which folders hold them.
#include <cstdint>
#include <string>
#include <vector>

#include "local/file_path.hpp"

// What the scan selects: sub-folders or not, the patterns, and the program's own output
// files (trace, report), which never take part whatever the patterns say.
struct ScanSettings {
    bool recurse = true;
    // Hidden entries (a leading "." on POSIX, the attribute on Windows) take part.
    bool hidden = false;
    std::vector<std::string> includePatterns;
    std::vector<std::string> excludePatterns;
    std::vector<std::string> ownOutputFiles;
};

struct ScanResult {
    std::vector<FilePath> files;    // accepted files, in visiting order
    std::vector<FilePath> folders;  // folders that yielded files, children before parents, root last
    std::vector<std::string> errors;
    // Entries seen and left out (hidden, system, filtered, the program's own), as full paths:
    // a mirror must leave their remote copies alone.
    std::vector<std::string> leftOut;
    std::string root;
    std::uint64_t totalBytes = 0;
};

// The filter of the local scan: folders always pass; a file passes when the include
// patterns (if any) match its native full path and no exclude pattern does. Its size
// is queried first, whatever the patterns say, and added to `totalBytes` when it passes.
bool selectEntry(const FilePath& entry, bool entryIsFolder, const ScanSettings& settings, std::uint64_t& totalBytes);

// Whether a scan of `root` (native, "\" at its end) would leave out the entry `relative`
// ("/" separated) whether or not it exists: not recursing, the hidden rule (a leading "."
// in any component), or the patterns (files only). Its remote copy is then not the run's.
bool scanLeavesOut(const std::string& root, const std::string& relative, bool folder, const ScanSettings& settings);
// Something (file or folder) is there locally.
bool localEntryExists(const std::string& root, const std::string& relative);

// Leaves out `settings.ownOutputFiles` before any pattern sees them.
// Never raises for file-system problems: they end up in `errors`.
ScanResult scanLocal(const std::string& localFolder, const ScanSettings& settings);
