#include "local/file_scan.hpp"

#include <algorithm>

#include "common/exception.hpp"

namespace {
// "", ".", ".." and "...": never real entries of the folder.
bool isDotName(const std::string& name)
{
    return name.size() <= 3 && std::all_of(name.begin(), name.end(), [](char c) { return c == '.'; });
}

std::string suffixOf(const std::string& name)
{
    std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}
}

FileScan& FileScan::sweep(const std::string& path, bool recurse)
{
    return sweep(path, ScanFilter([](const FilePath&, bool) { return true; }), recurse);
}

FileScan& FileScan::sweep(const std::string& path, const std::string& suffix, bool recurse)
{
    return sweep(path,
                 ScanFilter([&suffix](const FilePath& entry, bool entryIsFolder) {
                     return entryIsFolder || suffixOf(entry.file()) == suffix;
                 }),
                 recurse);
}

FileScan& FileScan::sweep(const std::string& path, const ScanFilter& filter, bool recurse)
{
    files_.clear();
    errors_.clear();
    folders_.clear();
    openFolders_.clear();
    leftOut_.clear();
    refused_.clear();
    scanFolder(FilePath(path), filter, recurse);
    return *this;
}

std::vector<FilePath> FileScan::listFolder(const FilePath& folder, const ScanFilter& filter)
{
    const std::string& text = folder.path();
    const std::string prefix = text.empty() || text.back() == '/' ? text : text + "/";

    std::vector<FilePath> accepted;
    for (FolderEntry& entry : fileSystem().listFolder(text)) {
        if ((entry.hidden && !takeHidden_) || entry.system) {
            leftOut_.push_back(prefix + entry.name);
            continue;
        }
        if (!entry.error.empty()) {
            refused_.push_back({prefix + entry.name, entry.error});
            errors_.push_back(std::move(entry.error));
            continue;
        }
        if (isDotName(entry.name)) continue;
        FilePath path(prefix + entry.name);
        path.setFolder(entry.folder);
        try {
            if (filter(path, entry.folder))
                accepted.push_back(std::move(path));
            else
                leftOut_.push_back(path.path());
        } catch (const IOException& failure) {
            // One entry that cannot be judged (its size unreadable, say) costs that entry alone.
            errors_.push_back(failure.message());
            refused_.push_back({path.path(), failure.message()});
        }
    }
    return accepted;
}

void FileScan::scanFolder(const FilePath& folder, const ScanFilter& filter, bool recurse)
{
    std::optional<FileIdentity> identity = fileSystem().identity(folder.path());
    // A link back to a folder being scanned: its content is already on its way
    // under its real path, so entering it again would only loop.
    if (identity && std::find(openFolders_.begin(), openFolders_.end(), identity) != openFolders_.end()) return;

    std::vector<FilePath> entries;
    try {
        entries = listFolder(folder, filter);
    } catch (const IOException& failure) {
        errors_.push_back(failure.message());
        return;
    }

    openFolders_.push_back(identity);
    const std::size_t filesBefore = files_.size();
    for (const FilePath& entry : entries) {
        bool isFolder = false;
        try {
            isFolder = entry.isFolder();
        } catch (const IOException& failure) {
            errors_.push_back(failure.message());
            refused_.push_back({entry.path(), failure.message()});
            continue;
        }
        if (!isFolder) files_.push_back(entry);
        else if (recurse) scanFolder(entry, filter, recurse);
    }
    openFolders_.pop_back();

    if (files_.size() > filesBefore) {
        FilePath self = folder;
        self.setFolder(true);
        folders_.push_back(std::move(self));
    }
}
