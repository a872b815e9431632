#include "run/compare.hpp"

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ftp/ftp.hpp"
#include "run/connect.hpp"
#include "run/context.hpp"
#include "run/plan.hpp"
#include "run/session.hpp"

namespace {
bool upToDate(const PlannedFile& file, const RemoteEntry& entry)
{
    try {
        return !entry.folder && entry.size && entry.modified && *entry.size == file.source.fileSize() &&
               *entry.modified >= file.source.modifiedTime();
    } catch (const std::exception&) {
        // A file that cannot be looked at locally is stored, and fails there with its line.
        return false;
    }
}
}

UnchangedDecision::UnchangedDecision(const RunContext& context, Plan& plan) : context_(context), plan_(plan)
{
    // In the order the files come, so the run's lines keep the scan's order.
    std::map<std::string, std::size_t> index;
    for (PlannedFile& file : plan.files) {
        const std::string folder = remoteFolderOf(file.remotePath);
        auto [at, added] = index.emplace(folder, folders_.size());
        if (added) folders_.push_back({folder, {}});
        folders_[at->second].files.push_back(&file);
    }
}

void UnchangedDecision::decide(const Connector& connector, Session& session, std::size_t part)
{
    // A session lost on the way is replaced (with retries) and the folder looked at again;
    // without one, its files are stored as if nothing were known of them.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!session.usable() && (context_.settings.retries == 0 || !connector.replaceLost(session))) return;
        if (lookUp(session, folders_[part]) || session.usable()) return;
    }
}

void UnchangedDecision::seen(const std::string& folder)
{
    // A folder that could be listed exists: it need not be made.
    std::lock_guard<std::mutex> lock(known_);
    plan_.existingFolders.insert(folder);
}

bool UnchangedDecision::lookUp(Session& session, const Folder& folder)
{
    FTP& client = *session.client;
    try {
        // Pipelined queries cost a round trip per window; a listing costs several per folder.
        // A server that announces MLST alone still lists with MLSD where MLST is refused.
        const bool queries = client.isKnownSupported("MLST") || !client.listsFolders();
        if (!queries) {
            std::map<std::string, RemoteEntry> remote;
            for (RemoteEntry& entry : client.listFolder(folder.path)) remote[entry.name] = std::move(entry);
            seen(folder.path);
            for (PlannedFile* file : folder.files) {
                auto found = remote.find(file->remotePath.substr(file->remotePath.rfind('/') + 1));
                if (found != remote.end() && upToDate(*file, found->second)) file->action = FileAction::unchanged;
            }
            return true;
        }
        if (!client.isKnownSupported("MLST")) client.useBinary();
        std::vector<std::string> paths;
        for (const PlannedFile* file : folder.files) paths.push_back(file->remotePath);
        // MLST of the folder itself tells whether it has to be made.
        if (client.isKnownSupported("MLST") && !folder.path.empty()) paths.push_back(folder.path);
        const std::vector<RemoteFacts> facts = client.queryFiles(paths);
        for (std::size_t i = 0; i < folder.files.size() && i < facts.size(); ++i) {
            RemoteEntry entry;
            entry.folder = facts[i].folder;
            entry.size = facts[i].size;
            entry.modified = facts[i].modified;
            if (upToDate(*folder.files[i], entry)) folder.files[i]->action = FileAction::unchanged;
        }
        if (paths.size() > folder.files.size() && facts.size() == paths.size() && facts.back().folder) seen(folder.path);
        return true;
    } catch (const std::exception&) {
        // A listing that fails costs only the saving: this folder's files are stored.
        return false;
    }
}
