#include "run/deletion.hpp"

#include <algorithm>
#include <limits>
#include <set>

#include "common/own_names.hpp"
#include "common/sha256.hpp"
#include "ftp/ftp.hpp"
#include "local/name_case.hpp"
#include "local/scan.hpp"
#include "run/context.hpp"
#include "run/plan.hpp"
#include "run/plan_names.hpp"
#include "run/retry.hpp"
#include "run/session.hpp"
#include "run/stop.hpp"

namespace {
constexpr std::size_t notWalked = std::numeric_limits<std::size_t>::max();

std::string joined(const std::string& folder, const std::string& name) { return folder.empty() ? name : folder + "/" + name; }

// A name that could lead out of its folder, or that the server's listing may have garbled.
bool oddName(const std::string& name)
{
    return name.empty() || name.find('/') != std::string::npos || name.find('\\') != std::string::npos ||
           name.find("..") != std::string::npos || name == ".";
}

// A server that trims its arguments would take "x.txt " for the just-stored "x.txt".
bool blankEdged(const std::string& name)
{
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    return !name.empty() && (blank(name.front()) || blank(name.back()));
}

std::string digestOf(std::vector<RemoteEntry> entries)
{
    std::sort(entries.begin(), entries.end(), [](const RemoteEntry& a, const RemoteEntry& b) { return a.name < b.name; });
    std::string text;
    for (const RemoteEntry& entry : entries) {
        text += entry.name + '\0' + (entry.folder ? "d" : entry.other ? "o" : "f") + '\0' +
                std::to_string(entry.size.value_or(0)) + '\0' + std::to_string(entry.modified.value_or(0)) + '\0' +
                entry.unique + '\n';
    }
    return entries.empty() ? std::string() : sha256Hex(text);
}
}

Deletion::Deletion(const RunContext& context, Plan& plan, const RetryRule& retry, const RunStop& stop)
    : context_(context), plan_(plan), retry_(retry), stop_(stop)
{
}

bool Deletion::attempt(Session& session, const std::function<void(FTP&)>& step) const
{
    return retry_.redoOnNewSession(session, [&] {
        step(*session.client);
        return true;
    });
}

bool Deletion::listAsLinks(Session& session, const std::string& folder,
                           std::map<std::string, RemoteEntry>& shown) const
{
    // MLSD may give a link the type of what it leads to; LIST of the parent shows it as
    // one. Some servers take no "-a" before a path: they are asked without it.
    std::vector<RemoteEntry> entries;
    bool listed = attempt(session, [&](FTP& client) { entries = client.listFolderUnix(folder, true); });
    if (!listed && session.usable())
        listed = attempt(session, [&](FTP& client) { entries = client.listFolderUnix(folder, false); });
    if (!listed) return false;
    for (RemoteEntry& entry : entries) shown[entry.name] = std::move(entry);
    return true;
}

bool Deletion::leftAlone(const std::string& path, bool folder) const
{
    if (scanLeavesOut(context_.settings.local, path, folder, context_.settings.selection)) return true;
    for (std::size_t end = path.size(); end != std::string::npos; end = path.rfind('/', end - 1)) {
        if (plan_.leftOut.count(path.substr(0, end)) != 0) return true;
        if (end == 0) break;
    }
    return false;
}

void Deletion::problem(Session& session, const std::string& line, const std::string& why)
{
    plan_.problems.push_back({line, FtpReply{"000", "CLIENT: " + why}});
    context_.error(session, line, stepPause);
}

