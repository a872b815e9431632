#pragma once
// When a run gives up the files it has not tried yet: every session is lost, or the server
// has refused stores for want of space twice in a row. Only runs other than the described
// one stop early; the described one tries every file.
#include <cstddef>
#include <mutex>
#include <string>

#include "ftp/ftp_reply.hpp"

class RunStop {
public:
    explicit RunStop(bool enabled) : enabled_(enabled) {}

    // After a file's last try, from any session's thread.
    void fileDone(bool stored, const FtpReply& failure);
    // A session ended, lost, after `failure` (empty code: found lost between files).
    void sessionLost(const FtpReply& failure);
    // No session takes another file.
    bool stopped() const;
    // Why, for the line and the report.
    std::string reason() const;

private:
    const bool enabled_;
    mutable std::mutex mutex_;
    bool stopped_ = false;
    std::size_t spaceRefusals_ = 0;
    std::string reason_;
    std::string lostReason_;
};

namespace lines {
std::string runStopped(const std::string& reason, std::size_t notSent);
}
