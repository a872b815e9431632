#pragma once
// Every line a run writes and every fixed pause it takes go through one log: the console and
// the real pause in the program, recorders in tests. The texts of the run's lines are here.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.hpp"
#include "ftp/ftp_reply.hpp"

class RunLog {
public:
    virtual ~RunLog() = default;
    // One whole line: the values are made visible, the format is the program's own. May raise
    // when the output refuses it; the log that raises must remember it for the run's status.
    virtual void line(std::string_view format, const std::vector<FormatValue>& values) = 0;
    // Blocks for the given milliseconds; 0 or below returns at once.
    virtual void pause(std::int32_t milliseconds) = 0;
};

// The lines of a run, each written whole, from whichever session's thread. A line never
// waits for a pause: the pause comes after the line, outside the lock.
class RunLines {
public:
    explicit RunLines(RunLog& log) : log_(log) {}

    // "MESSAGE\tcode: CODE\tmessage: TEXT" with the session's last quiet-check reply.
    void info(const FtpReply& lastReply, const std::string& message);
    // The same, after "error:\t".
    void error(const FtpReply& lastReply, const std::string& message);
    // A failure that ended the run outside every step.
    void sendCatch(const std::string& reason, const FtpReply& lastReply, const std::string& remote);
    void pause(std::int32_t milliseconds) { log_.pause(milliseconds); }

private:
    // A line that cannot be written is dropped.
    void write(std::string_view format, const std::vector<FormatValue>& values) noexcept;
    RunLog& log_;
    std::mutex mutex_;
};

// The messages of the run's lines.
namespace lines {
std::string filesToBackup(std::size_t count);
std::string connecting(const std::string& host);
std::string connected(const std::string& host);
std::string connectTo(const std::string& host);
// The password is never written out; "****" only shows that one was given.
std::string connectFailure(const std::string& host, const std::string& reason, const std::string& user,
                           const std::string& password);
std::string cd(const std::string& remote);
std::string createdRemote(const std::string& remote);
std::string uploading(const std::string& name, std::uint64_t sent, std::uint64_t size);
std::string upload(const std::string& path);
std::string unchanged(const std::string& path);
std::string wouldUpload(const std::string& path);
std::string deleted(const std::string& path);
std::string wouldDelete(const std::string& path);
// The error line of a refused deletion, and of deletion left out altogether.
std::string deletePath(const std::string& path);
std::string deleteSkipped();
// The manifest of --checksum could not be deleted before the first change: nothing was changed.
std::string manifestKept();
// Deletion left out below one remote folder (its links could not be told), and a selected
// name the server holds under one name with another.
std::string deleteSkippedIn(const std::string& folder);
std::string caseClash(const std::string& path);
// Deletion held back by --max-delete: `going` of the `listed` remote files would have gone.
std::string deleteSkipped(std::size_t going, std::size_t listed, const std::string& limit);
// The deploy lock: held by another run (`owner` its owner line, empty when it could not be
// read, then with MKD's answer), taken over, not taken, not removed.
std::string lockHeld(const std::string& lock, const std::string& owner, const FtpReply& made);
std::string lockTakenOver(const std::string& lock, const std::string& owner, const std::string& why);
std::string lockNotTaken(const std::string& owner);
std::string lockNotRemoved(const std::string& lock);
// Same-size files the remote times alone judged unchanged, sent after all.
std::string timesNotTrusted(const std::string& why, std::size_t sent);
std::string retry(const std::string& what, std::uint32_t tried, std::uint32_t retries);
// A store whose completion reply was lost, found whole on the server: not sent again.
std::string foundComplete(const std::string& path);
// The last line of a run; `failed` is counted only where it is not 0.
std::string summary(bool dryRun, std::size_t done, std::size_t unchanged, std::size_t deleted = 0,
                    std::size_t failed = 0);
// 1,065: digits grouped by three.
std::string grouped(std::uint64_t value);
// Bytes in the largest binary unit that keeps a whole part, with `decimals`; plain bytes below 1 KiB.
std::string bytesText(double bytes, int decimals);
// What a run moved, the line before the summary outside the described run.
std::string sent(std::size_t files, std::uint64_t bytes, std::int64_t milliseconds, std::size_t sessions);
std::string uploadFailed(const std::string& local);
}
