#include "run/retry.hpp"

#include "common/interrupt.hpp"
#include "ftp/ftp.hpp"
#include "ftp/ftp_exception.hpp"
#include "net/tls_channel.hpp"
#include "run/context.hpp"
#include "run/session.hpp"

bool mayPass(const std::exception& failure)
{
    if (auto* reply = dynamic_cast<const FTPException*>(&failure)) return reply->code().rfind('4', 0) == 0;
    if (dynamic_cast<const TlsError*>(&failure)) return false;
    return dynamic_cast<const SocketException*>(&failure) != nullptr;
}

std::int32_t retryWait(std::uint32_t tried) { return tried >= 5 ? 30'000 : (1000 << tried); }

RetryRule::RetryRule(const RunContext& context, Reopen reopen)
    : context_(context), retries_(context.settings.retries), reopen_(std::move(reopen))
{
}

bool RetryRule::again(const std::exception& failure, std::uint32_t tried, bool sessionLost) const
{
    // An interrupted run tries nothing again: the failure is most likely the interrupt's own.
    return tried < retries_ && (sessionLost || mayPass(failure)) && !interrupt::received();
}

namespace {
// 421 is the server's word that it closes the connection: the next try needs a new one.
bool closing(const std::exception& failure)
{
    auto* reply = dynamic_cast<const FTPException*>(&failure);
    return reply && reply->code() == "421";
}
}

Failure RetryRule::classify(const std::exception& failure, const Session& session, std::uint32_t tried) const
{
    const bool lost = !session.usable() || closing(failure);
    if (!again(failure, tried, lost)) return Failure::final;
    if (lost) return Failure::sessionLost;
    return session.client->outOfStep() ? Failure::outOfStep : Failure::mayPass;
}

void RetryRule::announce(const Session& session, const std::string& what, std::uint32_t tried) const
{
    context_.info(session, lines::retry(what, tried, retries_), 0);
    // Waits are the rule's own: they are not the described pauses, so pacing leaves them be.
    context_.lines.pause(retryWait(tried));
}

void RetryRule::bringInStep(Session& session) const
{
    // A session that cannot get back in step is closed rather than let a reply land on the
    // wrong command; the next step finds it lost.
    if (session.usable() && session.client->outOfStep()) session.client->resynchronise();
}

bool RetryRule::attempt(Session& session, const std::string& what, const std::function<bool()>& step,
                        std::uint32_t* tries, const std::function<bool()>& confirm) const
{
    // A session the server closed while it waited for this step (an idle time-out) is replaced
    // first: nothing of the step went out, so none of its tries is spent.
    if (retries_ > 0 && session.usable()) keepUsable(session);
    bool checkFirst = false;
    for (std::uint32_t tried = 0;; ++tried) {
        if (tries) *tries = tried + 1;
        std::exception_ptr failed;
        Failure kind = Failure::final;
        try {
            // Found lost since the last step: a failure that may pass, like any loss.
            if (!session.usable()) throw FTPException("421", "connection closed by the server");
            // Until the check has been made, a failure leaves it still to make.
            if (checkFirst && confirm && confirm()) return true;
            checkFirst = false;
            const bool done = step();
            if (!done) bringInStep(session);
            return done;
        } catch (const std::exception& failure) {
            failed = std::current_exception();
            kind = classify(failure, session, tried);
            checkFirst = checkFirst || dynamic_cast<const UnconfirmedStore*>(&failure) != nullptr;
        }
        if (kind == Failure::final) {
            bringInStep(session);
            std::rethrow_exception(failed);
        }
        announce(session, what, tried);
        // A connection that cannot be replaced now makes the next try find it lost at once,
        // which then waits and tries to replace it again.
        if (kind == Failure::sessionLost && reopen_)
            reopen_(session);
        else if (kind == Failure::outOfStep)
            bringInStep(session);
    }
}

bool RetryRule::keepUsable(Session& session) const
{
    // With retries, a session the server timed out while it waited counts as lost.
    if (retries_ > 0 && session.usable()) session.client->closedWhileIdle();
    if (session.usable()) return true;
    if (!reopen_) return false;
    for (std::uint32_t tried = 0; tried < retries_ && !interrupt::received(); ++tried) {
        announce(session, "connect to " + context_.settings.host, tried);
        if (reopen_(session)) return true;
    }
    return false;
}

bool RetryRule::redoOnNewSession(Session& session, const std::function<bool()>& step) const
{
    for (int pass = 0; pass < 2; ++pass) {
        if (!keepUsable(session)) return false;
        bool done = false;
        try {
            done = step();
        } catch (const std::exception&) {
        }
        if (done || session.usable()) return done;
    }
    return false;
}
