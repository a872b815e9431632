#pragma once
// The object that owns one upload run: the settings, the scan's lists, and `send`, which
// plans the run and carries the plan out.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "local/file_path.hpp"
#include "run/log.hpp"
#include "run/settings.hpp"

class FTP;
class ProgressObserver;
struct Plan;
struct Session;

class Sender : public RunSettings {
public:
    explicit Sender(RunLog& log);
    virtual ~Sender();

    std::vector<FilePath> files;
    std::vector<FilePath> folders;
    // What the scan saw and left out (full paths), and whether it read every folder.
    std::vector<std::string> leftOut;
    bool scanComplete = true;
    // Told of every store of `send` as it goes; none by default.
    ProgressObserver* progressObserver = nullptr;

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
    // Files of the last `send` that failed.
    std::size_t failedCount() const;
    // What the last `send` moved: the bytes of the stored files, the time it took, and the
    // sessions that stored at least one file.
    std::uint64_t bytesStored() const { return bytesStored_; }
    std::size_t filesSent() const { return filesSent_; }
    std::chrono::milliseconds sendTime() const { return sendTime_; }
    std::size_t sessionsUsed() const { return sessionsUsed_; }
    // An interrupt (Ctrl-C, SIGTERM, ...) ended the last `send` before its end.
    bool interrupted() const { return interrupted_; }
    // Remote entries deleted (in a dry run: that would be).
    std::size_t deletedCount() const;
    // Every deletion asked for was made and the manifest (if any) written.
    bool deployComplete() const;
    // What the last `send` planned and what became of each part (none before it).
    const Plan* lastPlan() const { return plan_.get(); }
    // Spent computing content hashes (--checksum).
    std::chrono::milliseconds hashingTime() const { return hashingTime_; }

    // A local path (with "\") as it is stored below the remote folder (with "/").
    std::string toRemotePath(const std::string& localPath) const;

protected:
    // The client of one session; tests hand in one whose time-out is counted in milliseconds.
    virtual std::unique_ptr<FTP> makeClient();

private:
    RunLines lines_;
    std::size_t stored_ = 0;
    std::size_t unchanged_ = 0;
    std::uint64_t bytesStored_ = 0;
    std::size_t filesSent_ = 0;
    std::size_t sessionsUsed_ = 0;
    bool interrupted_ = false;
    std::chrono::milliseconds sendTime_{0};
    std::unique_ptr<Plan> plan_;
    std::chrono::milliseconds hashingTime_{0};
};
