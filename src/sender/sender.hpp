#pragma once
// The object that owns one upload run.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftp_reply.hpp"
#include "local/file_path.hpp"

class FTP;
class Trace;

// --tls and its checks; the host is the run's own.
struct TlsOptions {
    bool enabled = false;
    std::string caFile;       // further PEM roots; empty: the system's only
    std::string fingerprint;  // 64 lowercase hex digits; empty: chain and name checks
};

// One control connection of a run and what its lines carry. A run has one; with
// --connections=N it has up to N, each in a thread of its own.
struct Session {
    int number = 1;
    std::unique_ptr<FTP> client;
    // The reply of this session's last quiet check: every line it writes carries it.
    FtpReply lastReply;
    FilePath currentFile;
    std::uint64_t currentFileSize = 0;
    // Unpaced progress: when the last line was written, and whether the final one was.
    std::chrono::steady_clock::time_point lastProgressLine;
    bool finalProgressShown = false;

    Session();
    ~Session();
    Session(Session&&) noexcept;
    Session& operator=(Session&&) noexcept;
    // Connected, and the connection has not been lost since.
    bool usable() const;
};

class Sender {
public:
    static constexpr std::uint32_t maxConnections = 16;

    virtual ~Sender() = default;

    std::string username;
    std::string password;
    std::string host;
    std::uint32_t port = 21;
    std::string remote;
    std::string local;
    bool passive = true;
    // false: no fixed pauses, no waiting for late replies, fewer round trips per file.
    bool pacing = true;
    std::uint32_t connections = 1;
    TlsOptions tls;
    // Leave out files whose remote copy has the same size and is not older.
    bool skipUnchanged = false;
    // Further tries of a failure that may pass (a lost connection, a 4xx reply).
    std::uint32_t retries = 0;
    static constexpr std::uint32_t maxRetries = 100;
    // Only say what would be stored.
    bool dryRun = false;
    // Where every session's dialogue is appended (--trace); none without.
    std::shared_ptr<Trace> trace;
    std::vector<FilePath> files;
    std::vector<FilePath> folders;

    // Both write one whole line with the session's last quiet-check code and message,
    // then pause (only when pacing).
    virtual bool logError(const Session& session, const std::string& message, std::int32_t pauseMilliseconds);
    virtual bool logInfo(const Session& session, const std::string& message, std::int32_t pauseMilliseconds);
    // The upload run: true when it got to the end of the file list.
    virtual bool send();

    // Files of the last `send` that were stored with no error line written for them.
    std::size_t storedCount() const { return stored_; }
    // Files left out because their remote copy is up to date (stored or not in a dry run).
    std::size_t unchangedCount() const { return unchanged_; }

    // A local path (with "\") as it is stored below the remote folder (with "/").
    std::string toRemotePath(const std::string& localPath) const;

protected:
    // The client of one session; tests hand in one whose time-out is counted in milliseconds.
    virtual std::unique_ptr<FTP> makeClient();

private:
    bool runSession(Session& first);
    // Connects, logs in and enters the remote folder; `announce` writes the step lines.
    // A try that may be made again raises what may pass instead of writing its line;
    // "connecting..." is written once, before the first try.
    bool openSession(Session& session, bool announce, bool raiseWhatMayPass = false, bool connectingLine = true);
    // A new client for `session`, set up as every client of the run.
    void newClient(Session& session);
    // Replaces a lost session's connection; false when that failed too.
    bool reopenSession(Session& session);
    bool connectWithRetries(Session& session, bool announce = true);
    void planUnchanged(Session& session);
    // Fills in which of one remote folder's files are up to date; false when that failed.
    bool lookUpFolder(Session& session, const std::string& folder, const std::vector<std::size_t>& indices,
                      bool listings);
    // A session found lost between steps: "retry connect to ..." lines, waits and new
    // connections, up to `retries`; false when none came up.
    bool replaceLostSession(Session& session);
    bool dryRunFiles(const Session& session);
    void openFurtherSession(Session& session);
    void makeFolders(Session& session);
    void storeFiles(Session& session);
    // True when the file was stored or left out as unchanged.
    bool storeOne(Session& session, std::size_t index);
    bool quietCheck(Session& session);
    void showProgress(Session& session, std::uint64_t bytesSent);
    std::optional<std::size_t> takeFile();
    std::int32_t paced(std::int32_t milliseconds) const { return pacing ? milliseconds : 0; }
    // The line of a failed connect or login.
    std::string connectFailure(const std::exception& failure) const;

    std::atomic<std::size_t> stored_{0};
    std::atomic<std::size_t> unchanged_{0};
    std::vector<bool> upToDate_;
    std::atomic<std::size_t> nextFile_{0};
    // Held only while a line is written, never across a pause.
    std::mutex lines_;
};
