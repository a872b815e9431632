// --staged and --last: the order in which a deploy's files take their place, and the commit
// that puts a staged deploy in place all at once or not at all.
#include "run/commit.hpp"

#include <algorithm>

#include "common/own_names.hpp"
#include "common/text.hpp"
#include "ftp/ftp.hpp"
#include "local/file_hash.hpp"
#include "run/checksum.hpp"
#include "run/context.hpp"
#include "run/execute.hpp"
#include "run/plan.hpp"
#include "run/session.hpp"

namespace {
// Renames in flight per session: enough to keep a slow link busy, few enough that a commit
// that must stop has little already sent behind the refusal.
constexpr std::size_t renameWindow = 16;
// An interrupt sets the stop without telling anyone waiting: waits look again this often.
constexpr auto stopCheck = std::chrono::milliseconds(100);
using Clock = std::chrono::steady_clock;
}

namespace lines {
std::string stagedNotCommitted(std::size_t notStored, std::size_t total, std::size_t kept)
{
    return formatText("staged deploy not committed: {} of {} files not stored; the site is unchanged, {} "
                      "temporaries stay for the next run",
                      {notStored, total, kept});
}

std::string committed(std::size_t files, std::int64_t milliseconds)
{
    return formatText("committed {} files in {} ms", {files, milliseconds});
}

std::string commitStopped(const std::string& path, std::size_t inPlace, std::size_t total)
{
    return formatText("commit stopped at {}: {} of {} files in place, the rest stay as temporaries for the next run",
                      {path, inPlace, total});
}

std::string keptPart(const std::string& path) { return "kept " + partNameOf(path) + ": the server holds this content"; }
}

void Execution::storeEnded(const PlannedFile& file)
{
    {
        const std::lock_guard<std::mutex> lock(commit_.mutex);
        ++filesEnded_;
        if (!file.last) ++firstFilesEnded_;
    }
    commit_.changed.notify_all();
}

void Execution::awaitFirstFiles()
{
    const std::size_t first = static_cast<std::size_t>(
        std::count_if(plan_.files.begin(), plan_.files.end(), [](const PlannedFile& file) { return !file.last; }));
    std::unique_lock<std::mutex> lock(commit_.mutex);
    while (firstFilesEnded_ < first && !stop_.stopped()) commit_.changed.wait_for(lock, stopCheck);
}

bool Execution::keptPart(FTP& client, PlannedFile& file, const std::string& part)
{
    // The server's own hash proves the temporary's content; without one, the record of what
    // was sent does, once the server confirms the size. A size alone would take a same-size
    // old part for the new file.
    const auto recorded = commit_.record.hashes.find(file.remotePath);
    const bool hashes = client.hashesFiles();
    if (!hashes && recorded == commit_.record.hashes.end()) return false;
    const std::optional<std::uint64_t> size = client.remoteSize(part);
    if (!size || *size != file.source.fileSize()) return false;
    const std::optional<std::string> held = hashes ? client.remoteSha256(part) : std::optional<std::string>(recorded->second);
    if (!held) return false;
    const std::string local = hashLocalFile(file.localPath);
    if (*held != local) return false;
    file.hash = local;
    return true;
}

void Execution::takeStagedRecord(Session& session)
{
    if (!context_.settings.staged || !session.usable()) return;
    try {
        commit_.record = parseManifest(session.client->retrieveText(std::string(stagedName), maxManifestBytes));
    } catch (const std::exception&) {
        // Usually there is none.
        return;
    }
    try {
        session.client->deleteFile(std::string(stagedName));
    } catch (const std::exception&) {
        // Left in place, it cannot be trusted for what this run sends again.
        commit_.record = Manifest{};
    }
}

void Execution::leaveStagedRecord(Session& session)
{
    Manifest left;
    for (const PlannedFile& file : plan_.files)
        if (file.staged && !file.hash.empty()) left.hashes[file.remotePath] = file.hash;
    if (left.hashes.empty() || !retry_.keepUsable(session)) return;
    try {
        storeManifestFile(*session.client, std::string(stagedName), left);
    } catch (const std::exception&) {
        // Without it a server that cannot hash files gets the temporaries sent again.
    }
}

bool Execution::decideCommit()
{
    if (stop_.stopped()) return false;
    for (std::size_t at = 0; at < plan_.files.size(); ++at) {
        const PlannedFile& file = plan_.files[at];
        if (file.action == FileAction::unchanged) continue;
        if (file.outcome != Outcome::done || !file.staged) return false;
        commit_.rounds[file.last ? 1 : 0].push_back(at);
    }
    return true;
}

