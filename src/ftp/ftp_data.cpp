// Negotiating, opening and finishing the data connection of one transfer.
#include "ftp/ftp_connection.hpp"
#include "ftp/passive_reply.hpp"
#include "net/socket_set.hpp"

namespace {
// Where the queue cannot be seen, a server that keeps the data connection open without
// reading would otherwise hold the run forever; a link slower than this many time-outs
// for one socket buffer is beyond saving anyway.
constexpr int drainCapInTimeouts = 30;

std::uint16_t portOfEpsvReply(const FtpReply& reply)
{
    auto port = parseEpsvReply(reply.message);
    if (!port) throw FTPException("501", "CLIENT: Unable to parse address");
    return *port;
}

Socket connectData(const IpAddress& address, std::chrono::microseconds limit)
{
    Socket data = Socket::create(address.family());
    data.connectWithin(address, limit);
    return data;
}
}

FtpReply FTPConnection::awaitCompletion(DataConnection& data)
{
    // On a slow link the bytes queued in the socket may need far longer than one
    // time-out to reach the server. The time-out is for a stall: waiting goes on while
    // the queue shrinks, or, where it cannot be seen (or has reached the server's own
    // buffers), while the server has not yet ended the data connection, up to a cap.
    const auto cap = std::chrono::steady_clock::now() + drainCapInTimeouts * timeoutDuration();
    std::optional<std::size_t> queued = data.unsentBytes();
    bool serverOpen = true;
    while (!waitForControl(waitLimit())) {
        std::optional<std::size_t> now = data.unsentBytes();
        const bool draining = now && queued && *now < *queued;
        queued = now;
        if (draining) continue;
        if (now && *now > 0) break;  // bytes queued and none moving: a stall
        serverOpen = serverOpen && data.peerStillOpen();
        if (!serverOpen || std::chrono::steady_clock::now() >= cap) break;
    }
    return readReply();
}

void FTPConnection::secureDataConnection(DataConnection& data) { data.secure(tlsContext(), waitLimit()); }

IpAddress FTPConnection::passiveTarget(std::uint16_t port) const
{
    // Only the port is taken from a passive reply: the host in it could send the file's
    // bytes to any machine a hostile server or a meddler on the path names.
    return controlSocket()->peerAddress().withPort(port);
}

std::string FTPConnection::dataTraceAddress(DataConnection& data) const
{
    return (active_ ? "active " : "") + data.socket().peerAddress().toString();
}

bool FTPConnection::controlIsIpv6() const { return controlSocket()->peerAddress().isV6(); }

std::uint16_t FTPConnection::extendedPassivePort()
{
    issueCommand("EPSV");
    return portOfEpsvReply(expectReply("229"));
}

Socket FTPConnection::openPassiveConnection()
{
    if (!connected()) raiseClientError("CLIENT: Not connected");
    // PASV can name only an IPv4 address (RFC 2428): over IPv6 it is never sent.
    if (controlIsIpv6()) return connectData(passiveTarget(extendedPassivePort()), waitLimit());
    if (!plainPassive_ && isKnownSupported("SPSV")) {
        issueCommand("SPSV");
        FtpReply reply = expectReply("227");
        return connectData(passiveTarget(parseSpsvReply(reply.message)), waitLimit());
    }
    if (!plainPassive_ && !epsvRefused_ && isKnownSupported("EPSV")) {
        issueCommand("EPSV");
        FtpReply reply = readReply();
        if (reply.code == "229") return connectData(passiveTarget(portOfEpsvReply(reply)), waitLimit());
        // A server may list EPSV and still refuse it (behind some firewalls): PASV names
        // the same port over IPv4.
        if (isSilence(reply) || reply.code[0] != '5') raiseReplyError(reply);
        epsvRefused_ = true;
    }
    issueCommand("PASV");
    FtpReply reply = expectReply("227");
    auto target = parsePasvReply(reply.message);
    if (!target) throw FTPException("501", "CLIENT: Unable to parse address");
    return connectData(passiveTarget(target->port), waitLimit());
}

DataConnection FTPConnection::startDataCommand(const std::string& verb, const std::vector<std::string>& arguments,
                                               std::optional<std::uint64_t> restart)
{
    Socket listener = active_ ? openActiveListener() : Socket();
    DataConnection data = active_ ? DataConnection() : DataConnection(openPassiveConnection());
    try {
        if (restart) restartAt(*restart);
        issueCommand(verb, arguments);
        FtpReply reply = readReply();
        if (reply.code != "150" && reply.code != "125") raiseReplyError(reply);
        storeStarted_ = verb == "STOR" || verb == "APPE";
        // The server connects once the command is under way; its answer to a connection
        // that never came stays owed, so the next command first reads it.
        if (active_) data = acceptDataConnection(listener);
    } catch (...) {
        // A server that starts the store late must not take a quiet end for an empty file.
        if (outOfStep())
            data.abort();
        else
            data.close();
        throw;
    }
    try {
        secureDataConnection(data);
    } catch (...) {
        // The server waits for this transfer: its answer to the broken one is read here.
        abortTransfer(data);
        throw;
    }
    return data;
}

void FTPConnection::finishDataCommand(DataConnection& data)
{
    // Ending our direction is what tells the server the file is complete; the socket
    // stays open meanwhile so that the wait for the reply can watch the last bytes drain.
    data.endSending(waitLimit());
    FtpReply reply = awaitCompletion(data);
    // RFC 959 lists both 226 and 250 as a successful end of a store.
    const bool completed = reply.code == "226" || reply.code == "250";
    // Servers have answered 226 for a file they cut short and then reset the connection.
    const bool clean = completed && data.endedCleanly(waitLimit());
    // Without a reply only what has arrived already is looked at: no wait is added.
    const bool unconfirmed = isSilence(reply) && data.endedCleanly(std::chrono::microseconds(0));
    data.close();
    if (unconfirmed) {
        try {
            raiseSilence();
        } catch (const FTPException& silence) {
            throw UnconfirmedStore(silence);
        }
    }
    if (!completed) raiseReplyError(reply);
    if (!clean)
        throw FTPException("426", data.secured() ? "CLIENT: The data connection ended without TLS close_notify"
                                                 : "CLIENT: The data connection was reset before every byte arrived");
}