std::string Deletion::planName(Session& session, const PlanNames& known, const Folder& folder,
                               const std::string& name, const std::set<std::string>& shown)
{
    const std::vector<std::string> variants = known.variants(folder.planPath, name);
    std::vector<std::string> stored;
    for (const std::string& variant : variants)
        if (known.expected(joined(folder.planPath, variant))) stored.push_back(variant);
    const bool allShown =
        std::all_of(stored.begin(), stored.end(), [&](const std::string& v) { return shown.count(v) != 0; });
    if (stored.size() > 1 && !allShown) {
        // The server holds one entry where the plan has several names: whichever was stored
        // last is there under the first spelling, and none of them can be told gone.
        for (const std::string& variant : stored) {
            const std::string path = joined(folder.planPath, variant);
            if (!clashes_.insert(path).second) continue;
            for (PlannedFile& file : plan_.files)
                if (file.remotePath == path) {
                    file.outcome = Outcome::failed;
                    file.failure = FtpReply{"000", "CLIENT: the server holds one name for several of the plan"};
                }
            problem(session, lines::caseClash(path), "the server does not tell " + path + " from another name");
        }
        return {};
    }
    if (!foldsCase_ || variants.empty() || std::find(variants.begin(), variants.end(), name) != variants.end())
        return name;
    // Either spelling is kept; the one the server holds our content under is walked as ours.
    return stored.size() == 1 ? stored.front() : variants.front();
}

bool Deletion::repeatsAncestor(const std::vector<Folder>& folders, std::size_t at) const
{
    const std::string& digest = folders[at].listingDigest;
    if (digest.empty()) return false;
    for (std::size_t up = at; up != 0;) {
        up = folders[up].parent;
        if (folders[up].listingDigest == digest) return true;
    }
    return false;
}

void Deletion::noteUnique(std::vector<Folder>& folders, const std::string& unique, std::size_t owner)
{
    if (unique.empty()) return;
    std::set<std::size_t>& owners = byUnique_[unique];
    owners.insert(owner);
    if (owners.size() < 2) return;
    // Which name is the folder's own cannot be told: neither is walked. The remote folder
    // itself is the one the run was sent to.
    for (std::size_t other : owners)
        if (other != notWalked && other != 0) folders[other].alias = true;
}

