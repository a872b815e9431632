#pragma once
// The object that owns one upload run: the settings, the scan's lists, and `send`, which
// plans the run and carries the plan out.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "local/file_path.hpp"
#include "run/log.hpp"
#include "run/settings.hpp"

class FTP;
struct Session;

class Sender : public RunSettings {
public:
    explicit Sender(RunLog& log);
    virtual ~Sender();

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
    RunLines lines_;
    std::size_t stored_ = 0;
    std::size_t unchanged_ = 0;
};
