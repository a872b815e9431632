#include "run/compare.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftp.hpp"
#include "run/checksum.hpp"
#include "run/retry.hpp"
#include "run/context.hpp"
#include "run/plan.hpp"
#include "run/session.hpp"

bool UnchangedDecision::upToDate(FTP& client, PlannedFile& file, const RemoteEntry& entry)
{
    try {
        if (entry.folder || entry.other || !entry.size || *entry.size != file.source.fileSize()) return false;
        // The server's own hash beats the manifest: a file changed there behind this program's
        // back is sent again.
        if (checksum_ && client.hashesFiles())
            if (const std::optional<std::string> held = client.remoteSha256(file.remotePath))
                return checksum_->localHash(file) == *held;
        // With a manifest entry the content decides, and the times (a checkout's, a
        // server's zone) do not.
        if (const std::string* known = checksum_ ? checksum_->hashOf(file.remotePath) : nullptr)
            return checksum_->localHash(file) == *known;
        const bool notOlder = entry.modified && *entry.modified >= file.source.modifiedTime();
        if (notOlder) {
            std::lock_guard<std::mutex> lock(known_);
            byTime_.insert(&file);
        }
        return notOlder;
    } catch (const std::exception&) {
        // A file that cannot be looked at locally is stored, and fails there with its line.
        return false;
    }
}

