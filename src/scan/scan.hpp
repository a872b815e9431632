#pragma once
// The local scan: which files of the local folder take part, and which folders hold them.
#include <cstdint>
#include <string>
#include <vector>

#include "scan/file_path.hpp"

struct ScanResult {
    std::vector<FilePath> files;    // accepted files, in visiting order
    std::vector<FilePath> folders;  // folders that yielded files, children before parents, root last
    std::vector<std::string> errors;
    std::string root;
    std::uint64_t totalBytes = 0;
};

// The filter of the local scan: folders always pass; a file passes when the include
// patterns (if any) match its native full path and no exclude pattern does. Its size
// is queried first, whatever the patterns say, and added to `totalBytes` when it passes.
bool selectEntry(const FilePath& entry, bool entryIsFolder, std::uint64_t& totalBytes);

// Reads config().recurse, config().includePatterns and config().excludePatterns, and
// leaves out config().ownOutputFiles before any pattern sees them.
// Never raises for file-system problems: they end up in `errors`.
ScanResult scanLocal(const std::string& localFolder);
