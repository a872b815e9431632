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

// Reads config().recurse, config().includePatterns and config().excludePatterns.
// Never raises for file-system problems: they end up in `errors`.
ScanResult scanLocal(const std::string& localFolder);