UnchangedDecision::UnchangedDecision(const RunContext& context, Plan& plan, ChecksumManifest* checksum)
    : context_(context), plan_(plan), checksum_(checksum)
{
    // In the order the files come, so the run's lines keep the scan's order.
    std::map<std::string, std::size_t> index;
    for (PlannedFile& file : plan.files) {
        const std::string folder = remoteFolderOf(file.remotePath);
        auto [at, added] = index.emplace(folder, folders_.size());
        if (added) folders_.push_back({folder, {}});
        folders_[at->second].files.push_back(&file);
    }
    if (context.settings.pacing) return;
    // Unpaced, a changed file goes out as soon as its folder is decided: the folders holding
    // the files changed most recently, the likely ones, are looked at first, so their stores
    // overlap the questions about the rest.
    std::vector<std::pair<std::int64_t, Folder>> byNewest;
    for (Folder& folder : folders_) {
        std::int64_t newest = 0;
        for (const PlannedFile* file : folder.files) {
            try {
                newest = std::max(newest, file->source.modifiedTime());
            } catch (const std::exception&) {
                newest = INT64_MAX;  // gone since the scan: its store fails, and says so
            }
        }
        byNewest.emplace_back(newest, std::move(folder));
    }
    std::stable_sort(byNewest.begin(), byNewest.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (std::size_t i = 0; i < folders_.size(); ++i) folders_[i] = std::move(byNewest[i].second);
}

void UnchangedDecision::decide(const RetryRule& retry, Session& session, std::size_t first, std::size_t count)
{
    // A session lost on the way is replaced (with retries) and the folders looked at again;
    // without one, their files are stored as if nothing were known of them.
    retry.redoOnNewSession(session, [&] {
        if (checksum_) checksum_->load(*session.client);
        return lookUp(session, first, count);
    });
}

std::size_t UnchangedDecision::distrustTimes()
{
    std::lock_guard<std::mutex> lock(known_);
    for (PlannedFile* file : byTime_) file->action = FileAction::store;
    return byTime_.size();
}

std::vector<PlannedFile*> UnchangedDecision::storable(std::size_t first, std::size_t count)
{
    std::vector<PlannedFile*> files;
    std::lock_guard<std::mutex> lock(known_);
    for (std::size_t part = first; part < first + count && part < folders_.size(); ++part) {
        if (!folders_[part].path.empty() && !plan_.exists(folders_[part].path)) continue;
        for (PlannedFile* file : folders_[part].files)
            if (file->action == FileAction::store) files.push_back(file);
    }
    return files;
}

void UnchangedDecision::seen(const std::string& folder)
{
    // A folder that could be listed exists: it need not be made.
    std::lock_guard<std::mutex> lock(known_);
    plan_.existingFolders.insert(folder);
}

bool UnchangedDecision::lookUp(Session& session, std::size_t first, std::size_t count)
{
    FTP& client = *session.client;
    try {
        // Pipelined queries cost a round trip per window; a listing costs several per folder.
        if (client.isKnownSupported("MLST") || !client.listsFolders()) return query(client, first, count);
        bool all = true;
        for (std::size_t part = first; part < first + count; ++part) all = list(client, folders_[part]) && all;
        return all;
    } catch (const std::exception&) {
        // A listing that fails costs only the saving: these folders' files are stored.
        return false;
    }
}

bool UnchangedDecision::list(FTP& client, const Folder& folder)
{
    try {
        std::map<std::string, RemoteEntry> remote;
        for (RemoteEntry& entry : client.listFolder(folder.path)) remote[entry.name] = std::move(entry);
        seen(folder.path);
        for (PlannedFile* file : folder.files) {
            auto found = remote.find(file->remotePath.substr(file->remotePath.rfind('/') + 1));
            if (found != remote.end() && upToDate(client, *file, found->second)) file->action = FileAction::unchanged;
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool UnchangedDecision::query(FTP& client, std::size_t first, std::size_t count)
{
    const bool mlst = client.isKnownSupported("MLST");
    if (!mlst) client.useBinary();
    // Every file's path, then (MLST) each folder's own, which tells whether it has to be made.
    std::vector<std::string> paths;
    std::vector<PlannedFile*> files;
    for (std::size_t part = first; part < first + count; ++part)
        for (PlannedFile* file : folders_[part].files) {
            paths.push_back(file->remotePath);
            files.push_back(file);
        }
    std::vector<std::size_t> folderAt;
    for (std::size_t part = first; mlst && part < first + count; ++part)
        if (!folders_[part].path.empty()) {
            folderAt.push_back(part);
            paths.push_back(folders_[part].path);
        }
    const std::vector<RemoteFacts> facts = client.queryFiles(paths);
    for (std::size_t i = 0; i < files.size() && i < facts.size(); ++i) judge(client, *files[i], facts[i], mlst);
    for (std::size_t k = 0; k < folderAt.size() && files.size() + k < facts.size(); ++k)
        if (facts[files.size() + k].folder) seen(folders_[folderAt[k]].path);
    return true;
}

void UnchangedDecision::judge(FTP& client, PlannedFile& file, const RemoteFacts& facts, bool mlst)
{
    RemoteEntry entry;
    entry.folder = facts.folder;
    entry.size = facts.size;
    entry.modified = facts.modified;
    if (upToDate(client, file, entry)) file.action = FileAction::unchanged;
    // Without MLST a file's size also says that its folder is there, so an unpaced run makes
    // only the folders it has to. (A paced run keeps the commands it always sent.)
    if (!mlst && !context_.settings.pacing && facts.size && !facts.folder &&
        file.remotePath.find('/') != std::string::npos)
        seen(remoteFolderOf(file.remotePath));
}

void UnchangedDecision::decideStream(const RetryRule& retry, Session& session, std::size_t first,
                                     const TakePart& take, const PartDecided& decided)
{
    // A manifest's hashes are asked for between the answers: one part at a time, as before.
    if (checksum_) return PlanDecision::decideStream(retry, session, first, take, decided);
    std::deque<std::size_t> taken{first};
    // A session lost on the way is replaced (with retries) and the undecided parts asked
    // again; without one, their files are stored.
    retry.redoOnNewSession(session, [&] { return lookUpStreaming(session, taken, take, decided); });
    for (std::size_t part : taken) decided(part);
}

bool UnchangedDecision::lookUpStreaming(Session& session, std::deque<std::size_t>& taken, const TakePart& take,
                                        const PartDecided& decided)
{
    FTP& client = *session.client;
    const auto takeNext = [&] {
        const std::optional<std::size_t> part = take();
        if (part) taken.push_back(*part);
        return part.has_value();
    };
    try {
        if (!client.isKnownSupported("MLST") && client.listsFolders()) {
            // A listing per folder: no questions to keep flowing.
            while (!taken.empty() || takeNext()) {
                if (!list(client, folders_[taken.front()]) && !session.usable()) return false;
                decided(taken.front());
                taken.pop_front();
            }
            return true;
        }
        const bool mlst = client.isKnownSupported("MLST");
        if (!mlst) client.useBinary();
        // Per part its files' paths, then (MLST) its folder's own.
        struct Span {
            std::size_t begin, files, end;
        };
        std::deque<Span> spans;
        std::vector<std::string> paths;
        const auto add = [&](std::vector<std::string>& into, std::size_t part) {
            Span span{into.size(), 0, 0};
            for (PlannedFile* file : folders_[part].files) into.push_back(file->remotePath);
            span.files = into.size();
            if (mlst && !folders_[part].path.empty()) into.push_back(folders_[part].path);
            span.end = into.size();
            spans.push_back(span);
        };
        for (std::size_t part : taken) add(paths, part);
        const auto more = [&](std::vector<std::string>& into) {
            if (!takeNext()) return false;
            add(into, taken.back());
            return true;
        };
        const auto answered = [&](std::size_t count, const std::vector<RemoteFacts>& facts) {
            for (; !spans.empty() && spans.front().end <= count; spans.pop_front()) {
                const Span& span = spans.front();
                const Folder& folder = folders_[taken.front()];
                for (std::size_t i = span.begin; i < span.files; ++i)
                    judge(client, *folder.files[i - span.begin], facts[i], mlst);
                if (span.files < span.end && facts[span.files].folder) seen(folder.path);
                decided(taken.front());
                taken.pop_front();
            }
        };
        client.queryStream(paths, more, answered);
        return true;
    } catch (const std::exception&) {
        // What was not decided costs only the saving: those folders' files are stored.
        return false;
    }
}
