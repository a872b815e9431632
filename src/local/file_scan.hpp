#pragma once
// Walks one folder tree and collects the files a filter accepts, together with
// the folders they came from (children before parents, the root last).
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "local/file_path.hpp"
#include "local/file_system.hpp"

// An entry an error left out, and that error.
struct RefusedEntry {
    std::string path;
    std::string reason;
};

// Takes an entry and whether the listing says it is a folder; true keeps it.
using ScanFilter = std::function<bool(const FilePath& entry, bool entryIsFolder)>;

class FileScan {
public:
    virtual ~FileScan() = default;

    // The lists of the last sweep.
    virtual const std::vector<std::string>& errors() const { return errors_; }
    virtual const std::vector<FilePath>& files() const { return files_; }
    virtual const std::vector<FilePath>& folders() const { return folders_; }
    // Entries seen and not taken: hidden, system, or refused by the filter.
    const std::vector<std::string>& leftOut() const { return leftOut_; }
    // Entries an error in `errors` left out, where the error names one entry.
    const std::vector<RefusedEntry>& refused() const { return refused_; }
    // Hidden entries reach the filter too (they never do by default).
    void takeHidden(bool take) { takeHidden_ = take; }

    // Every entry.
    virtual FileScan& sweep(const std::string& path, bool recurse);
    // Files whose suffix (from the last ".", the dot included) equals `suffix`.
    virtual FileScan& sweep(const std::string& path, const std::string& suffix, bool recurse);
    virtual FileScan& sweep(const std::string& path, const ScanFilter& filter, bool recurse);

    // One level: the accepted entries of `folder`, in listing order. System entries, and
    // hidden ones unless taken, never reach the filter. An entry that cannot be examined, or
    // whose filter raises IOException, is noted in `errors` and left out; a folder
    // that cannot be listed raises IOException.
    std::vector<FilePath> listFolder(const FilePath& folder, const ScanFilter& filter);

private:
    void scanFolder(const FilePath& folder, const ScanFilter& filter, bool recurse);

    std::vector<FilePath> files_;
    std::vector<std::string> errors_;
    std::vector<FilePath> folders_;
    std::vector<std::string> leftOut_;
    std::vector<RefusedEntry> refused_;
    bool takeHidden_ = false;
    // The folders being scanned right now, root first, to keep links from looping.
    std::vector<std::optional<FileIdentity>> openFolders_;
};
