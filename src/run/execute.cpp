#include "run/execute.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "common/own_names.hpp"
#include "ftp/ftp.hpp"
#include "run/context.hpp"
#include "run/checksum.hpp"
#include "run/decision.hpp"
#include "run/deletion.hpp"
#include "run/plan.hpp"
#include "run/progress.hpp"
#include "run/session.hpp"

namespace {
// Closes the client however the session steps are left, before any outer handler runs.
struct CloseOnExit {
    Session& session;
    ~CloseOnExit()
    {
        if (session.client) session.client->close();
    }
};

// Leaves the lock (when held) before the session closes, however the run is left.
struct ReleaseOnExit {
    RemoteLock& lock;
    Session& session;
    ~ReleaseOnExit() { lock.release(session); }
};

// Sessions beyond the first wait for the remote folders before they store anything.
class Gate {
public:
    void open()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }
    bool isOpen()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// For the report: a session that could not log in, with the reason its error line gave.
bool connectFailed(Plan& plan, const Session& session, const std::string& host)
{
    FtpReply reply = session.lastReply;
    if (!session.connectFailure.empty()) reply = {"000", session.connectFailure};
    plan.problems.push_back({"connect to " + host, std::move(reply)});
    return false;
}
}

Execution::Execution(const RunContext& context, Plan& plan, PlanDecision* decision, ChecksumManifest* checksum)
    : context_(context), plan_(plan), decision_(decision), checksum_(checksum),
      retry_(context, [this](Session& session) { return connector_.reopen(session); }),
      connector_(context, retry_), lock_(context, plan), stop_(!context.settings.describedRun()),
      taken_(std::make_unique<std::atomic<bool>[]>(plan.files.size()))
{
}

bool Execution::run()
{
    const bool reachedEnd = runSteps();
    if (!stop_.interrupted()) return reachedEnd;
    noteInterrupted();
    return false;
}

void Execution::noteInterrupted()
{
    // Those abandoned or given up, and those the run never got to (it was interrupted on its way in).
    std::size_t notSent = notSent_;
    for (const PlannedFile& file : plan_.files)
        if (file.outcome == Outcome::pending && file.action != FileAction::unchanged) ++notSent;
    const std::string reason = stop_.reason();
    plan_.problems.push_back({"run stopped", {"000", reason}});
    context_.error(Session{}, lines::runStopped(reason, notSent), 0);
}

bool Execution::runSteps()
{
    const RunSettings& settings = context_.settings;
    if (settings.dryRun && !settings.skipUnchanged && !settings.deleteGone) return dryRun(Session{});
    Session first;
    try {
        if (!settings.dryRun) context_.info(first, lines::filesToBackup(plan_.files.size()), stepPause);
        connector_.newClient(first);
        CloseOnExit closer{first};
        ReleaseOnExit releaser{lock_, first};
        if (settings.dryRun) {
            if (!connector_.connectWithRetries(first)) return connectFailed(plan_, first, settings.host);
            decideParts(first, true);
            dryRun(first);
            finish(first);
            return true;
        }
        if (!runSessions(first)) return false;
        if (lockRefused_) return true;
        finish(first);
        return true;
    } catch (const std::exception& failure) {
        context_.lines.sendCatch(failureMessage(failure), first.lastReply, settings.remote);
        plan_.problems.push_back({"run", {"000", failureMessage(failure)}});
        return false;
    }
}

bool Execution::dryRun(const Session& session)
{
    for (const PlannedFile& file : plan_.files) {
        if (file.action == FileAction::unchanged) {
            ++unchanged_;
            context_.info(session, lines::unchanged(file.remotePath), 0);
        } else {
            context_.info(session, lines::wouldUpload(file.remotePath), 0);
        }
    }
    return true;
}

