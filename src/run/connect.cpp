#include "run/connect.hpp"

#include <algorithm>
#include <vector>

#include "ftp/ftp.hpp"
#include "ftp/trace.hpp"
#include "run/context.hpp"
#include "run/retry.hpp"
#include "run/session.hpp"

namespace {
// "/www", "/www/new" of "/www/new": every level, parents first.
std::vector<std::string> remoteLevels(const std::string& remote)
{
    std::vector<std::string> levels;
    for (std::size_t slash = remote.find('/', 1); ; slash = remote.find('/', slash + 1)) {
        const std::string level = remote.substr(0, slash);
        if (!level.empty() && level != "/") levels.push_back(level);
        if (slash == std::string::npos) return levels;
    }
}
}

void Connector::newClient(Session& session) const
{
    const RunSettings& settings = context_.settings;
    if (session.client) session.client->close();
    session.client = context_.createClient();
    session.client->setTimeoutSeconds(settings.timeoutSeconds);
    // The default run keeps the sockets it always had.
    session.client->setKeepAlive(!settings.describedRun());
    if (settings.tls.enabled)
        session.client->setTls({settings.host, settings.tls.caFile, settings.tls.fingerprint}, settings.tls.implicit);
    session.client->setActive(settings.active);
    if (settings.rateLimit) session.client->setRateLimit(settings.rateLimit);
    if (settings.trace) session.client->setObserver(Trace::forSession(settings.trace, session.number));
    if (!settings.pacing) {
        session.client->setQuickClose(true);
        session.client->shareAllocation(allocationUnneeded_);
        // The way in goes with USER, in one round trip: PASS, and the commands that a failed
        // login only makes the server refuse. Further sessions log in once the first one is in.
        if (session.number == 1) session.client->setLoginAhead(loginAhead());
    }
    if (session.number > 1 && awaitFirst_)
        session.client->setBeforeLogin([this, wait = awaitFirst_, &client = *session.client] {
            if (!wait()) throw SessionNotWanted();
            client.setLoginAhead(loginAhead());
        });
}

std::vector<std::string> Connector::loginAhead() const
{
    const RunSettings& settings = context_.settings;
    // TYPE I too: every store needs it, and the first one then needs no round trip of its
    // own. OPTS UTF8 ON before FEAT has named UTF8: a server that does not know it refuses
    // it, and takes names as it did.
    return {FTP::commandLine("PASS", {settings.password}), FTP::commandLine("CWD", {settings.remote}),
            FTP::commandLine("FEAT"), FTP::commandLine("TYPE", {"I"}), FTP::commandLine("OPTS", {"UTF8", "ON"})};
}

std::string Connector::connectFailure(const std::exception& failure) const
{
    const RunSettings& settings = context_.settings;
    return lines::connectFailure(settings.host, failureMessage(failure), settings.username, settings.password);
}

bool Connector::quietCheck(Session& session) const
{
    // "500" is also what silence reads as: nothing beyond the operation's own reply arrived.
    session.lastReply = context_.pace.quietCheck(*session.client);
    session.lastReply.message = cutForLine(std::move(session.lastReply.message));
    return session.lastReply.code == "500";
}

