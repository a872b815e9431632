#include "run/plan.hpp"

#include <algorithm>

#include "common/own_names.hpp"
#include "local/patterns.hpp"

std::size_t Plan::count(FileAction action) const
{
    return static_cast<std::size_t>(
        std::count_if(files.begin(), files.end(), [action](const PlannedFile& file) { return file.action == action; }));
}

bool Plan::exists(const std::string& folder) const
{
    if (existingFolders.count(folder) != 0) return true;
    const std::string prefix = folder + "/";
    auto below = existingFolders.lower_bound(prefix);
    return below != existingFolders.end() && below->compare(0, prefix.size(), prefix) == 0;
}

std::string toRemotePath(const std::string& local, const std::string& localPath)
{
    // Only the leading folder is cut: the same text deeper in the tree is a real folder name.
    std::string relative = localPath;
    if (!local.empty() && relative.compare(0, local.size(), local) == 0) relative.erase(0, local.size());
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return relative;
}

std::string partNameOf(const std::string& remotePath)
{
    const std::size_t slash = remotePath.rfind('/');
    const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    return remotePath.substr(0, nameAt) + "." + remotePath.substr(nameAt) + std::string(partSuffix);
}

std::string remoteFolderOf(const std::string& remotePath)
{
    std::size_t slash = remotePath.rfind('/');
    return slash == std::string::npos ? std::string() : remotePath.substr(0, slash);
}

Plan makePlan(const std::string& local, const std::vector<FilePath>& files, const std::vector<FilePath>& folders)
{
    Plan plan;
    // Parents come last in the scan's list; walking it backwards puts every parent before
    // its children, so a new nested tree is stored in one run.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        std::string remoteFolder = toRemotePath(local, folder->dup().native().path());
        if (!remoteFolder.empty()) plan.folders.push_back(std::move(remoteFolder));
    }
    for (const FilePath& file : files) {
        std::string localPath = file.dup().native().path();
        std::string remotePath = toRemotePath(local, localPath);
        PlannedFile& planned = plan.files.emplace_back();
        planned.source = file;
        planned.localPath = std::move(localPath);
        planned.remotePath = std::move(remotePath);
    }
    return plan;
}

void orderLast(Plan& plan, const std::vector<std::string>& patterns)
{
    if (patterns.empty()) return;
    for (PlannedFile& file : plan.files)
        file.last = std::any_of(patterns.begin(), patterns.end(),
                                [&](const std::string& pattern) { return patternMatch(file.localPath, pattern); });
    std::stable_partition(plan.files.begin(), plan.files.end(), [](const PlannedFile& file) { return !file.last; });
}
