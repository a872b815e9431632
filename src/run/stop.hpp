#pragma once
// When a run gives up the files it has not tried yet: every session is lost, the server
// has refused stores for want of space twice in a row, or the run was interrupted (Ctrl-C,
// SIGTERM, ...). Only runs other than the described one stop early; the described one tries
// every file.
#include <cstddef>
#include <mutex>
#include <string>

#include "common/interrupt.hpp"
#include "ftp/ftp_reply.hpp"

class RunStop {
public:
    // What tells whether an interrupt came and which (null: none); tests hand in their own.
    using InterruptProbe = const char* (*)();

    explicit RunStop(bool enabled, InterruptProbe interrupted = interrupt::received)
        : enabled_(enabled), interrupted_(interrupted)
    {
    }

    // After a file's last try, from any session's thread.
    void fileDone(bool stored, const FtpReply& failure);
    // A session ended, lost, after `failure` (empty code: found lost between files).
    void sessionLost(const FtpReply& failure);
    // No session takes another file.
    bool stopped() const;
    // Why, for the line and the report.
    std::string reason() const;
    // An interrupt came: nothing new is started, what is under way is abandoned.
    bool interrupted() const { return enabled_ && interrupted_() != nullptr; }

private:
    const bool enabled_;
    const InterruptProbe interrupted_;
    mutable std::mutex mutex_;
    bool stopped_ = false;
    std::size_t spaceRefusals_ = 0;
    std::string reason_;
    std::string lostReason_;
};

namespace lines {
std::string runStopped(const std::string& reason, std::size_t notSent);
}
