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
    : context_(context), plan_(plan), decision_(decision), checksum_(checksum), retry_(context),
      connector_(context, retry_)
{
}

bool Execution::run()
{
    const RunSettings& settings = context_.settings;
    if (settings.dryRun && !settings.skipUnchanged && !settings.deleteGone) return dryRun(Session{});
    Session first;
    try {
        if (!settings.dryRun) context_.info(first, lines::filesToBackup(plan_.files.size()), stepPause);
        connector_.newClient(first);
        CloseOnExit closer{first};
        if (settings.dryRun) {
            if (!connector_.connectWithRetries(first)) return connectFailed(plan_, first, settings.host);
            decideParts(first, true);
            dryRun(first);
            finish(first);
            return true;
        }
        if (!runSessions(first)) return false;
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
    if (!connector_.connectWithRetries(first)) return connectFailed(plan_, first, context_.settings.host);

    // Further sessions log in while the folders are made, and store nothing before.
    Gate foldersMade;
    const std::uint32_t connections = context_.settings.connections;
    std::vector<Session> others(connections > 1 ? connections - 1 : 0);
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < others.size(); ++i) {
        others[i].number = static_cast<int>(i) + 2;
        workers.emplace_back([this, &foldersMade, &session = others[i]] {
            connector_.openFurther(session);
            decideParts(session, false);
            foldersMade.wait();
            if (session.usable()) storeFiles(session);
            if (session.client) session.client->close();
        });
    }
    try {
        decideParts(first, true);
        awaitDecisions();
        makeFolders(first);
    } catch (...) {
        foldersMade.open();
        for (auto& worker : workers) worker.join();
        throw;
    }
    foldersMade.open();
    if (first.usable()) storeFiles(first);
    for (auto& worker : workers) worker.join();

    // No session is left for these: each still gets its own line.
    while (auto index = takeFile()) {
        plan_.files[*index].outcome = Outcome::failed;
        context_.error(first, lines::upload(plan_.files[*index].remotePath), stepPause);
    }
    return true;
}

bool Execution::stillUsable(Session& session)
{
    return session.usable() || (retry_.retries() > 0 && connector_.replaceLost(session));
}

void Execution::finish(Session& session)
{
    const RunSettings& settings = context_.settings;
    Deletion deletion(context_, plan_, connector_, retry_);
    const std::set<std::string>* listed = nullptr;
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
            deletion.carryOut(session);
            listed = &deletion.listed();
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
        checksum_->write(*session.client, plan_, listed);
    } catch (const std::exception& failure) {
        // The next run then finds the earlier manifest, or none: what it holds no longer
        // matches is stored again.
        plan_.manifestFailed = true;
        plan_.problems.push_back({"manifest " + std::string(manifestName), {"000", failureMessage(failure)}});
        context_.error(session, lines::upload(std::string(manifestName)), stepPause);
    }
}

void Execution::decideParts(Session& session, bool takesAll)
{
    if (!decision_) return;
    for (;;) {
        if (!takesAll && !session.usable()) return;
        // Parts are taken a few at a time, so that their questions share round trips, yet
        // small enough that every session gets some.
        const std::size_t parts = decision_->parts();
        const std::size_t take = std::max<std::size_t>(1, parts / (2 * std::max<std::uint32_t>(1, context_.settings.connections)));
        const std::size_t first = nextPart_.fetch_add(take);
        if (first >= parts) return;
        const std::size_t count = std::min(take, parts - first);
        try {
            decision_->decide(connector_, session, first, count);
        } catch (...) {
            // An undecided part only costs the saving: its files are stored.
        }
        {
            std::lock_guard<std::mutex> lock(decidedMutex_);
            partsDecided_ += count;
        }
        partDecided_.notify_all();
    }
}

void Execution::awaitDecisions()
{
    if (!decision_) return;
    std::unique_lock<std::mutex> lock(decidedMutex_);
    partDecided_.wait(lock, [this] { return partsDecided_ >= decision_->parts(); });
}

void Execution::makeFolders(Session& session)
{
    std::vector<std::string> missing;
    for (const std::string& folder : plan_.folders)
        if (!plan_.exists(folder)) missing.push_back(folder);
    if (!context_.settings.pacing) return makeFoldersAtOnce(session, missing);
    for (const std::string& folder : missing) {
        for (bool replaced = false;;) {
            try {
                session.client->makeDirectory(folder);
                break;
            } catch (const std::exception&) {
                // Usually the folder exists already; a real problem shows up when its files
                // are stored. A lost connection is replaced (with retries) and the folder made again.
                if (session.usable() || replaced || retry_.retries() == 0) break;
                if (!connector_.replaceLost(session)) return;
                replaced = true;
            }
        }
    }
}

void Execution::makeFoldersAtOnce(Session& session, const std::vector<std::string>& folders)
{
    for (bool replaced = false;;) {
        try {
            session.client->makeDirectories(folders);
            return;
        } catch (const std::exception&) {
            // Made again from the first: a folder that exists only answers that it does.
            if (session.usable() || replaced || retry_.retries() == 0 || !connector_.replaceLost(session)) return;
            replaced = true;
        }
    }
}
