#include "run/deletion.hpp"

#include <set>

#include "common/own_names.hpp"
#include "ftp/ftp.hpp"
#include "local/scan.hpp"
#include "run/connect.hpp"
#include "run/context.hpp"
#include "run/plan.hpp"
#include "run/retry.hpp"
#include "run/session.hpp"

namespace {
std::string joined(const std::string& folder, const std::string& name) { return folder.empty() ? name : folder + "/" + name; }

// A name that could lead out of its folder, or that the server's listing may have garbled.
bool oddName(const std::string& name)
{
    return name.empty() || name.find('/') != std::string::npos || name.find('\\') != std::string::npos ||
           name.find("..") != std::string::npos || name == ".";
}
}

Deletion::Deletion(const RunContext& context, Plan& plan, const Connector& connector, const RetryRule& retry)
    : context_(context), plan_(plan), connector_(connector), retry_(retry)
{
}

std::vector<RemoteEntry> Deletion::list(FTP& client, const std::string& folder) const
{
    return client.listsFolders() ? client.listFolder(folder) : client.listFolderUnix(folder);
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

bool Deletion::plan(Session& session)
{
    std::set<std::string> selected;
    for (const PlannedFile& file : plan_.files) selected.insert(file.remotePath);
    std::vector<PlannedDeletion> files;
    std::vector<Folder> folders{{"", 0, 0}};
    // Folders are listed in the order they were found, so every parent comes before its children.
    for (std::size_t at = 0; at < folders.size(); ++at) {
        std::vector<RemoteEntry> entries;
        for (bool replaced = false;;) {
            try {
                entries = list(*session.client, folders[at].path);
                break;
            } catch (const std::exception&) {
                if (session.usable() || replaced || retry_.retries() == 0 || !connector_.replaceLost(session))
                    return false;
                replaced = true;
            }
        }
        for (const RemoteEntry& entry : entries) {
            if (entry.name == "." || entry.name == "..") continue;
            const std::string path = joined(folders[at].path, entry.name);
            if (!oddName(entry.name)) listed_.insert(path);
            if (!oddName(entry.name) && !entry.folder && !entry.other) ++filesListed_;
            bool goes = false;
            if (oddName(entry.name) || entry.other || path == lockName) {
            } else if (entry.folder) {
                if (!leftAlone(path, true)) {
                    folders.push_back({path, at, 0});
                    continue;
                }
            } else if (selected.count(path) == 0 && path != manifestName) {
                // A temporary of an interrupted atomic store goes, hidden or not.
                goes = (isPartName(entry.name) && plan_.leftOut.count(path) == 0) || !leftAlone(path, false);
            }
            if (goes)
                files.push_back({path, false, Outcome::pending, {}});
            else
                ++folders[at].kept;
        }
    }
    plan_.deletions = std::move(files);
    // The deepest first: a folder is found after its parent.
    for (std::size_t at = folders.size() - 1; at > 0; --at) {
        Folder& folder = folders[at];
        if (folder.kept == 0 && !localEntryExists(context_.settings.local, folder.path))
            plan_.deletions.push_back({folder.path, true, Outcome::pending, {}});
        else
            ++folders[folder.parent].kept;
    }
    return true;
}

bool Deletion::remove(Session& session, const std::string& path, bool folder)
{
    for (std::uint32_t tried = 0;; ++tried) {
        try {
            if (!session.usable()) throw FTPException("421", "connection closed by the server");
            if (folder)
                session.client->removeDirectory(path);
            else
                session.client->deleteFile(path);
            return true;
        } catch (const std::exception& failure) {
            if (!retry_.again(failure, tried, !session.usable())) throw;
        }
        retry_.announce(session, "delete " + path, tried);
        if (!session.usable())
            connector_.reopen(session);
        else if (session.client->outOfStep())
            session.client->resynchronise();
    }
}

void Deletion::carryOut(Session& session)
{
    const bool dryRun = context_.settings.dryRun;
    std::set<std::string> stays;
    for (PlannedDeletion& deletion : plan_.deletions) {
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
