// Negotiating, opening and finishing the data connection of one transfer.
#include "ftp/ftp_connection.hpp"
#include "ftp/passive_reply.hpp"
#include "net/net_host.hpp"
#include "net/socket_set.hpp"

namespace {
Socket connectData(const IPv4Address& address, std::chrono::microseconds limit)
{
    Socket data = Socket::create();
    data.connectWithin(address, limit);
    return data;
}
}

Socket FTPConnection::openDataConnection()
{
    if (connectionType_ == FtpConnectionType::passive) return openPassiveConnection();

    Socket listener = Socket::create();
    listener.bindAndListen(*activeListenAddress_, 32);
    const IPv4Address& announced = *activeAddress_;
    if (isKnownSupported("EPRT")) {
        issueCommand("EPRT", {"|1|" + announced.hostText() + "|" + std::to_string(announced.port()) + "|"});
    } else {
        std::string argument;
        for (int i = 0; i < 4; ++i) argument += std::to_string(announced.byte(i)) + ",";
        argument += std::to_string(announced.port() >> 8) + "," + std::to_string(announced.port() & 0xFF);
        issueCommand("PORT", {argument});
    }
    expectReply("200");
    return listener;
}

Socket FTPConnection::openPassiveConnection()
{
    if (!connected()) raiseClientError("CLIENT: Not connected");
    const IPv4Address controlPeer = controlSocket()->peerAddress();
    if (isKnownSupported("SPSV")) {
        issueCommand("SPSV");
        FtpReply reply = expectReply("227");
        return connectData(controlPeer.withPort(parseSpsvReply(reply.message)), waitLimit());
    }
    if (isKnownSupported("EPSV")) {
        issueCommand("EPSV");
        FtpReply reply = expectReply("229");
        auto port = parseEpsvReply(reply.message);
        if (!port) throw FTPException("501", "CLIENT: Unable to parse address");
        return connectData(controlPeer.withPort(*port), waitLimit());
    }
    issueCommand("PASV");
    FtpReply reply = expectReply("227");
    auto target = parsePasvReply(reply.message);
    if (!target) throw FTPException("501", "CLIENT: Unable to parse address");
    // A dotted host resolves to itself without asking the system.
    return connectData(passiveDataAddress(NetHost::resolveFirst(target->host, target->port), controlPeer),
                       waitLimit());
}

void FTPConnection::acceptDataConnection(Socket& data)
{
    if (connectionType_ == FtpConnectionType::passive) return;
    SocketSet set;
    set.add(data, SocketSet::readable);
    if (set.wait(waitLimit()) <= 0 || !set.isReadable(0)) throw FTPException("420", "CLIENT: No connection from server");
    Socket accepted = data.accept();
    accepted.setBlocking(false);
    data.shutdownBoth();
    data.close();
    data = std::move(accepted);
}

Socket FTPConnection::startDataCommand(const std::string& verb, const std::vector<std::string>& arguments)
{
    Socket data = openDataConnection();
    try {
        issueCommand(verb, arguments);
        FtpReply reply = readReply();
        if (reply.code != "150" && reply.code != "125") raiseReplyError(reply);
        acceptDataConnection(data);
    } catch (...) {
        data.shutdownBoth();
        data.close();
        throw;
    }
    return data;
}

void FTPConnection::finishDataCommand(Socket& data)
{
    // Closing the data connection is what tells the server the file is complete.
    data.shutdownBoth();
    data.close();
    FtpReply reply = readReply();
    // RFC 959 lists both 226 and 250 as a successful end of a store.
    if (reply.code != "226" && reply.code != "250") raiseReplyError(reply);
}
