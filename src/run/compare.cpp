#include "run/compare.hpp"

#include <map>
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

// Fills in which of one remote folder's files are up to date; false when that failed.
bool lookUpFolder(FTP& client, const std::string& folder, const std::vector<PlannedFile*>& files, bool listings)
{
    try {
        if (listings) {
            std::map<std::string, RemoteEntry> remote;
            for (RemoteEntry& entry : client.listFolder(folder)) remote[entry.name] = std::move(entry);
            for (PlannedFile* file : files) {
                auto found = remote.find(file->remotePath.substr(file->remotePath.rfind('/') + 1));
                if (found != remote.end() && upToDate(*file, found->second)) file->action = FileAction::unchanged;
            }
            return true;
        }
        // Asked all at once: a folder of a hundred files costs a few round trips, not two hundred.
        std::vector<std::string> paths;
        for (const PlannedFile* file : files) paths.push_back(file->remotePath);
        const std::vector<RemoteFacts> facts = client.queryFiles(paths);
        for (std::size_t i = 0; i < files.size() && i < facts.size(); ++i) {
            RemoteEntry entry;
            entry.size = facts[i].size;
            entry.modified = facts[i].modified;
            if (upToDate(*files[i], entry)) files[i]->action = FileAction::unchanged;
        }
        return true;
    } catch (const std::exception&) {
        // A listing that fails costs only the saving: this folder's files are stored.
        return false;
    }
}
}

void decideUnchanged(const RunContext& context, const Connector& connector, Session& session, Plan& plan)
{
    std::map<std::string, std::vector<PlannedFile*>> byFolder;
    for (PlannedFile& file : plan.files) byFolder[remoteFolderOf(file.remotePath)].push_back(&file);
    // A server that announces MLST lists folders with MLSD, whether it names MLSD or not.
    const bool listings = session.client->listsFolders();
    // SIZE may be refused in ASCII mode; the sizes that count are the binary ones.
    if (!listings) {
        try {
            session.client->setRepresentation(FtpFormat::image);
        } catch (const std::exception&) {
        }
    }
    for (const auto& [folder, files] : byFolder) {
        // A session lost on the way is replaced (with retries) and the folder looked at again;
        // without one, the files left are stored as if nothing were known of them.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!session.usable() && (context.settings.retries == 0 || !connector.replaceLost(session))) return;
            if (lookUpFolder(*session.client, folder, files, listings) || session.usable()) break;
        }
    }
}