bool Connector::logIn(Session& session, bool announce, bool raiseWhatMayPass, bool connectingLine) const
{
    const RunSettings& settings = context_.settings;
    FTP& client = *session.client;
    // Data connections are passive unless --active asks otherwise: the client connects out,
    // which firewalls and address translation let through.
    context_.pace.setUp(client);

    if (announce && connectingLine) context_.info(session, lines::connecting(settings.host), stepPause);
    try {
        client.connect(settings.host, settings.username, settings.password, static_cast<std::uint16_t>(settings.port));
    } catch (const SessionNotWanted&) {
        return false;
    } catch (const std::exception& failure) {
        // A try that will be made again writes its retry line instead.
        if (raiseWhatMayPass && mayPass(failure)) throw;
        session.connectFailure = failureMessage(failure);
        context_.error(session, connectFailure(failure), stepPause);
        return false;
    }
    if (!quietCheck(session)) return context_.error(session, lines::connectTo(settings.host), stepPause);
    if (announce) context_.info(session, lines::connected(settings.host), stepPause);

    // Unpaced, the features are asked for with the CWD, in the same round trip.
    const bool featuresRead = !settings.pacing;
    if (settings.describedRun())
        client.changeDirectory(settings.remote);
    else if (!enterRemote(session, featuresRead))
        return false;
    // Unpaced, TYPE I went with the login: its answer is read with the rest, where a 421
    // is the server closing the session.
    const FtpReply typed = featuresRead ? client.tryBinary() : FtpReply{};
    if (typed.code == "421") session.lastReply = {typed.code, cutForLine(typed.message)};
    if (typed.code == "421" || !quietCheck(session)) {
        // Read behind the FEAT asked with the CWD: a server that closes the session now (an
        // idle time-out) leaves a try that may pass, as it would at the next command.
        if (featuresRead && raiseWhatMayPass && session.lastReply.code == "421")
            throw FTPException("421", "connection closed by the server");
        return context_.error(session, lines::cd(settings.remote), stepPause);
    }
    if (announce) context_.info(session, lines::cd(settings.remote), stepPause);
    if (session.number == 1 && firstIn_) firstIn_();
    // The default run keeps its exact commands; every other reads what the server offers.
    const bool compares = settings.skipUnchanged || settings.deleteGone || settings.atomic;
    if (compares || !settings.pacing || settings.tls.enabled || settings.verify) {
        if (!featuresRead) client.readFeatures();
        client.setPlainPassive(!compares);
        // Names go out as UTF-8 in any case; some servers only take them so once told.
        // Unpaced, its answer is not waited for: it changes nothing the next command needs.
        if (client.isKnownSupported("UTF8")) featuresRead ? client.announceUtf8Later() : client.announceUtf8();
    }
    return true;
}

bool Connector::enterRemote(Session& session, bool readingFeatures) const
{
    const RunSettings& settings = context_.settings;
    FTP& client = *session.client;
    FtpReply refusal;
    try {
        if (readingFeatures) {
            refusal = client.enterReadingFeatures(settings.remote);
            if (!refusal.code.empty() && refusal.code[0] == '2') return true;
            if (refusal.code.empty() || refusal.code[0] != '5') throw FTPException(refusal);
        } else {
            client.changeDirectory(settings.remote);
            return true;
        }
    } catch (const FTPException& failure) {
        // Only a refusal says the folder is missing; a lost connection goes the usual way.
        if (failure.code().empty() || failure.code()[0] != '5') throw;
        refusal = replyOf(failure);
    }
    // A first deploy to a new folder: made as mirroring tools do, each level from the top
    // (those that exist only answer so). A dry run changes nothing, so it only says why.
    if (!settings.dryRun) {
        client.makeDirectories(remoteLevels(settings.remote));
        try {
            client.changeDirectory(settings.remote);
            // Further sessions may find it missing too while the first makes it: one line.
            if (session.number == 1) context_.info(session, lines::createdRemote(settings.remote), stepPause);
            return true;
        } catch (const FTPException& failure) {
            if (failure.code().empty() || failure.code()[0] != '5') throw;
            refusal = replyOf(failure);
        }
    }
    session.connectFailure = lines::cd(settings.remote) + ": " + refusal.code + " " + refusal.message;
    return context_.error(session, session.connectFailure, stepPause);
}

bool Connector::connectWithRetries(Session& session, bool announce, std::uint32_t most) const
{
    const std::uint32_t retries = std::min(most, retry_.retries());
    for (std::uint32_t tried = 0;; ++tried) {
        // A run without retries goes exactly the old way: one try, its lines.
        if (tried >= retries) return logIn(session, announce, false, tried == 0);
        try {
            return logIn(session, announce, true, tried == 0);
        } catch (const std::exception& failure) {
            if (!mayPass(failure)) throw;
        }
        retry_.announce(session, "connect to " + context_.settings.host, tried);
        newClient(session);
    }
}

bool Connector::reopen(Session& session) const
{
    try {
        newClient(session);
        return logIn(session, false, true);
    } catch (const std::exception&) {
        return false;
    }
}

void Connector::openFurther(Session& session) const
{
    try {
        newClient(session);
        // A server that limits the sessions per address refuses further ones ("421", or "530"
        // at login) for as long as the others last: one more try, then the run goes on with
        // the sessions it has.
        if (!connectWithRetries(session, false, 1)) session.client->close();
    } catch (const std::exception& failure) {
        // A folder this session cannot enter ends only this session.
        context_.error(session, connectFailure(failure), stepPause);
        if (session.client) session.client->close();
    }
}
