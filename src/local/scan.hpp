#pragma once
// The local scan: which files of the local folder take part, and which folders hold them.
#include <cstdint>
#include <string>
#include <vector>

#include "local/file_path.hpp"
#include "local/file_scan.hpp"

// A file the run itself writes (trace, report), and whether it was there before the run
// touched it: one the run created is its own, one that was there may be a file of the tree.
struct OwnOutputFile {
    std::string path;
    bool existedBefore = false;
};

// What the scan selects: sub-folders or not, the patterns, and the program's own output
// files (trace, report), which never take part whatever the patterns say.
struct ScanSettings {
    bool recurse = true;
    // Hidden entries (a leading "." on POSIX, the attribute on Windows) take part.
    bool hidden = false;
    std::vector<std::string> includePatterns;
    std::vector<std::string> excludePatterns;
    std::vector<OwnOutputFile> ownOutputFiles;
};

struct ScanResult {
    std::vector<FilePath> files;    // accepted files, in visiting order
    std::vector<FilePath> folders;  // folders that yielded files, children before parents, root last
    std::vector<std::string> errors;
    // Entries seen and left out (hidden, system, filtered, the program's own), as full paths:
    // a mirror must leave their remote copies alone.
    std::vector<std::string> leftOut;
    // Files an error in `errors` left out (a name that cannot be held, a size unreadable).
    std::vector<RefusedEntry> refused;
    // Left out (and in `leftOut`) for a name the program keeps on the server beside an upload.
    std::vector<std::string> ownNames;
    // Own output files that were there before the run and are files the scan selects: writing
    // to them would change what is uploaded, so the run must not start.
    std::vector<std::string> ownFilesSelected;
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

// The file at `path` is provably none of the tree's: it has a single name and its real path
// (links resolved) lies outside the real path of `localFolder`. False when it cannot be told.
bool outsideTree(const std::string& path, const std::string& localFolder);

// Leaves out `settings.ownOutputFiles` (told by identity alone: links and spelling come out
// alike) and files with the program's own names before any pattern sees them.
// Never raises for file-system problems: they end up in `errors`.
ScanResult scanLocal(const std::string& localFolder, const ScanSettings& settings);
