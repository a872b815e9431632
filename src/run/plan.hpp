#pragma once
// What a run will do, decided before anything is stored: the remote folders to create and,
// for each selected file, where it comes from, where it goes and what is done with it.
// Execution takes the plan and knows nothing of how it was made.
#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "local/file_path.hpp"

enum class FileAction {
    store,      // sent (in a dry run: would be)
    unchanged,  // the remote copy is up to date
};

struct PlannedFile {
    FilePath source;
    std::string localPath;   // native, "\" separated
    std::string remotePath;  // below the remote folder, "/" separated
    FileAction action = FileAction::store;
};

struct Plan {
    // Remote folders, every parent before its children.
    std::vector<std::string> folders;
    std::vector<PlannedFile> files;
    // Remote folders seen to exist while the plan was completed (listed): they need no MKD.
    std::set<std::string> existingFolders;

    std::size_t count(FileAction action) const;
    // The folder exists: it was seen, or a folder below it was.
    bool exists(const std::string& folder) const;
};

// A local path (with "\") as it is stored below the remote folder (with "/").
std::string toRemotePath(const std::string& local, const std::string& localPath);
// "a/b" of "a/b/c.txt"; empty for a file in the remote folder itself.
std::string remoteFolderOf(const std::string& remotePath);
// Every file to be stored; `folders` as the scan lists them (children before parents).
Plan makePlan(const std::string& local, const std::vector<FilePath>& files, const std::vector<FilePath>& folders);