bool Execution::runSessions(Session& first)
{
    // An unpaced run's further sessions connect once the first one was greeted and log in once
    // it is in the folder, while it takes the lock; a paced run's once its login is all done.
    // (Never before: a wrong password is tried once, and gets one line, not one per session.)
    Gate firstGreeted;
    Gate firstIn;
    std::atomic<bool> firstOk{false};
    const bool paced = context_.settings.pacing;
    if (!paced) {
        // Only once the first one was greeted: a server that takes one session per address
        // must not give its place to a further one.
        if (first.client) first.client->setBeforeLogin([&] { firstGreeted.open(); });
        connector_.whenFirstIn([&] {
            firstOk = true;
            firstGreeted.open();
            firstIn.open();
        });
        // Their connections are opened meanwhile: only the login waits.
        connector_.furtherWaitFor([&] {
            firstIn.wait();
            return firstOk.load();
        });
    }
    // Further sessions log in while the lock is taken and the folders are made; they decide
    // nothing before the lock is held and store nothing before the folders are there. An
    // unpaced run's sessions start reading once the lock's folder is made: no other run
    // changes the tree from then on, and what they read is dropped if the lock is not held.
    Gate mayRead;
    Gate lockSettled;
    Gate foldersMade;
    // The hooks above reach into this call's gates: no session made later may use them.
    struct ForgetHooks {
        Connector& connector;
        ~ForgetHooks()
        {
            connector.whenFirstIn({});
            connector.furtherWaitFor({});
        }
    } forgetHooks{connector_};
    std::atomic<bool> readable{false};
    const std::uint32_t connections = context_.settings.connections;
    std::vector<Session> others(connections > 1 ? connections - 1 : 0);
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < others.size(); ++i) {
        others[i].number = static_cast<int>(i) + 2;
        workers.emplace_back([this, paced, &firstGreeted, &firstIn, &firstOk, &mayRead, &readable, &lockSettled,
                              &foldersMade, &session = others[i]] {
            if (paced) {
                firstIn.wait();
                if (!firstOk) return;
            }
            firstGreeted.wait();
            if (firstIn.isOpen() && !firstOk) return;
            connector_.openFurther(session);
            mayRead.wait();
            if (readable) decideParts(session, false);
            lockSettled.wait();
            foldersMade.wait();
            if (mayChange_ && session.usable()) storeFiles(session);
            commitFiles(session);
            if (session.client) session.client->close();
        });
    }
    const auto endWorkers = [&] {
        firstGreeted.open();
        firstIn.open();
        mayRead.open();
        lockSettled.open();
        foldersMade.open();
        for (auto& worker : workers) worker.join();
    };
    bool in = false;
    try {
        in = connector_.connectWithRetries(first);
    } catch (...) {
        endWorkers();
        throw;
    }
    connector_.whenFirstIn({});
    if (first.client) first.client->setBeforeLogin({});
    if (!in) {
        endWorkers();
        return connectFailed(plan_, first, context_.settings.host);
    }
    firstOk = true;
    firstIn.open();
    bool withdrawn = true;
    try {
        const auto made = [&] {
            if (context_.settings.pacing) return;
            readable = true;
            mayRead.open();
            withdrawManifestAhead(first);
        };
        // Early stores wait for the lock's owner and the old manifest's removal, not for the
        // probe of the server's times: they store only what is to be stored whatever it says.
        mayChange_ = lock_.take(first, made, !earlyWanted());
        readable = mayChange_.load();
        mayRead.open();
        lockSettled.open();
        lockRefused_ = !mayChange_;
        if (mayChange_) {
            if (earlyWanted()) {
                if (withdrawManifest(first)) allowEarlyStores();
                if (first.usable()) lock_.probeTimes(*first.client);
            }
            decideParts(first, true);
            awaitDecisions();
            settleTimes(first);
            withdrawn = withdrawManifest(first);
            if (withdrawn && !stop_.stopped()) {
                makeFolders(first);
                takeStagedRecord(first);
                announceStores();
            } else if (!withdrawn) {
                nextFile_ = plan_.files.size();  // no session stores anything while the old manifest stands
            }
        }
    } catch (...) {
        endWorkers();
        throw;
    }
    foldersMade.open();
    if (mayChange_ && first.usable()) storeFiles(first);
    commitFiles(first);
    for (auto& worker : workers) worker.join();
    // Another run holds the folder: nothing was changed, and no file gets a line of its own.
    if (lockRefused_) return true;
    if (!withdrawn) return false;

    if (!context_.settings.describedRun()) {
        giveUpRest(first);
        settleCommit(first);
        return true;
    }
    // No session is left for these: each still gets its own line.
    while (auto index = takeFile()) {
        plan_.files[*index].outcome = Outcome::failed;
        context_.error(first, lines::upload(plan_.files[*index].remotePath), stepPause);
    }
    return true;
}

