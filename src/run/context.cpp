#include "run/context.hpp"

#include "common/exception.hpp"
#include "ftp/ftp_exception.hpp"
#include "run/session.hpp"

namespace {
// A reply may be a megabyte long; every line that carries it would carry all of it.
constexpr std::size_t lineTextLimit = 4096;
}

bool RunContext::info(const Session& session, const std::string& message, std::int32_t pause) const
{
    lines.info(session.lastReply, message);
    lines.pause(pace.pauseAfter(pause));
    return true;
}

bool RunContext::error(const Session& session, const std::string& message, std::int32_t pause) const
{
    lines.error(session.lastReply, message);
    lines.pause(pace.pauseAfter(pause));
    return false;
}

bool RunContext::error(const Session& session, const std::string& message, std::int32_t pause,
                       const FtpReply& reason) const
{
    lines.error(settings.describedRun() ? session.lastReply : reason, message);
    lines.pause(pace.pauseAfter(pause));
    return false;
}

std::string cutForLine(std::string text)
{
    if (text.size() <= lineTextLimit) return text;
    std::size_t end = lineTextLimit;
    // Not inside a UTF-8 sequence.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text + " [cut]";
}

FtpReply replyOf(const std::exception& failure)
{
    FtpReply reply;
    reply.code = "000";
    if (auto* ftp = dynamic_cast<const FTPException*>(&failure)) reply.code = ftp->code();
    reply.message = failureMessage(failure);
    return reply;
}

std::string failureMessage(const std::exception& failure)
{
    if (auto* own = dynamic_cast<const Exception*>(&failure)) return cutForLine(own->message());
    return cutForLine(failure.what());
}
