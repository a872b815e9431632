#pragma once
// Carrying out a plan: the sessions (the first, and with --connections=N the others in
// threads of their own), the remote folders, and one store per planned file, with the
// retry rule for every step.
#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>

#include "run/connect.hpp"
#include "run/retry.hpp"

struct Plan;
struct PlannedFile;
struct RunContext;
struct Session;

class Execution {
public:
    // `decide` completes the plan once the first session is in (the skip decision); it runs
    // after the folders are made and before anything is stored.
    using Decision = std::function<void(const Connector& connector, Session& first)>;
    Execution(const RunContext& context, Plan& plan, Decision decide);

    // true when the run got to the end of the file list.
    bool run();
    // Files stored with no error line written for them.
    std::size_t stored() const { return stored_; }
    // Files left out because their remote copy is up to date (stored or not in a dry run).
    std::size_t unchanged() const { return unchanged_; }

private:
    bool runSessions(Session& first);
    bool dryRun(const Session& session);
    void makeFolders(Session& session);
    void storeFiles(Session& session);
    // True when the file was stored or left out as unchanged.
    bool storeOne(Session& session, const PlannedFile& file);
    bool storeAttempt(Session& session, const PlannedFile& file);
    void showProgress(Session& session, std::uint64_t bytesSent);
    std::optional<std::size_t> takeFile();

    const RunContext& context_;
    Plan& plan_;
    Decision decide_;
    RetryRule retry_;
    Connector connector_;
    std::atomic<std::size_t> stored_{0};
    std::atomic<std::size_t> unchanged_{0};
    std::atomic<std::size_t> nextFile_{0};
};
