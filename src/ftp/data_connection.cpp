#include "ftp/data_connection.hpp"

#include "net/socket_set.hpp"
#include "net/tls_channel.hpp"

DataConnection::DataConnection() : socket_(std::make_unique<Socket>()) {}

DataConnection::DataConnection(Socket socket) : socket_(std::make_unique<Socket>(std::move(socket))) {}

// The socket's own destructor closes it; a channel holds no I/O of its own to undo.
DataConnection::~DataConnection() { tls_.reset(); }

DataConnection::DataConnection(DataConnection&&) noexcept = default;

DataConnection& DataConnection::operator=(DataConnection&& other) noexcept
{
    if (this != &other) {
        tls_.reset();
        socket_ = std::move(other.socket_);
        tls_ = std::move(other.tls_);
    }
    return *this;
}

void DataConnection::secure(TlsContext* context, std::chrono::microseconds limit)
{
    if (context == nullptr) return;
    socket_->setBlocking(false);
    tls_ = std::make_unique<TlsChannel>(*context, *socket_);
    tls_->handshake(limit);
}

bool DataConnection::waitWritable(std::chrono::microseconds limit)
{
    SocketSet set;
    set.abandonOnInterrupt();
    set.add(*socket_, SocketSet::writable);
    return set.wait(limit) > 0;
}

Socket::IoResult DataConnection::send(const void* data, std::size_t length, std::chrono::microseconds limit)
{
    if (!tls_) return socket_->send(data, length);
    // An empty record would tell the server nothing; the end of a file is endSending.
    if (length == 0) return {Socket::IoStatus::done, 0};
    return tls_->send(data, length, limit);
}

Socket::IoResult DataConnection::receive(void* buffer, std::size_t capacity, std::chrono::microseconds limit)
{
    if (tls_) return tls_->receive(buffer, capacity, limit);
    SocketSet set;
    set.abandonOnInterrupt();
    set.add(*socket_, SocketSet::readable);
    if (set.wait(limit) <= 0) return {Socket::IoStatus::wouldBlock, 0};
    Socket::IoResult got = socket_->receive(buffer, capacity);
    // Some stacks end a reset connection like an orderly one and leave the reset to be asked.
    if (got.status == Socket::IoStatus::closed && socket_->pendingError() != 0) broken_ = true;
    return got;
}

void DataConnection::endSending(std::chrono::microseconds limit)
{
    if (tls_)
        tlsClosedCleanly_ = tls_->close(limit) == TlsChannel::Ending::closeNotify;
    else
        socket_->shutdownSend();
}

bool DataConnection::endedCleanly(std::chrono::microseconds limit)
{
    if (tls_) return tlsClosedCleanly_ && !broken_;
    if (!socket_ || !socket_->valid() || broken_) return false;
    auto everyByteTaken = [this] {
        std::optional<std::size_t> unsent = socket_->unsentBytes();
        return socket_->pendingError() == 0 && (!unsent || *unsent == 0);
    };
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char scrap[512];
    for (;;) {
        SocketSet set;
    set.abandonOnInterrupt();
        set.add(*socket_, SocketSet::readable);
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        // A server that keeps the connection open after its reply: only the queue can tell.
        if (left.count() < 0 || set.wait(left) <= 0) return everyByteTaken();
        Socket::IoResult got = socket_->receive(scrap, sizeof scrap);
        if (got.status == Socket::IoStatus::closed) return everyByteTaken();
        if (got.status == Socket::IoStatus::failed) return false;
    }
}

bool DataConnection::peerStillOpen()
{
    if (!socket_ || !socket_->valid()) return false;
    SocketSet set;
    set.abandonOnInterrupt();
    set.add(*socket_, SocketSet::readable);
    if (set.wait(std::chrono::microseconds(0)) <= 0) return true;
    // Only an orderly end counts: some stacks report a half-closed socket ready with an
    // error, and a broken connection leaves the wait to its cap.
    char scrap[512];
    Socket::IoStatus status = socket_->receive(scrap, sizeof scrap).status;
    if (status == Socket::IoStatus::failed) broken_ = true;
    return status != Socket::IoStatus::closed;
}

bool DataConnection::receivedInFull() const { return !broken_ && (!tls_ || tls_->closeNotifyReceived()); }

void DataConnection::abort() noexcept
{
    if (tls_) tls_->abort();
    tls_.reset();
    if (!socket_) return;
    socket_->setAbortiveClose();
    socket_->close();
}

void DataConnection::close() noexcept
{
    tls_.reset();
    if (!socket_) return;
    socket_->shutdownBoth();
    socket_->close();
}
