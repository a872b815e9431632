// One store per planned file, on whichever session takes it, with the retry rule.
#include "ftp/ftp.hpp"
#include "local/file_hash.hpp"
#include "run/context.hpp"
#include "run/execute.hpp"
#include "run/plan.hpp"
#include "run/progress.hpp"
#include "run/resume.hpp"
#include "run/session.hpp"
#include "run/verify.hpp"

std::optional<std::size_t> Execution::takeFile()
{
    for (;;) {
        const std::size_t index = nextFile_.fetch_add(1);
        if (index >= plan_.files.size()) return std::nullopt;
        // Skipped when a session stored it early, while the folders were still being decided.
        if (!taken_[index].exchange(true)) return index;
    }
}

void Execution::announceStores()
{
    if (!context_.progress) return;
    std::uint64_t bytes = 0;
    for (const PlannedFile& file : plan_.files) {
        if (file.action == FileAction::unchanged) continue;
        try {
            bytes += file.source.fileSize();
        } catch (const std::exception&) {
            // Gone since the scan: its store fails, and it counts then.
        }
    }
    context_.progress->planned(plan_.files.size(), bytes);
}

void Execution::showProgress(Session& session, std::uint64_t bytesSent)
{
    if (context_.progress) context_.progress->sent(session.number, bytesSent);
    if (!context_.pace.showProgress(session, bytesSent)) return;
    context_.info(session, lines::uploading(session.currentFile.file(), bytesSent, session.currentFileSize),
                  progressPause);
}

void Execution::storeFiles(Session& session)
{
    for (;;) {
        // Without retries a lost connection ends this session after the file it cost; the
        // others take the rest.
        if (retry_.retries() == 0 && !session.usable()) return stop_.sessionLost(session.lastFailure);
        if (stop_.stopped()) return;
        auto index = takeFile();
        if (!index) return;
        if (!storeTaken(session, plan_.files[*index])) return;
    }
}

bool Execution::storeTaken(Session& session, PlannedFile& file)
{
    if (!session.storedAny) ++sessionsUsed_;
    session.storedAny = true;
    if (file.last && !context_.settings.staged) awaitFirstFiles();
    const bool stored = storeOne(session, file);
    storeEnded(file);
    stop_.fileDone(stored, file.failure);
    session.lastFailure = stored ? FtpReply{} : file.failure;
    // With retries a lost session is replaced by the next file's tries; one that could
    // not be replaced within them ends here.
    if (!stored && !session.usable()) {
        stop_.sessionLost(session.lastFailure);
        return false;
    }
    return true;
}

void Execution::giveUpRest(Session& session)
{
    std::size_t notSent = 0;
    while (auto index = takeFile()) {
        PlannedFile& file = plan_.files[*index];
        if (file.action == FileAction::unchanged) {
            // Up to date already: not sending it loses nothing.
            ++unchanged_;
            file.outcome = Outcome::done;
            continue;
        }
        file.outcome = Outcome::failed;
        file.failure = {"000", "not tried: the run stopped"};
        ++notSent;
    }
    notSent_ += notSent;
    if (notSent == 0 || stop_.interrupted()) return;
    const std::string reason = stop_.reason();
    plan_.problems.push_back({"run stopped", {"000", reason}});
    context_.error(session, lines::runStopped(reason, notSent), stepPause);
}

void Execution::discardPart(Session& session, const std::string& part)
{
    // The temporary of a failed store is of no use; a lost session leaves it for the next
    // run's deletion to find.
    try {
        if (!session.usable() || (session.client->outOfStep() && !session.client->resynchronise())) return;
        session.client->deleteFile(part);
    } catch (const std::exception&) {
    }
}

bool Execution::storeAttempt(Session& session, PlannedFile& file)
{
    FTP& client = *session.client;
    // Inside the caller's guard: a file that vanished since the scan costs only itself.
    session.currentFileSize = file.source.fileSize();
    session.currentFile = file.source;
    if (context_.progress) context_.progress->started(session.number, session.currentFileSize);
    session.lastProgressLine = std::chrono::steady_clock::now();
    session.finalProgressShown = false;
    const bool setTime = context_.settings.skipUnchanged;
    // With retries, the time also tells a later check whether the file changed since it was sent.
    const std::int64_t modified = setTime || retry_.retries() > 0 ? file.source.modifiedTime() : 0;
    session.currentFileModified = modified;
    // Atomic: readers see the old version or the new one, never a part of it. Staged: the
    // rename waits for the commit, once every file is there.
    const bool atomic = context_.settings.atomic;
    const bool staged = context_.settings.staged;
    const std::string part = atomic ? partNameOf(file.remotePath) : file.remotePath;
    if (staged && keptPart(client, file, part)) {
        file.staged = file.kept = true;
        context_.info(session, lines::keptPart(file.remotePath), 0);
        return true;
    }
    // The manifest records what the server got, not what the file holds by the run's end.
    std::string sentHash;
    const bool verify = context_.settings.verify;
    // A try after one whose transfer broke sends only what the server does not hold yet.
    std::uint64_t from = resumeOffset(client, part, file.source, file.broken);
    const auto progress = [this, &session](std::uint64_t bytesSent) { showProgress(session, bytesSent); };
    bool oldInPlace = true;
    bool storing = true;
    try {
        if (from > 0) {
            try {
                client.resumeFile(part, file.localPath, from, progress, &sentHash);
            } catch (const FTPException& refused) {
                // A server that will not go on from the offset (REST or APPE refused) gets the
                // whole file instead.
                if (client.storeStarted() || mayPass(refused)) throw;
                from = 0;
            }
        }
        if (from == 0) {
            if (retry_.retries() > 0) file.broken = {false, session.currentFileSize, file.source.modifiedTime()};
            context_.pace.store(client, part, file.localPath, progress,
                                context_.settings.checksum || verify || staged ? &sentHash : nullptr);
        }
        file.resumedAt = from;
        storing = false;
        // Checked before the rename, so a damaged copy never takes the old version's place.
        // A resumed copy is checked whatever --verify says: its parts came from two tries.
        if (verify || from > 0) file.verified = verifyStored(client, part, sentHash, session.currentFileSize);
        if (from > 0) requireUnchanged(file.source, file.broken);
        if (atomic && !staged) client.renameOver(part, file.remotePath, &oldInPlace);
    } catch (const UnconfirmedStore&) {
        // The temporary may be whole: the next try looks at it before sending again.
        if (atomic && retry_.retries() == 0) discardPart(session, part);
        throw;
    } catch (const std::exception& failure) {
        // A store that broke on its way keeps its part for the next try to go on from. Any
        // other temporary goes, unless the old version is no longer in place: then it may be
        // the only copy there is.
        file.broken.broken = storing && client.storeStarted() && retry_.again(failure, file.tries - 1, !session.usable());
        if (atomic && oldInPlace && !file.broken.broken) discardPart(session, part);
        throw;
    } catch (...) {
        if (atomic && oldInPlace) discardPart(session, part);
        throw;
    }
    return storeDone(session, file, sentHash);
}

