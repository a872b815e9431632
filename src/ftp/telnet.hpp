#pragma once
// The control connection: resolve and connect within a time limit, send bytes and
// read single text lines. Knows nothing of FTP; every wait is bounded by `timeout`.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/socket.hpp"

class TlsChannel;
class TlsContext;

class DialogueObserver;

class Telnet {
public:
    // 100-nanosecond units, the unit `timeout` is counted in.
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
    static constexpr std::int64_t defaultTimeout = 50'000'000;  // 5 s

    Telnet();
    virtual ~Telnet();
    Telnet(const Telnet&) = delete;
    Telnet& operator=(const Telnet&) = delete;

    std::int64_t timeout() const { return timeout_; }
    void setTimeout(std::int64_t ticks100ns) { timeout_ = ticks100ns; }
    bool connected() const { return controlSocket_ != nullptr; }
    // From the next connect on, the control connection sends TCP keep-alive probes after a
    // minute without traffic and every 15 s after that: a NAT or firewall that drops quiet
    // connections then keeps it while a long transfer holds the data connection.
    void setKeepAlive(bool on) { keepAlive_ = on; }
    static constexpr std::chrono::seconds keepAliveIdle{60};
    static constexpr std::chrono::seconds keepAliveInterval{15};

    // Reports a failure found on the client side; never returns.
    [[noreturn]] virtual void raiseClientError(const std::string& message) = 0;
    // The text, then CR LF, as two sends.
    virtual void sendLine(const std::string& text);
    // Sends every byte within `timeout` or fails with "CLIENT: Timeout when sending command".
    virtual void sendBytes(std::string_view bytes);
    // One line without its CR and LF bytes; never throws. Returns what arrived
    // before the line end, the time limit, or the end of the connection.
    virtual std::string receiveLine();
    // True when a reply (or the end of the connection) is waiting to be read, within `limit`.
    virtual bool waitForControl(std::chrono::microseconds limit);
    // Resolves `host` and connects to the first address that accepts within `timeout`.
    virtual Socket& openControlSocket(const std::string& host, std::uint16_t port);
    // From here on every byte of the control connection goes through TLS (once the server
    // has agreed to AUTH TLS); the context stays for the data connections until the
    // control connection is closed. Throws TlsError; the connection is then of no use.
    void startTls(std::unique_ptr<TlsContext> context);
    bool secured() const { return controlTls_ != nullptr; }

    // Every command and reply line of this connection is reported to `observer`.
    void setObserver(std::shared_ptr<DialogueObserver> observer) { observer_ = std::move(observer); }
    // A line for the observer; nothing without one.
    void traceLine(std::string_view text);

    // Longest line kept by receiveLine; the rest of a longer line is read and dropped.
    static constexpr std::size_t maxLineLength = 64 * 1024;

    // Why the last receiveLine returned.
    enum class LineEnd { complete, timedOut, closed };
    LineEnd lastLineEnd() const { return lastLineEnd_; }
    // The control connection was ended by the server or broke: nothing more can go over it.
    bool lost() const { return lost_; }
    // Why a TLS server ended the control connection just after the handshake (a TLS 1.3
    // server that insists on a client certificate says so only then); empty otherwise.
    const std::string& tlsRefusal() const { return tlsRefusal_; }

protected:
    Socket* controlSocket() const { return controlSocket_.get(); }
    // Shuts the control socket down, closes it and forgets it; never fails.
    void closeControlSocket() noexcept;
    // close_notify, then the server's end within `timeout`: a polite end after QUIT.
    void endTls() noexcept;
    // The session's TLS context; null in clear.
    TlsContext* tlsContext() const { return tlsContext_.get(); }
    // The current `timeout` as a duration (0 when negative).
    Ticks timeoutDuration() const;
    // The wait handed to a single socket wait: the whole `timeout`, in microseconds.
    std::chrono::microseconds waitLimit() const;

private:
    // Some bytes to or from the server within `limit`, through TLS once it is on.
    Socket::IoResult sendSome(const char* bytes, std::size_t length, std::chrono::microseconds limit);
    Socket::IoResult receiveSome(char* buffer, std::size_t capacity, std::chrono::microseconds limit);

    // Declared first, so it goes last: the channels refer to it.
    std::unique_ptr<TlsContext> tlsContext_;
    std::unique_ptr<Socket> controlSocket_;
    // After the socket, so it goes first: it refers to the socket.
    std::unique_ptr<TlsChannel> controlTls_;
    // Bytes taken from the connection beyond the last line returned.
    std::string received_;
    std::int64_t timeout_ = defaultTimeout;
    LineEnd lastLineEnd_ = LineEnd::complete;
    bool lost_ = false;
    bool keepAlive_ = false;
    std::string tlsRefusal_;
    std::shared_ptr<DialogueObserver> observer_;
};
