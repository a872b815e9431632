#pragma once
// TLS for explicit FTPS: a context per FTP session and a channel per connection
// (control or data). OpenSSL on POSIX, SChannel on Windows. The certificate is
// always checked; the only alternative to the chain and name checks is a pin on
// the server certificate's SHA-256 fingerprint.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/net_exception.hpp"
#include "net/socket.hpp"

struct TlsSettings {
    // --host as given: checked against the certificate's DNS names, or its IP
    // addresses when it is an IPv4 literal.
    std::string host;
    // Extra PEM roots to trust beside the system's; empty: none.
    std::string caFile;
    // 64 lowercase hex digits; non-empty: trust exactly the certificate with this
    // SHA-256 (of its DER form) instead of the chain and name checks.
    std::string fingerprint;
};

// The message is what the operator reads; it never holds a secret.
class TlsError : public SocketException {
public:
    using SocketException::SocketException;
    std::string kind() const override { return "TlsError"; }
};

// One per FTP session: the settings plus the newest session ticket/ID seen on any
// of its connections, offered to each new channel so data connections resume the
// control connection's session (servers may insist on it).
class TlsContext {
public:
    // Throws TlsError, e.g. when the CA file cannot be read (the message names it).
    static std::unique_ptr<TlsContext> create(const TlsSettings& settings);
    virtual ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    const TlsSettings& settings() const { return settings_; }

protected:
    explicit TlsContext(TlsSettings settings) : settings_(std::move(settings)) {}

private:
    TlsSettings settings_;
};

// One per socket. The socket is connected and non-blocking; the channel does not
// own it and never closes it. Every wait is bounded by the limit handed in.
class TlsChannel {
public:
    TlsChannel(TlsContext& context, Socket& socket);
    ~TlsChannel();  // releases, no network I/O
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Full client handshake including the certificate checks, within `limit`
    // overall. Throws TlsError.
    void handshake(std::chrono::microseconds limit);
    // Sends some bytes (at least one unless the time runs out): done with count,
    // wouldBlock when `limit` passed, failed/closed on errors. After wouldBlock,
    // offer the same bytes again or give the channel up.
    Socket::IoResult send(const void* data, std::size_t length, std::chrono::microseconds limit);
    // Decrypted bytes: done with count > 0, wouldBlock when `limit` passed, closed on
    // the peer's close_notify or end of stream (closeNotifyReceived tells which),
    // failed on errors. Post-handshake messages (TLS 1.3 session tickets) are
    // handled on the way.
    Socket::IoResult receive(void* buffer, std::size_t capacity, std::chrono::microseconds limit);
    // Bytes held inside the channel that a wait on the socket would not show.
    bool hasBuffered() const;

    // How the peer's side of the connection ended, as far as the channel saw it.
    enum class Ending {
        closeNotify,  // the peer's close_notify: it ended the TLS stream on purpose
        endOfStream,  // the TCP stream ended without one: what came before may be cut short
        failed,       // reset, error, time limit, or the channel was given up already
    };
    // Orderly end: close_notify, shut the socket's sending side, then read until the
    // peer's close_notify or end of stream, within `limit`. Only closeNotify shows
    // that the peer took the whole stream; some servers keep an upload only then.
    Ending close(std::chrono::microseconds limit) noexcept;
    // The peer's close_notify has arrived (a listing that ends without it is cut short).
    bool closeNotifyReceived() const;
    // A TLS 1.3 server judges the client's certificate only after the client has
    // finished its handshake, so a refusal arrives on the first receive instead.
    // When send, receive or close failed for such a refusal: the TlsError message
    // handshake() would have thrown. Empty otherwise.
    std::string lateHandshakeFailure() const;
    // Gives the channel up without close_notify (after a failed transfer).
    void abort() noexcept;

    bool sessionReused() const;
    std::string protocolVersion() const;  // "TLSv1.3", "TLSv1.2"; empty before the handshake

    // Platform state; public only so the platform's callbacks can reach it.
    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Hex with or without ':' separators, any case -> 64 lowercase hex digits;
// nullopt unless it is exactly 64 hex digits.
std::optional<std::string> normaliseFingerprint(std::string_view text);

// Shared by the platform implementations.
namespace tls {
using Sha256 = std::array<std::uint8_t, 32>;
// "AB:CD:...:EF", the form operators compare with other tools.
std::string displayFingerprint(const Sha256& digest);
// 64 lowercase hex digits, the form TlsSettings::fingerprint holds.
std::string hexFingerprint(const Sha256& digest);

enum class Refusal { untrustedRoot, expired, nameMismatch, fingerprintMismatch };
std::string refusalMessage(Refusal reason, const std::string& host, const Sha256& digest);
std::string handshakeFailure(const std::string& reason);
// The handshake failure of a server that insists on a client certificate.
std::string certificateDemanded();

// Host name check against the certificate's names, for platforms that cannot be
// trusted to do it: DNS names (a leading "*." stands for one label) for a host
// name, IP addresses only for an IPv4 literal; the common name counts only when
// there is no DNS name.
struct CertificateNames {
    std::vector<std::string> dnsNames;
    std::vector<std::vector<std::uint8_t>> ipAddresses;
    std::string commonName;
};
bool hostMatches(const CertificateNames& names, const std::string& host);

// One overall time limit shared by the waits of one operation. The first wait
// always polls the socket once, even with no time left, so a limit of zero still
// takes what is already there.
class Deadline {
public:
    explicit Deadline(std::chrono::microseconds limit);
    // Waits until `socket` is readable or writable (SocketSet events); false when
    // the time ran out or the wait failed.
    bool wait(const Socket& socket, unsigned events);
    bool passed() const { return std::chrono::steady_clock::now() >= end_; }

private:
    std::chrono::steady_clock::time_point end_;
    bool waited_ = false;
};
}