bool Execution::storeDone(Session& session, PlannedFile& file, const std::string& sentHash)
{
    FTP& client = *session.client;
    file.hash = sentHash;
    const bool staged = context_.settings.staged;
    file.staged = staged;
    if (context_.settings.skipUnchanged) {
        const std::int64_t modified = session.currentFileModified;
        const std::string part = context_.settings.atomic ? partNameOf(file.remotePath) : file.remotePath;
        // The next comparison then does not depend on the server's clock or zone; a rename
        // keeps the time, so a staged file's temporary takes it.
        try {
            // Unpaced, the next command need not wait for the answer, which changes nothing.
            if (context_.settings.pacing)
                client.setRemoteModified(staged ? part : file.remotePath, modified);
            else
                client.setRemoteModifiedLater(staged ? part : file.remotePath, modified);
        } catch (const std::exception&) {
        }
    }
    if (!connector_.quietCheck(session)) return context_.error(session, lines::upload(file.remotePath), stepPause);
    context_.lines.pause(context_.pace.pauseAfter(filePause));
    if (!staged) ++stored_;
    bytesStored_ += session.currentFileSize;
    ++filesSent_;
    return true;
}

bool Execution::confirmStored(Session& session, PlannedFile& file)
{
    FTP& client = *session.client;
    // What the server holds is compared with the local file, which must then still be what was sent.
    if (file.source.fileSize() != session.currentFileSize || file.source.modifiedTime() != session.currentFileModified)
        return false;
    const bool atomic = context_.settings.atomic;
    const std::string part = atomic ? partNameOf(file.remotePath) : file.remotePath;
    const bool hashed = client.hashesFiles() || context_.settings.checksum || context_.settings.verify;
    const std::string hash = hashed ? hashLocalFile(file.localPath) : std::string();
    try {
        const std::string check = verifyStored(client, part, hash, session.currentFileSize);
        if (context_.settings.verify) file.verified = check;
    } catch (const FTPException&) {
        // Not there, or not all of it: sent again. A session the check lost goes the usual way.
        if (!session.usable() || client.outOfStep()) throw;
        return false;
    }
    context_.info(session, lines::foundComplete(file.remotePath), 0);
    bool oldInPlace = true;
    try {
        if (atomic && !context_.settings.staged) client.renameOver(part, file.remotePath, &oldInPlace);
    } catch (...) {
        if (oldInPlace) discardPart(session, part);
        throw;
    }
    return storeDone(session, file, hash);
}

bool Execution::storeOne(Session& session, PlannedFile& file)
{
    if (file.action == FileAction::unchanged) {
        ++unchanged_;
        file.outcome = Outcome::done;
        context_.info(session, lines::unchanged(file.remotePath), 0);
        if (context_.progress) context_.progress->ended(session.number, ProgressObserver::Ending::unchanged);
        return true;
    }
    bool stored = false;
    try {
        stored = retry_.attempt(session, "upload " + file.remotePath, [&] { return storeAttempt(session, file); },
                                &file.tries, [&] { return confirmStored(session, file); });
        if (!stored) file.failure = session.lastReply;
    } catch (const std::exception& failure) {
        file.failure = replyOf(failure);
        if (stop_.interrupted()) {
            // The failure is the interrupt's: the file gets no line of its own, the run's
            // end counts it with the others not sent.
            file.failure = {"000", "abandoned: the run was interrupted"};
            ++notSent_;
        } else {
            context_.error(session, lines::upload(file.remotePath), stepPause, file.failure);
        }
    }
    file.outcome = stored ? Outcome::done : Outcome::failed;
    if (context_.progress)
        context_.progress->ended(session.number, stored ? ProgressObserver::Ending::stored : ProgressObserver::Ending::failed);
    return stored;
}
