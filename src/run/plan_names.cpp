#include "run/plan_names.hpp"

#include <algorithm>

#include "common/case_fold.hpp"
#include "run/plan.hpp"

PlanNames::PlanNames(const Plan& plan, bool foldersMade)
{
    for (const PlannedFile& file : plan.files)
        add(file.remotePath, file.outcome == Outcome::done || file.action == FileAction::unchanged);
    for (const std::string& folder : plan.folders) add(folder, foldersMade || plan.exists(folder));
    for (const std::string& path : plan.leftOut) add(path, false);
}

void PlanNames::add(const std::string& path, bool expected)
{
    // Every folder above a path the plan knows is known too.
    for (std::string at = path; !at.empty(); at = remoteFolderOf(at)) {
        if (expected) expected_.insert(at);
        const std::string folder = remoteFolderOf(at);
        const std::string name = folder.empty() ? at : at.substr(folder.size() + 1);
        std::vector<std::string>& spellings = names_[folder][caseFolded(name)];
        if (std::find(spellings.begin(), spellings.end(), name) == spellings.end()) spellings.push_back(name);
    }
}

std::vector<std::string> PlanNames::variants(const std::string& folder, const std::string& name) const
{
    auto inFolder = names_.find(folder);
    if (inFolder == names_.end()) return {};
    auto found = inFolder->second.find(caseFolded(name));
    return found == inFolder->second.end() ? std::vector<std::string>{} : found->second;
}
