#pragma once
// A scripted FTP server for component tests. It listens on 127.0.0.1 on a free
// port and plays its script, step by step, in a thread of its own: it sends raw
// bytes, answers command lines, offers a passive data listener and records what
// arrives there. Every command line is recorded with its exact bytes (CR LF included).
//
// Queue the whole script, call start(), then drive the client. After the script the
// peer goes on recording command lines until the client closes the connection.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.hpp"

class FtpPeer {
public:
    enum class DataMode {
        read,        // read everything until the client ends the connection
        stall,       // accept, never read; notice when the client gives up
        closeAtOnce  // accept and close at once
    };

    struct DataConnection {
        std::string bytes;
        bool endedByClient = false;  // orderly end of stream
        bool reset = false;          // the client aborted (or the connection broke)
    };

    FtpPeer();
    ~FtpPeer();
    FtpPeer(const FtpPeer&) = delete;
    FtpPeer& operator=(const FtpPeer&) = delete;

    // Script steps, played in the order they are queued.
    FtpPeer& send(std::string bytes);
    // Waits for one command line, then sends `line` + CR LF.
    FtpPeer& reply(const std::string& line);
    // Waits for one command line and answers nothing.
    FtpPeer& command();
    // Waits for one command line, opens a data listener and answers with `prefix`,
    // the listener's "h1,h2,h3,h4,p1,p2" and `suffix`.
    FtpPeer& pasv(DataMode mode = DataMode::read, const std::string& prefix = "227 Entering Passive Mode (",
                  const std::string& suffix = ")");
    // Accepts the data connection the last pasv step offered and handles it in its mode
    // until the client ends it; the next step runs after that.
    FtpPeer& data();
    // Closes the control connection from the server side.
    FtpPeer& closeControl();

    // Starts playing; returns the control port.
    std::uint16_t start();
    std::uint16_t port() const { return port_; }

    // Waits until every step has been played (true) or `limit` has passed.
    bool waitForScript(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits until the client has closed the control connection.
    bool waitForClientClose(std::chrono::milliseconds limit = std::chrono::seconds(10));

    std::vector<std::string> commands() const;
    std::vector<DataConnection> dataConnections() const;
    bool clientClosed() const;
    // Empty while the script went as planned; otherwise what went wrong.
    std::string problem() const;

private:
    struct Step {
        enum Kind { sendBytes, answer, pasvListen, dataConnection, closeConnection };
        Step(Kind kind, std::string text = {}, std::string suffix = {}, DataMode mode = DataMode::read)
            : kind(kind), text(std::move(text)), suffix(std::move(suffix)), mode(mode)
        {
        }
        Kind kind;
        std::string text;
        std::string suffix;
        DataMode mode;
    };

    void run();
    bool play(const Step& step);
    bool acceptControl();
    bool readCommand();
    bool waitReadable(const Socket& socket);
    bool sendAll(Socket& socket, const std::string& bytes);
    void handleData(DataMode mode);
    void fail(const std::string& what);

    Socket listener_;
    Socket control_;
    Socket dataListener_;
    DataMode dataMode_ = DataMode::read;
    std::uint16_t port_ = 0;
    std::string pending_;  // received bytes not yet split into lines
    std::deque<Step> steps_;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    bool scriptDone_ = false;
    bool clientClosed_ = false;
    std::vector<std::string> commands_;
    std::vector<DataConnection> data_;
    std::string problem_;
};
