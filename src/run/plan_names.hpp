#pragma once
// The names the plan knows in each remote folder (selected files, the folders they and the
// scan's folders make, what the scan left out), looked up without regard to letter case, so
// that a listing's names can be matched to them on a server that folds case.
#include <map>
#include <set>
#include <string>
#include <vector>

struct Plan;

class PlanNames {
public:
    // `foldersMade`: the plan's folders were made (not so in a dry run).
    PlanNames(const Plan& plan, bool foldersMade);
    // The plan's names in `folder` that equal `name` but for letter case; `name` itself
    // among them when the plan knows it.
    std::vector<std::string> variants(const std::string& folder, const std::string& name) const;
    // On the server by now: a file stored or found unchanged, a folder made or seen.
    bool expected(const std::string& path) const { return expected_.count(path) != 0; }

private:
    void add(const std::string& path, bool expected);

    // Folder, then folded name: the plan's spellings.
    std::map<std::string, std::map<std::string, std::vector<std::string>>> names_;
    std::set<std::string> expected_;
};
