#pragma once
// One data connection: the socket and, on a TLS session, the channel over it. The
// transfer code talks to this type only, so clear and TLS connections are moved,
// ended and aborted the same way.
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>

#include "net/socket.hpp"

class TlsChannel;
class TlsContext;

class DataConnection {
public:
    DataConnection();
    explicit DataConnection(Socket socket);
    ~DataConnection();
    DataConnection(DataConnection&&) noexcept;
    DataConnection& operator=(DataConnection&&) noexcept;

    Socket& socket() { return *socket_; }
    bool secured() const { return tls_ != nullptr; }

    // The client handshake over the connected socket; without a context nothing
    // happens. Throws TlsError.
    void secure(TlsContext* context, std::chrono::microseconds limit);

    // True when the socket can take bytes within `limit`.
    bool waitWritable(std::chrono::microseconds limit);
    // Some of the bytes; on TLS the channel may wait up to `limit` for the socket.
    Socket::IoResult send(const void* data, std::size_t length, std::chrono::microseconds limit);
    // Some bytes from the server (a listing), waiting at most `limit`: closed at its end.
    Socket::IoResult receive(void* buffer, std::size_t capacity, std::chrono::microseconds limit);
    // Tells the server the upload is complete. TLS: close_notify, half-close, then the
    // server's own end within `limit`: a server may drop an upload closed any other way,
    // and a reset from unread post-handshake bytes would lose the last records.
    void endSending(std::chrono::microseconds limit);
    // False once the server has ended (or broken) the connection; never waits.
    bool peerStillOpen();
    // After the completion reply of an upload: true when the server ended the connection
    // in order with every byte taken (TLS: its close_notify came), waiting up to `limit`
    // for its end. A reset, a TLS end without close_notify, or bytes the server never
    // acknowledged mean that the file may be cut short whatever the reply said.
    bool endedCleanly(std::chrono::microseconds limit);
    // After receive reported the end: false when the end may have cut the stream short
    // (TLS: it came without close_notify).
    bool receivedInFull() const;
    std::optional<std::size_t> unsentBytes() const { return socket_->unsentBytes(); }

    // A reset, no close_notify: the server must not take a partial upload for a whole one.
    void abort() noexcept;
    void close() noexcept;

private:
    std::unique_ptr<Socket> socket_;  // on the heap: the channel keeps a reference to it
    std::unique_ptr<TlsChannel> tls_;
    // Seen on the way: a receive that failed (a reset is reported once, then looks like an end).
    bool broken_ = false;
    // endSending on TLS: whether the server's close_notify came.
    bool tlsClosedCleanly_ = false;
};