void Execution::commitFiles(Session& session)
{
    if (!context_.settings.staged || !mayChange_) return;
    {
        std::unique_lock<std::mutex> lock(commit_.mutex);
        // Only a session that can still rename waits; every file was taken by then, so the
        // stores still under way end on their own.
        if (!session.usable()) return;
        while (filesEnded_ < plan_.files.size() && !stop_.stopped()) commit_.changed.wait_for(lock, stopCheck);
        if (!commit_.decided) commit_.decided = decideCommit();
        if (!*commit_.decided) return;
    }
    commitRound(session, 0);
    {
        // The pages only once everything they may name is in place.
        std::unique_lock<std::mutex> lock(commit_.mutex);
        while (commit_.finished[0] < commit_.rounds[0].size() && !commit_.stopped && !stop_.stopped())
            commit_.changed.wait_for(lock, stopCheck);
    }
    commitRound(session, 1);
}

void Execution::commitRound(Session& session, int round)
{
    const std::vector<std::size_t>& files = commit_.rounds[round];
    for (;;) {
        if (commit_.stopped || stop_.stopped() || !session.usable()) return;
        const std::size_t first = commit_.next[round].fetch_add(renameWindow);
        if (first >= files.size()) return;
        const std::size_t count = std::min(renameWindow, files.size() - first);
        renameBatch(session, round, first, count);
        {
            const std::lock_guard<std::mutex> lock(commit_.mutex);
            commit_.finished[round] += count;
        }
        commit_.changed.notify_all();
    }
}

void Execution::renameBatch(Session& session, int round, std::size_t first, std::size_t count)
{
    std::vector<std::pair<std::string, std::string>> moves;
    for (std::size_t at = first; at < first + count; ++at) {
        const PlannedFile& file = plan_.files[commit_.rounds[round][at]];
        moves.emplace_back(partNameOf(file.remotePath), file.remotePath);
    }
    {
        const std::lock_guard<std::mutex> lock(commit_.mutex);
        if (!commit_.firstRename) commit_.firstRename = Clock::now();
    }
    std::vector<std::optional<FtpReply>> outcomes;
    try {
        outcomes = session.client->renameAll(moves);
    } catch (const std::exception& failure) {
        outcomes.assign(moves.size(), replyOf(failure));
    }
    for (std::size_t at = 0; at < count; ++at) {
        PlannedFile& file = plan_.files[commit_.rounds[round][first + at]];
        std::optional<FtpReply> refusal = outcomes[at];
        // A server that never renames onto a file refuses; the careful way moves the old
        // version aside first.
        if (refusal && !refusal->code.empty() && refusal->code[0] == '5' && !FTP::isSilence(*refusal) &&
            session.usable()) {
            try {
                session.client->renameOver(moves[at].first, moves[at].second);
                refusal.reset();
            } catch (const std::exception& failure) {
                refusal = replyOf(failure);
            }
        }
        if (!refusal) {
            file.staged = false;
            ++commit_.committed;
            ++stored_;
            continue;
        }
        file.outcome = Outcome::failed;
        file.failure = *refusal;
        // The first refusal stops the commit; what was sent with it in the same batch has
        // its own outcome.
        const std::lock_guard<std::mutex> lock(commit_.mutex);
        if (!commit_.stopped.exchange(true))
            plan_.problems.push_back({"commit stopped at " + file.remotePath, *refusal});
    }
    const std::lock_guard<std::mutex> lock(commit_.mutex);
    commit_.lastRename = Clock::now();
}

void Execution::settleCommit(Session& session)
{
    if (!context_.settings.staged || !mayChange_) return;
    const FtpReply notCommitted{"000", "stored as a temporary, not committed"};
    std::size_t total = 0, waiting = 0;
    for (PlannedFile& file : plan_.files) {
        if (file.action == FileAction::unchanged) continue;
        ++total;
        if (!file.staged || file.outcome != Outcome::done) continue;
        ++waiting;
        file.outcome = Outcome::failed;
        file.failure = notCommitted;
    }
    if (!commit_.decided || !*commit_.decided) {
        if (total == 0) return;
        const std::size_t notStored = total - waiting;
        leaveStagedRecord(session);
        plan_.problems.push_back({"staged deploy not committed", {"000", lines::stagedNotCommitted(notStored, total, waiting)}});
        context_.error(session, lines::stagedNotCommitted(notStored, total, waiting), stepPause);
        return;
    }
    if (commit_.firstRename)
        plan_.commitMicros =
            std::chrono::duration_cast<std::chrono::microseconds>(commit_.lastRename - *commit_.firstRename).count();
    if (commit_.stopped || waiting > 0) {
        const RunProblem* stop = nullptr;
        for (const RunProblem& problem : plan_.problems)
            if (problem.what.rfind("commit stopped at ", 0) == 0) stop = &problem;
        const std::string at = stop ? stop->what.substr(18) : std::string("a lost connection");
        context_.error(session, lines::commitStopped(at, commit_.committed, total), stepPause,
                       stop ? stop->reply : notCommitted);
        return;
    }
    context_.info(session, lines::committed(commit_.committed, plan_.commitMicros.value_or(0) / 1000), 0);
}
