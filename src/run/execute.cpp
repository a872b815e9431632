#include "run/execute.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ftp/ftp.hpp"
#include "run/context.hpp"
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
}

Execution::Execution(const RunContext& context, Plan& plan, Decision decide)
    : context_(context), plan_(plan), decide_(std::move(decide)), retry_(context), connector_(context, retry_)
{
}

bool Execution::run()
{
    const RunSettings& settings = context_.settings;
    if (settings.dryRun && !settings.skipUnchanged) return dryRun(Session{});
    Session first;
    try {
        if (!settings.dryRun) context_.info(first, lines::filesToBackup(plan_.files.size()), stepPause);
        connector_.newClient(first);
        CloseOnExit closer{first};
        if (settings.dryRun) {
            if (!connector_.connectWithRetries(first)) return false;
            decide_(connector_, first);
            return dryRun(first);
        }
        return runSessions(first);
    } catch (const std::exception& failure) {
        context_.lines.sendCatch(failureMessage(failure), first.lastReply, settings.remote);
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
    if (!connector_.connectWithRetries(first)) return false;

    // Further sessions log in while the folders are made, and store nothing before.
    Gate foldersMade;
    const std::uint32_t connections = context_.settings.connections;
    std::vector<Session> others(connections > 1 ? connections - 1 : 0);
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < others.size(); ++i) {
        others[i].number = static_cast<int>(i) + 2;
        workers.emplace_back([this, &foldersMade, &session = others[i]] {
            connector_.openFurther(session);
            foldersMade.wait();
            if (session.usable()) storeFiles(session);
            if (session.client) session.client->close();
        });
    }
    try {
        makeFolders(first);
        decide_(connector_, first);
    } catch (...) {
        foldersMade.open();
        for (auto& worker : workers) worker.join();
        throw;
    }
    foldersMade.open();
    if (first.usable()) storeFiles(first);
    for (auto& worker : workers) worker.join();

    // No session is left for these: each still gets its own line.
    while (auto index = takeFile()) context_.error(first, lines::upload(plan_.files[*index].remotePath), stepPause);
    return true;
}

void Execution::makeFolders(Session& session)
{
    for (const std::string& folder : plan_.folders) {
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
