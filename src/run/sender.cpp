#include "run/sender.hpp"

#include "ftp/ftp.hpp"
#include "run/checksum.hpp"
#include "run/compare.hpp"
#include "run/context.hpp"
#include "run/execute.hpp"
#include "run/plan.hpp"
#include "run/session.hpp"

Sender::Sender(RunLog& log) : lines_(log) {}

Sender::~Sender() = default;

std::unique_ptr<FTP> Sender::makeClient() { return std::make_unique<FTP>(); }

std::string Sender::toRemotePath(const std::string& localPath) const { return ::toRemotePath(local, localPath); }

bool Sender::logError(const Session& session, const std::string& message, std::int32_t pauseMilliseconds)
{
    lines_.error(session.lastReply, message);
    lines_.pause(pacing ? pauseMilliseconds : 0);
    return false;
}

bool Sender::logInfo(const Session& session, const std::string& message, std::int32_t pauseMilliseconds)
{
    lines_.info(session.lastReply, message);
    lines_.pause(pacing ? pauseMilliseconds : 0);
    return true;
}

bool Sender::send()
{
    stored_ = 0;
    unchanged_ = 0;
    const auto started = std::chrono::steady_clock::now();
    const std::unique_ptr<Pace> pace = Pace::create(pacing);
    const RunContext context{*this, lines_, *pace, [this] { return makeClient(); }, progressObserver};
    plan_ = std::make_unique<Plan>(makePlan(local, files, folders));
    Plan& plan = *plan_;
    for (const std::string& path : leftOut) plan.leftOut.insert(::toRemotePath(local, FilePath(path).native().path()));
    plan.localComplete = scanComplete;
    orderLast(plan, lastPatterns);
    ChecksumManifest checksumManifest(context);
    ChecksumManifest* manifest = checksum ? &checksumManifest : nullptr;
    UnchangedDecision unchanged(context, plan, manifest);
    Execution execution(context, plan, skipUnchanged ? &unchanged : nullptr, manifest);
    const bool result = execution.run();
    stored_ = execution.stored();
    unchanged_ = execution.unchanged();
    bytesStored_ = execution.bytesStored();
    filesSent_ = execution.filesSent();
    sessionsUsed_ = execution.sessionsUsed();
    interrupted_ = execution.interrupted();
    sendTime_ = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    hashingTime_ = checksumManifest.hashingTime();
    return result;
}

std::size_t Sender::deletedCount() const
{
    if (!plan_) return 0;
    std::size_t count = 0;
    for (const PlannedDeletion& deletion : plan_->deletions)
        if (dryRun || deletion.outcome == Outcome::done) ++count;
    return count;
}

std::size_t Sender::failedCount() const
{
    if (!plan_) return 0;
    std::size_t count = 0;
    for (const PlannedFile& file : plan_->files)
        if (file.outcome == Outcome::failed) ++count;
    return count;
}

bool Sender::deployComplete() const
{
    if (!plan_) return true;
    if (plan_->deletionSkipped || plan_->manifestFailed || !plan_->problems.empty()) return false;
    for (const PlannedDeletion& deletion : plan_->deletions)
        if (deletion.outcome == Outcome::failed) return false;
    return true;
}
