#pragma once
// Carrying out a plan: the sessions (the first, and with --connections=N the others in
// threads of their own), the remote folders, and one store per planned file, with the
// retry rule for every step.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "run/commit.hpp"
#include "run/connect.hpp"
#include "run/lock.hpp"
#include "run/retry.hpp"
#include "run/stop.hpp"

class ChecksumManifest;
class FTP;
class Deletion;
class PlanDecision;
struct Plan;
struct PlannedFile;
struct RunContext;
struct Session;

class Execution {
public:
    // `decision` (none: the plan is complete) is made once the sessions are in, spread over
    // them, before any folder is made or file stored.
    // `checksum`: the manifest of --checksum, written anew once the run is done.
    Execution(const RunContext& context, Plan& plan, PlanDecision* decision, ChecksumManifest* checksum = nullptr);

    // true when the run got to the end of the file list.
    bool run();
    // Files stored with no error line written for them.
    std::size_t stored() const { return stored_; }
    // Files left out because their remote copy is up to date (stored or not in a dry run).
    std::size_t unchanged() const { return unchanged_; }
    // The bytes of the stored files, and how many sessions stored at least one file.
    std::uint64_t bytesStored() const { return bytesStored_; }
    // Files whose bytes went out, whether or not a staged commit put them in place.
    std::size_t filesSent() const { return filesSent_; }
    std::size_t sessionsUsed() const { return sessionsUsed_; }
    // An interrupt ended the run before its end.
    bool interrupted() const { return stop_.interrupted(); }

private:
    bool runSteps();
    bool runSessions(Session& first);
    bool dryRun(const Session& session);
    // After the stores: the deletions of --delete and the manifest of --checksum.
    void finish(Session& session);
    // The session, or a replacement for it (with retries).
    bool stillUsable(Session& session);
    // Takes parts of the decision while the session lasts; `takesAll`: also those left by
    // sessions that are gone, so every part is done.
    void decideParts(Session& session, bool takesAll);
    // With early stores: the parts asked in one stream of questions (decide_parts.cpp).
    void decideStreaming(Session& session, bool takesAll);
    // What a session does next while parts are undecided: ask, store a decided file, or
    // neither, since all are taken (or, `takesAll`, decided).
    enum class Turn { ask, store, done };
    Turn awaitTurn(bool takesAll);
    bool storesEarly() const;  // under readyMutex_
    void partDone(std::size_t part);
    void allowEarlyStores();
    void awaitDecisions();
    // --checksum: the manifest deleted before the first change; false (with its line) when it
    // may still be there, and then nothing is to be changed. A deploy without --checksum
    // deletes any manifest, which its changes would make a false record.
    bool withdrawManifest(Session& session);
    // Where the server was not seen to keep the times it is given, what the times alone
    // judged unchanged is stored after all, with one line.
    void settleTimes(Session& session);
    // --max-delete: false (nothing is deleted, the line written) when more would go.
    bool withinDeleteLimit(Session& session, const Deletion& deletion);
    void makeFolders(Session& session);
    void makeFoldersAtOnce(Session& session, const std::vector<std::string>& folders);
    // The progress observer is told what the stores are to go through, once it is known.
    void announceStores();
    void storeFiles(Session& session);
    // One taken file, its counts and its end; false when the session is lost with it.
    bool storeTaken(Session& session, PlannedFile& file);
    // Unpaced, once the lock is held and the old manifest gone: the changed files of parts
    // just decided go out at once, while other sessions still decide theirs. `offerEarly`
    // queues those of decided parts; `storeReady` stores from the queue while it holds any
    // (with `partsLeft`, while another session is left to decide; `untilDecided`: only
    // while some part is still undecided).
    bool earlyWanted() const;
    void withdrawManifestAhead(Session& session);
    void offerEarly(std::size_t first, std::size_t count);
    void storeReady(Session& session, bool partsLeft, bool untilDecided = false);
    // True when the file was stored or left out as unchanged.
    bool storeOne(Session& session, PlannedFile& file);
    bool storeAttempt(Session& session, PlannedFile& file);
    // What follows a store the server took: the record, the time, the counts.
    bool storeDone(Session& session, PlannedFile& file, const std::string& sentHash);
    // After a store whose completion reply was lost: true (and the file counted as stored,
    // with --atomic renamed into place) when the server holds what the local file holds.
    bool confirmStored(Session& session, PlannedFile& file);
    void discardPart(Session& session, const std::string& part);
    void showProgress(Session& session, std::uint64_t bytesSent);
    std::optional<std::size_t> takeFile();
    // The files no session took, once the run stopped: one line and one problem for all
    // (when interrupted, `noteInterrupted` says it for the whole run).
    void giveUpRest(Session& session);
    // The one line and problem of an interrupted run, whatever it was doing.
    void noteInterrupted();
    // A file's store has ended, whichever way: sessions waiting for the stores learn of it.
    void storeEnded(const PlannedFile& file);
    // --last in an unstaged run: the file waits until every file before the last ones is done.
    void awaitFirstFiles();
    // --staged (commit.cpp): once every store has ended, the renames this session takes of
    // each round; then, in the first session after the others ended, the run's line about it.
    void commitFiles(Session& session);
    bool decideCommit();
    void commitRound(Session& session, int round);
    void renameBatch(Session& session, int round, std::size_t first, std::size_t count);
    void settleCommit(Session& session);
    // --staged: the temporary an earlier run left holds this file's content (the server's
    // hash says so), so it is not sent again.
    bool keptPart(FTP& client, PlannedFile& file, const std::string& part);
    // The record of an earlier staged run's temporaries, read and then withdrawn before
    // anything changes (a temporary sent again would no longer be what it says); written
    // anew by a run that does not commit.
    void takeStagedRecord(Session& session);
    void leaveStagedRecord(Session& session);

    const RunContext& context_;
    Plan& plan_;
    PlanDecision* decision_;
    ChecksumManifest* checksum_;
    RetryRule retry_;
    Connector connector_;
    RemoteLock lock_;
    RunStop stop_;
    // The lock is held, or not needed: the sessions may decide and store.
    std::atomic<bool> mayChange_{false};
    bool lockRefused_ = false;
    std::atomic<std::size_t> stored_{0};
    std::atomic<std::size_t> unchanged_{0};
    std::atomic<std::uint64_t> bytesStored_{0};
    std::atomic<std::size_t> filesSent_{0};
    std::atomic<std::size_t> sessionsUsed_{0};
    std::atomic<std::size_t> nextFile_{0};
    // One per planned file: a session has taken it.
    std::unique_ptr<std::atomic<bool>[]> taken_;
    std::atomic<bool> earlyStores_{false};
    std::mutex readyMutex_;
    std::deque<PlannedFile*> ready_;
    std::size_t earlyStorers_ = 0;  // under readyMutex_
    std::size_t askers_ = 0;        // under readyMutex_
    std::condition_variable workChanged_;
    bool manifestWithdrawn_ = false;
    std::atomic<std::size_t> filesEnded_{0};
    std::atomic<std::size_t> firstFilesEnded_{0};
    StagedCommit commit_;
    std::atomic<std::size_t> nextPart_{0};
    // Files not sent because of an interrupt: abandoned while they were sent, or never taken.
    std::atomic<std::size_t> notSent_{0};
    std::mutex decidedMutex_;
    std::condition_variable partDecided_;
    std::size_t partsDecided_ = 0;
};
