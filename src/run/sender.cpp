#include "run/sender.hpp"

#include "ftp/ftp.hpp"
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
    const std::unique_ptr<Pace> pace = Pace::create(pacing);
    const RunContext context{*this, lines_, *pace, [this] { return makeClient(); }};
    Plan plan = makePlan(local, files, folders);
    UnchangedDecision unchanged(context, plan);
    Execution execution(context, plan, skipUnchanged ? &unchanged : nullptr);
    const bool result = execution.run();
    stored_ = execution.stored();
    unchanged_ = execution.unchanged();
    return result;
}