bool Execution::stillUsable(Session& session)
{
    return retry_.keepUsable(session);
}

void Execution::finish(Session& session)
{
    const RunSettings& settings = context_.settings;
    // Interrupted: no deletion is started, and the manifest stays withdrawn (the next run
    // compares by size and time).
    if (stop_.interrupted()) {
        plan_.deletionSkipped = settings.deleteGone;
        return;
    }
    Deletion deletion(context_, plan_, retry_, stop_);
    if (settings.deleteGone) {
        // A file that did not get there, or a local folder that could not be read, would make
        // its remote copy look gone.
        const bool complete =
            plan_.localComplete && std::none_of(plan_.files.begin(), plan_.files.end(), [&](const PlannedFile& file) {
                return file.outcome == Outcome::failed || (file.outcome == Outcome::pending && !settings.dryRun);
            });
        const std::size_t problemsBefore = plan_.problems.size();
        const char* why = !plan_.localComplete ? "a local folder or entry could not be read"
                          : !complete          ? "a file did not get to the server"
                          : !stillUsable(session) ? "no connection was left"
                          : !deletion.plan(session) ? "the remote tree could not be listed"
                                                    : nullptr;
        if (!why) {
            if (withinDeleteLimit(session, deletion)) deletion.carryOut(session);
        } else {
            plan_.deletionSkipped = true;
            // A refusal inside the planning said why itself.
            if (plan_.problems.size() == problemsBefore) plan_.problems.push_back({"delete skipped", {"000", why}});
            context_.error(session, lines::deleteSkipped(), stepPause);
        }
    }
    if (!checksum_ || settings.dryRun) return;
    try {
        if (!stillUsable(session)) throw FTPException("421", "connection closed by the server");
        checksum_->write(*session.client, plan_);
    } catch (const std::exception& failure) {
        // The earlier one was deleted before the first change: the next run finds none and
        // compares by size and time.
        plan_.manifestFailed = true;
        plan_.problems.push_back({"manifest " + std::string(manifestName), {"000", failureMessage(failure)}});
        context_.error(session, lines::upload(std::string(manifestName)), stepPause);
    }
}

bool Execution::withinDeleteLimit(Session& session, const Deletion& deletion)
{
    const DeleteLimit& limit = context_.settings.maxDelete;
    const std::size_t going = static_cast<std::size_t>(
        std::count_if(plan_.deletions.begin(), plan_.deletions.end(), [](const PlannedDeletion& d) { return !d.folder; }));
    const std::size_t listed = deletion.filesListed();
    const bool over = limit.percent ? going > DeleteLimit::floor && going * 100 > listed * limit.value : going > limit.value;
    if (!over) return true;
    const std::string message =
        lines::deleteSkipped(going, listed, std::to_string(limit.value) + (limit.percent ? "%" : ""));
    plan_.deletionSkipped = true;
    plan_.problems.push_back({message, session.lastReply});
    context_.error(session, message, stepPause);
    return false;
}

void Execution::makeFolders(Session& session)
{
    std::vector<std::string> missing;
    for (const std::string& folder : plan_.folders)
        if (!plan_.exists(folder)) missing.push_back(folder);
    if (!context_.settings.pacing) return makeFoldersAtOnce(session, missing);
    // Usually a folder that cannot be made exists already; a real problem shows up when its
    // files are stored. A lost connection is replaced (with retries) and the folder made again.
    for (const std::string& folder : missing) {
        const bool made = retry_.redoOnNewSession(session, [&] {
            session.client->makeDirectory(folder);
            return true;
        });
        if (!made && !session.usable()) return;
    }
}

void Execution::makeFoldersAtOnce(Session& session, const std::vector<std::string>& folders)
{
    // Made again from the first on a new session: a folder that exists only answers that it does.
    retry_.redoOnNewSession(session, [&] {
        session.client->makeDirectories(folders);
        return true;
    });
}
