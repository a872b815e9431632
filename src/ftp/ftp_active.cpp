// Active data connections: the server connects back to a socket of ours, for networks that
// let no connection out to the server's data ports.
#include <chrono>

#include "ftp/ftp_connection.hpp"
#include "net/socket_set.hpp"

namespace {
// "h1,h2,h3,h4,p1,p2" of PORT (RFC 959), most significant byte first.
std::string portArgument(const IpAddress& address)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) text += std::to_string((address.address() >> shift) & 0xFF) + ",";
    return text + std::to_string(address.port() >> 8) + "," + std::to_string(address.port() & 0xFF);
}

bool sameHost(const IpAddress& a, const IpAddress& b) { return a.withPort(0) == b.withPort(0); }
}

Socket FTPConnection::openActiveListener()
{
    if (!connected()) raiseClientError("CLIENT: Not connected");
    // The control connection's own end is the address the server can reach us at; any
    // other (all interfaces, say) would announce one it may not.
    const IpAddress own = controlSocket()->localAddress().withPort(0);
    Socket listener = Socket::create(own.family());
    listener.bindAndListen(own, 32);
    const IpAddress announced = listener.localAddress();
    if (announced.isV6())
        issueCommand("EPRT", {"|2|" + announced.hostText() + "|" + std::to_string(announced.port()) + "|"});
    else
        issueCommand("PORT", {portArgument(announced)});
    expectReply("200");
    return listener;
}

DataConnection FTPConnection::acceptDataConnection(Socket& listener)
{
    // Only the server may deliver the data connection: anyone else who finds the port
    // before it would otherwise take the file's bytes.
    const IpAddress server = controlSocket()->peerAddress();
    const auto deadline = std::chrono::steady_clock::now() + timeoutDuration();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        SocketSet set;
        set.add(listener, SocketSet::readable);
        if (left.count() <= 0 || set.wait(left) <= 0) break;
        Socket data = listener.accept();
        if (!sameHost(data.peerAddress(), server)) continue;
        listener.close();
        data.setBlocking(false);
        return DataConnection(std::move(data));
    }
    throw FTPException("420", "CLIENT: No connection from server");
}
