#pragma once
// One control connection of a run and what its lines carry. A run has one; with
// --connections=N it has up to N, each in a thread of its own.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "ftp/ftp_reply.hpp"
#include "local/file_path.hpp"

class FTP;

struct Session {
    int number = 1;
    std::unique_ptr<FTP> client;
    // The reply of this session's last quiet check: every line it writes carries it.
    FtpReply lastReply;
    // Why the last log-in failed, as its error line says (for the report).
    std::string connectFailure;
    FilePath currentFile;
    std::uint64_t currentFileSize = 0;
    // Its modification time when its store began (read where a later step needs it).
    std::int64_t currentFileModified = 0;
    // Unpaced progress: when the last line was written, and whether the final one was.
    std::chrono::steady_clock::time_point lastProgressLine;
    bool finalProgressShown = false;
    // Stores: whether this session took any, and the reply that failed its last one.
    bool storedAny = false;
    FtpReply lastFailure;

    Session();
    ~Session();
    Session(Session&&) noexcept;
    Session& operator=(Session&&) noexcept;
    // Connected, and the connection has not been lost since.
    bool usable() const;
};
