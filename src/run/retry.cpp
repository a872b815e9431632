#include "run/retry.hpp"

#include "common/interrupt.hpp"
#include "ftp/ftp_exception.hpp"
#include "net/tls_channel.hpp"
#include "run/context.hpp"

bool mayPass(const std::exception& failure)
{
    if (auto* reply = dynamic_cast<const FTPException*>(&failure)) return reply->code().rfind('4', 0) == 0;
    if (dynamic_cast<const TlsError*>(&failure)) return false;
    return dynamic_cast<const SocketException*>(&failure) != nullptr;
}

std::int32_t retryWait(std::uint32_t tried) { return tried >= 5 ? 30'000 : (1000 << tried); }

RetryRule::RetryRule(const RunContext& context) : context_(context), retries_(context.settings.retries) {}

bool RetryRule::again(const std::exception& failure, std::uint32_t tried, bool sessionLost) const
{
    // An interrupted run tries nothing again: the failure is most likely the interrupt's own.
    return tried < retries_ && (sessionLost || mayPass(failure)) && !interrupt::received();
}

void RetryRule::announce(const Session& session, const std::string& what, std::uint32_t tried) const
{
    context_.info(session, lines::retry(what, tried, retries_), 0);
    // Waits are the rule's own: they are not the described pauses, so pacing leaves them be.
    context_.lines.pause(retryWait(tried));
}
