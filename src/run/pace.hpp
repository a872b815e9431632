#pragma once
// How a run goes at it, chosen once per run. Paced: the described pauses after every line,
// a quiet check that waits a whole time-out for a late reply, and a progress line per
// chunk. Unpaced: no pauses, quiet checks that look only at what has arrived, progress at
// most twice a second, and stores with as few round trips as the server allows.
#include <cstdint>
#include <memory>
#include <string>

#include "ftp/ftp_connection.hpp"

class FTP;
struct Session;

class Pace {
public:
    virtual ~Pace() = default;
    static std::unique_ptr<Pace> create(bool pacing);

    // The pause a line of the described run takes, as this pace takes it.
    virtual std::int32_t pauseAfter(std::int32_t described) const = 0;
    // A new client, before it connects.
    virtual void setUp(FTP& client) const = 0;
    // What the server sent beyond the last operation's own reply; "500" and no text for nothing.
    virtual FtpReply quietCheck(FTP& client) const = 0;
    // Whether this progress line of the session's current file is written.
    virtual bool showProgress(Session& session, std::uint64_t bytesSent) const = 0;
    // `sentHash`, where given, gets the SHA-256 of the bytes the store sent.
    virtual void store(FTP& client, const std::string& remotePath, const std::string& localPath,
                       const ProgressCallback& progress, std::string* sentHash) const = 0;
};
