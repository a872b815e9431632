#include "run/stop.hpp"

#include "common/text.hpp"

namespace {
std::string reasonOf(const FtpReply& reply)
{
    // The client's own findings read as they are; a server's reply keeps its code.
    if (reply.message.empty()) return "connection closed by the server";
    if (reply.code.empty() || reply.code == "000" || reply.message == "connection closed by the server")
        return reply.message;
    return reply.message.empty() ? reply.code : reply.code + " " + reply.message;
}

// 452 and 552: the server has no room; every further store would be refused the same way.
bool outOfSpace(const FtpReply& reply) { return reply.code == "452" || reply.code == "552"; }
}

void RunStop::fileDone(bool stored, const FtpReply& failure)
{
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    spaceRefusals_ = !stored && outOfSpace(failure) ? spaceRefusals_ + 1 : 0;
    // One refusal may be a quota that a deletion elsewhere just freed; two are not.
    if (spaceRefusals_ >= 2 && !stopped_) {
        stopped_ = true;
        reason_ = reasonOf(failure);
    }
}

void RunStop::sessionLost(const FtpReply& failure)
{
    std::lock_guard<std::mutex> lock(mutex_);
    lostReason_ = outOfSpace(failure) || failure.message.empty() ? "connection closed by the server" : reasonOf(failure);
}

bool RunStop::stopped() const
{
    if (interrupted()) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

std::string RunStop::reason() const
{
    // Whatever else went wrong, the person who stopped the run wants to read that they did.
    if (interrupted()) return std::string("interrupted by ") + interrupted_();
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return reason_;
    return lostReason_.empty() ? "connection closed by the server" : lostReason_;
}

namespace lines {
std::string runStopped(const std::string& reason, std::size_t notSent)
{
    return formatText("run stopped: {}; {} files not sent", {reason, notSent});
}
}