bool Deletion::plan(Session& session)
{
    const PlanNames known(plan_, !context_.settings.dryRun);
    foldsCase_ = platformNamesIgnoreCase();
    std::set<std::string> selected;
    for (const PlannedFile& file : plan_.files) selected.insert(file.remotePath);
    // Each file with the folder it was found in.
    std::vector<std::pair<PlannedDeletion, std::size_t>> files;
    std::vector<Folder> folders{{"", "", 0, 0, false, {}}};
    const bool machineListing = session.client->listsFolders();
    // Folders are listed in the order they were found, so every parent comes before its children.
    for (std::size_t at = 0; at < folders.size(); ++at) {
        if (folders[at].alias || folders[folders[at].parent].alias) {
            folders[at].alias = true;
            continue;
        }
        const std::string folderPath = folders[at].path;
        std::vector<RemoteEntry> entries;
        std::string ownUnique;
        if (!attempt(session, [&](FTP& client) {
                entries = machineListing ? client.listFolder(folderPath, &ownUnique) : client.listFolderUnix(folderPath);
            }))
            return false;
        noteUnique(folders, ownUnique, at);
        // LIST marks links itself and gives no times or identities that set two folders apart.
        if (machineListing) folders[at].listingDigest = digestOf(entries);
        if (repeatsAncestor(folders, at)) folders[at].alias = true;
        if (folders[at].alias) continue;

        std::set<std::string> shown;
        for (const RemoteEntry& entry : entries) shown.insert(entry.name);
        // A name of the plan missing while another spelling of it is there: the server folds case.
        for (const RemoteEntry& entry : entries)
            for (const std::string& variant : known.variants(folders[at].planPath, entry.name))
                if (known.expected(joined(folders[at].planPath, variant)) && shown.count(variant) == 0)
                    foldsCase_ = true;

        std::map<std::string, RemoteEntry> asListed;
        bool linksKnown = !machineListing;
        bool linksAsked = false;
        for (const RemoteEntry& entry : entries) {
            if (entry.name == "." || entry.name == "..") continue;
            const std::string path = joined(folders[at].path, entry.name);
            bool goes = false;
            if (oddName(entry.name) || entry.other) {
                ++folders[at].kept;
                continue;
            }
            if (!entry.folder) ++filesListed_;
            const std::string name = planName(session, known, folders[at], entry.name, shown);
            const std::string planPath = joined(folders[at].planPath, name);
            if (name.empty() || blankEdged(entry.name) || planPath == lockName) {
            } else if (entry.folder) {
                if (leftAlone(planPath, true)) {
                    noteUnique(folders, entry.unique, notWalked);
                } else {
                    if (machineListing && !linksAsked) {
                        linksAsked = true;
                        linksKnown = listAsLinks(session, folders[at].path, asListed);
                        if (!session.usable()) return false;
                        if (!linksKnown)
                            problem(session, lines::deleteSkippedIn(folders[at].path),
                                    "LIST does not tell the links among the folders");
                    }
                    auto shownAs = asListed.find(entry.name);
                    const bool plainFolder = machineListing ? linksKnown && shownAs != asListed.end() &&
                                                                  shownAs->second.folder && !shownAs->second.other
                                                            : true;
                    if (plainFolder) {
                        folders.push_back({path, planPath, at, 0, false, {}});
                        noteUnique(folders, entry.unique, folders.size() - 1);
                        continue;
                    }
                }
            } else if (selected.count(planPath) == 0 && planPath != manifestName && planPath != stagedName) {
                // A temporary of an interrupted atomic store goes, hidden or not.
                goes = (isPartName(entry.name) && plan_.leftOut.count(planPath) == 0) || !leftAlone(planPath, false);
            }
            if (goes)
                files.push_back({{path, false, Outcome::pending, {}}, at});
            else
                ++folders[at].kept;
        }
    }
    // A folder is an alias when it was found to be one, or lies in one.
    for (std::size_t at = 1; at < folders.size(); ++at) folders[at].alias = folders[at].alias || folders[folders[at].parent].alias;
    plan_.deletions.clear();
    for (auto& [deletion, at] : files)
        if (!folders[at].alias) plan_.deletions.push_back(std::move(deletion));
    // The deepest first: a folder is found after its parent.
    for (std::size_t at = folders.size() - 1; at > 0; --at) {
        Folder& folder = folders[at];
        if (!folder.alias && folder.kept == 0 && !localEntryExists(context_.settings.local, folder.planPath))
            plan_.deletions.push_back({folder.path, true, Outcome::pending, {}});
        else
            ++folders[folder.parent].kept;
    }
    return true;
}

bool Deletion::remove(Session& session, const std::string& path, bool folder)
{
    return retry_.attempt(session, "delete " + path, [&] {
        if (folder)
            session.client->removeDirectory(path);
        else
            session.client->deleteFile(path);
        return true;
    });
}
void Deletion::carryOut(Session& session)
{
    const bool dryRun = context_.settings.dryRun;
    std::set<std::string> stays;
    for (PlannedDeletion& deletion : plan_.deletions) {
        // Those not started stay pending: the report leaves them out.
        if (stop_.stopped()) return;
        // A folder whose content could not all be deleted is not empty: its RMD would only fail.
        if (deletion.folder && stays.count(deletion.remotePath) != 0) {
            stays.insert(remoteFolderOf(deletion.remotePath));
            continue;
        }
        if (dryRun) {
            context_.info(session, lines::wouldDelete(deletion.remotePath), 0);
            continue;
        }
        try {
            remove(session, deletion.remotePath, deletion.folder);
            deletion.outcome = Outcome::done;
            context_.info(session, lines::deleted(deletion.remotePath), filePause);
        } catch (const std::exception& failure) {
            deletion.outcome = Outcome::failed;
            deletion.failure = replyOf(failure);
            stays.insert(remoteFolderOf(deletion.remotePath));
            context_.error(session, lines::deletePath(deletion.remotePath), stepPause);
        }
    }
}
