#include "ftp/telnet.hpp"

#include "ftp/dialogue_observer.hpp"

#include <vector>

#include "net/net_exception.hpp"
#include "net/net_host.hpp"
#include "net/socket_set.hpp"
#include "net/tls_channel.hpp"

namespace {
using Clock = std::chrono::steady_clock;
}

Telnet::Telnet() = default;

Telnet::~Telnet() { closeControlSocket(); }

Telnet::Ticks Telnet::timeoutDuration() const { return Ticks(timeout_ > 0 ? timeout_ : 0); }

std::chrono::microseconds Telnet::waitLimit() const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(timeoutDuration());
}

void Telnet::closeControlSocket() noexcept
{
    controlTls_.reset();
    received_.clear();
    if (controlSocket_) {
        controlSocket_->shutdownBoth();
        controlSocket_->close();
        controlSocket_.reset();
    }
    tlsContext_.reset();
}

Socket& Telnet::openControlSocket(const std::string& host, std::uint16_t port)
{
    closeControlSocket();
    std::vector<IpAddress> addresses = NetHost::resolve(host);
    if (addresses.empty()) throw AddressException("Unable to resolve host '" + host + "'");

    // Every address is tried at once; the earliest in resolver order that connects wins.
    // Of several, one that fails (a family this machine lacks, a refusal) leaves the rest
    // to go on, with a line naming it.
    const bool several = addresses.size() > 1;
    auto failed = [&](const IpAddress& address, const std::string& reason) {
        if (several) traceLine("connect " + address.withPort(port).toString() + " failed: " + reason);
    };
    std::vector<Socket> attempts;
    std::vector<IpAddress> targets;
    attempts.reserve(addresses.size());
    for (const auto& address : addresses) {
        try {
            Socket attempt = Socket::create(address.family());
            attempt.setBlocking(false);
            attempt.startConnect(address.withPort(port));
            attempts.push_back(std::move(attempt));
            targets.push_back(address);
        } catch (const SocketException& failure) {
            if (!several || (attempts.empty() && &address == &addresses.back())) throw;
            failed(address, failure.message());
        }
    }

    const auto deadline = Clock::now() + timeoutDuration();
    std::vector<bool> pending(attempts.size(), true);
    std::size_t chosen = attempts.size();
    std::size_t open = attempts.size();
    bool firstWait = true;
    while (chosen == attempts.size() && open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (!firstWait && left.count() <= 0) break;
        firstWait = false;
        SocketSet set;
        std::vector<std::size_t> index;
        for (std::size_t i = 0; i < attempts.size(); ++i)
            if (pending[i]) {
                set.add(attempts[i], SocketSet::writable);
                index.push_back(i);
            }
        if (set.wait(left) <= 0) break;
        for (std::size_t k = 0; k < index.size(); ++k) {
            if (!set.isWritable(k) && !set.hasFailed(k)) continue;
            std::size_t i = index[k];
            // A refused attempt is reported ready too; only one without a pending error connected.
            const int error = attempts[i].pendingError();
            if (set.isWritable(k) && error == 0) {
                chosen = i;
                break;
            }
            failed(targets[i], Socket::errorText(error));
            pending[i] = false;
            --open;
        }
    }

    for (std::size_t i = 0; i < attempts.size(); ++i)
        if (i != chosen) {
            attempts[i].shutdownBoth();
            attempts[i].close();
        }
    if (chosen == attempts.size())
        raiseClientError("CLIENT: Unable to connect within the specified time limit (" +
                         std::to_string(timeout_ / 10'000) + " ms.)");

    attempts[chosen].setBlocking(true);
    if (keepAlive_) attempts[chosen].setKeepAlive(keepAliveIdle, keepAliveInterval);
    controlSocket_ = std::make_unique<Socket>(std::move(attempts[chosen]));
    lost_ = false;
    tlsRefusal_.clear();
    return *controlSocket_;
}

void Telnet::startTls(std::unique_ptr<TlsContext> context)
{
    if (!controlSocket_) raiseClientError("CLIENT: Not connected");
    tlsContext_ = std::move(context);
    controlTls_ = std::make_unique<TlsChannel>(*tlsContext_, *controlSocket_);
    try {
        controlTls_->handshake(waitLimit());
    } catch (...) {
        lost_ = true;
        throw;
    }
}

void Telnet::endTls() noexcept
{
    if (controlTls_ && !lost_) controlTls_->close(waitLimit());
}

void Telnet::sendLine(const std::string& text)
{
    sendBytes(text);
    sendBytes("\r\n");
}

void Telnet::traceLine(std::string_view text)
{
    if (observer_) observer_->dialogueLine(text);
}

void Telnet::sendBytes(std::string_view bytes)
{
    if (!controlSocket_) raiseClientError("CLIENT: Not connected");
    if (observer_) {
        for (std::size_t start = 0; start < bytes.size();) {
            std::size_t end = bytes.find("\r\n", start);
            std::size_t stop = end == std::string_view::npos ? bytes.size() : end;
            observer_->dialogueLine(observedCommand(bytes.substr(start, stop - start)));
            start = end == std::string_view::npos ? bytes.size() : end + 2;
        }
    }
    const auto deadline = Clock::now() + timeoutDuration();
    std::size_t sent = 0;
    while (sent < bytes.size() && Clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        Socket::IoResult result = sendSome(bytes.data() + sent, bytes.size() - sent, left);
        if (result.status == Socket::IoStatus::failed || result.status == Socket::IoStatus::closed) {
            if (controlTls_) tlsRefusal_ = controlTls_->lateHandshakeFailure();
            break;
        }
        sent += result.count;
    }
    if (sent != bytes.size()) {
        lost_ = true;
        if (!tlsRefusal_.empty()) throw TlsError(tlsRefusal_);
        raiseClientError("CLIENT: Timeout when sending command");
    }
}

Socket::IoResult Telnet::sendSome(const char* bytes, std::size_t length, std::chrono::microseconds limit)
{
    if (controlTls_) return controlTls_->send(bytes, length, limit);
    SocketSet set;
    set.add(*controlSocket_, SocketSet::writable);
    if (set.wait(limit) <= 0) return {Socket::IoStatus::wouldBlock, 0};
    return controlSocket_->send(bytes, length);
}

Socket::IoResult Telnet::receiveSome(char* buffer, std::size_t capacity, std::chrono::microseconds limit)
{
    if (controlTls_) return controlTls_->receive(buffer, capacity, limit);
    SocketSet set;
    set.add(*controlSocket_, SocketSet::readable);
    const int ready = set.wait(limit);
    if (ready == 0) return {Socket::IoStatus::wouldBlock, 0};
    if (ready < 0) return {Socket::IoStatus::failed, 0};
    return controlSocket_->receive(buffer, capacity);
}

bool Telnet::waitForControl(std::chrono::microseconds limit)
{
    if (!controlSocket_) return true;
    // Bytes already taken from the connection (and, on TLS, decrypted ones) no longer show on the socket.
    if (!received_.empty() || (controlTls_ && controlTls_->hasBuffered())) return true;
    SocketSet set;
    set.add(*controlSocket_, SocketSet::readable);
    return set.wait(limit) != 0;
}

std::string Telnet::receiveLine()
{
    std::string line;
    lastLineEnd_ = LineEnd::closed;
    if (!controlSocket_) return line;
    lastLineEnd_ = LineEnd::timedOut;
    const auto deadline = Clock::now() + timeoutDuration();
    char chunk[4096];
    for (bool first = true;; first = false) {
        std::size_t used = 0;
        for (; used < received_.size(); ++used) {
            char byte = received_[used];
            if (byte == '\r') continue;
            if (byte == '\n') {
                received_.erase(0, used + 1);
                lastLineEnd_ = LineEnd::complete;
                return line;
            }
            if (line.size() < maxLineLength) line += byte;
        }
        received_.clear();
        // On TLS the first read is always tried: a record may hold what has arrived already.
        if ((!first || !controlTls_) && Clock::now() >= deadline) break;
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        Socket::IoResult got = receiveSome(chunk, sizeof chunk, left < left.zero() ? left.zero() : left);
        if (got.status == Socket::IoStatus::wouldBlock) continue;
        if (got.status != Socket::IoStatus::done || got.count == 0) {
            lastLineEnd_ = LineEnd::closed;
            lost_ = true;
            if (controlTls_) tlsRefusal_ = controlTls_->lateHandshakeFailure();
            break;
        }
        received_.assign(chunk, got.count);
    }
    return line;
}
