#include "support/ftp_peer.hpp"

#include "net/socket_set.hpp"

namespace {
// How often blocking waits look at the stop flag.
constexpr std::chrono::milliseconds slice(10);
// Small enough that a client fills the path quickly when the peer stops reading.
constexpr int stallReceiveBuffer = 4096;
}

FtpPeer::FtpPeer()
{
    listener_ = Socket::create();
    listener_.bindAndListen(IpAddress::loopback(0), 4);
    port_ = listener_.localAddress().port();
}

FtpPeer::~FtpPeer()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    if (thread_.joinable()) thread_.join();
}

FtpPeer& FtpPeer::send(std::string bytes)
{
    steps_.emplace_back(Step{Step::sendBytes, std::move(bytes)});
    return *this;
}

FtpPeer& FtpPeer::reply(const std::string& line)
{
    steps_.emplace_back(Step{Step::answer, line + "\r\n"});
    return *this;
}

FtpPeer& FtpPeer::command()
{
    steps_.emplace_back(Step{Step::answer, ""});
    return *this;
}

FtpPeer& FtpPeer::pasv(DataMode mode, const std::string& prefix, const std::string& suffix)
{
    steps_.emplace_back(Step{Step::pasvListen, prefix, suffix, mode});
    return *this;
}

FtpPeer& FtpPeer::data()
{
    steps_.emplace_back(Step{Step::dataConnection});
    return *this;
}

FtpPeer& FtpPeer::closeControl()
{
    steps_.emplace_back(Step{Step::closeConnection});
    return *this;
}

std::uint16_t FtpPeer::start()
{
    thread_ = std::thread([this] { run(); });
    return port_;
}

bool FtpPeer::waitForScript(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return scriptDone_; });
}

bool FtpPeer::waitForClientClose(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return clientClosed_; });
}

std::vector<std::string> FtpPeer::commands() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<FtpPeer::DataConnection> FtpPeer::dataConnections() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
}

bool FtpPeer::clientClosed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return clientClosed_;
}

std::string FtpPeer::problem() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return problem_;
}

void FtpPeer::fail(const std::string& what)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (problem_.empty()) problem_ = what;
}

void FtpPeer::run()
{
    bool ok = true;
    while (ok && !steps_.empty()) {
        Step step = steps_.front();
        steps_.pop_front();
        ok = play(step);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scriptDone_ = true;
    }
    changed_.notify_all();
    // Past the script: keep recording whatever the client still says (QUIT, say).
    if (!ok || !acceptControl()) return;
    while (control_.valid() && readCommand()) {
    }
}

bool FtpPeer::waitReadable(const Socket& socket)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return false;
        }
        SocketSet set;
        set.add(socket, SocketSet::readable);
        int ready = set.wait(slice);
        if (ready < 0) return false;
        if (ready > 0) return true;
    }
}

bool FtpPeer::acceptControl()
{
    if (control_.valid()) return true;
    if (!waitReadable(listener_)) return false;
    control_ = listener_.accept();
    return true;
}

bool FtpPeer::sendAll(Socket& socket, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        Socket::IoResult result = socket.send(bytes.data() + sent, bytes.size() - sent);
        if (result.status != Socket::IoStatus::done) return false;
        sent += result.count;
    }
    return true;
}

bool FtpPeer::readCommand()
{
    for (;;) {
        std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_.push_back(pending_.substr(0, end + 1));
            }
            pending_.erase(0, end + 1);
            return true;
        }
        if (!waitReadable(control_)) return false;
        char buffer[4096];
        Socket::IoResult result = control_.receive(buffer, sizeof buffer);
        if (result.status != Socket::IoStatus::done) {
            control_.close();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                clientClosed_ = true;
            }
            changed_.notify_all();
            return false;
        }
        pending_.append(buffer, result.count);
    }
}

bool FtpPeer::play(const Step& step)
{
    if (!acceptControl()) return false;
    switch (step.kind) {
    case Step::sendBytes:
        if (!sendAll(control_, step.text)) fail("could not send");
        return true;
    case Step::answer:
        if (!readCommand()) {
            fail("no command where one was expected");
            return false;
        }
        if (!step.text.empty() && !sendAll(control_, step.text)) fail("could not send");
        return true;
    case Step::pasvListen: {
        if (!readCommand()) {
            fail("no PASV command");
            return false;
        }
        dataListener_ = Socket::create();
        dataMode_ = step.mode;
        if (step.mode == DataMode::stall) dataListener_.setReceiveBufferSize(stallReceiveBuffer);
        dataListener_.bindAndListen(IpAddress::loopback(0), 1);
        std::uint16_t port = dataListener_.localAddress().port();
        std::string text = step.text + "127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF) +
                           step.suffix + "\r\n";
        if (!sendAll(control_, text)) fail("could not send");
        return true;
    }
    case Step::dataConnection:
        handleData(dataMode_);
        return true;
    case Step::closeConnection:
        control_.shutdownBoth();
        control_.close();
        return true;
    }
    return false;
}

void FtpPeer::handleData(DataMode mode)
{
    if (!dataListener_.valid() || !waitReadable(dataListener_)) {
        fail("no data connection");
        return;
    }
    Socket data = dataListener_.accept();
    dataListener_.close();
    DataConnection record;
    if (mode == DataMode::closeAtOnce) {
        data.close();
        record.reset = true;
    } else if (mode == DataMode::stall) {
        // Never read. A byte sent now and then shows when the client has dropped the
        // connection: the send fails once the client's reset has arrived.
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_) break;
            }
            if (data.send("x", 1).status != Socket::IoStatus::done) {
                record.reset = true;
                break;
            }
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_for(lock, slice, [this] { return stop_; });
        }
    } else {
        while (waitReadable(data)) {
            char buffer[65536];
            Socket::IoResult result = data.receive(buffer, sizeof buffer);
            if (result.status == Socket::IoStatus::done) {
                record.bytes.append(buffer, result.count);
                continue;
            }
            record.endedByClient = result.status == Socket::IoStatus::closed;
            record.reset = !record.endedByClient;
            break;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    data_.push_back(std::move(record));
}
