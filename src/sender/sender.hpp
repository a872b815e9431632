#pragma once
// The object that owns one upload run.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scan/file_path.hpp"

class FTP;

class Sender {
public:
    virtual ~Sender() = default;

    std::string username;
    std::string password;
    std::string host;
    std::uint32_t port = 21;
    std::string remote;
    std::string local;
    bool passive = true;
    std::vector<FilePath> files;
    std::vector<FilePath> folders;

    // Both write one line with the last quiet check's code and message, then pause.
    virtual bool logError(const std::string& message, std::int32_t pauseMilliseconds);
    virtual bool logInfo(const std::string& message, std::int32_t pauseMilliseconds);
    // The upload run: true when it got to the end of the file list.
    virtual bool send();

    // Files of the last `send` that were stored with no error line written for them.
    std::size_t storedCount() const { return stored_; }

    // A local path (with "\") as it is stored below the remote folder (with "/").
    std::string toRemotePath(const std::string& localPath) const;

protected:
    // The client of one run; tests hand in one whose time-out is counted in milliseconds.
    virtual std::unique_ptr<FTP> makeClient();

private:
    bool runSession(FTP& client);
    bool quietCheck(FTP& client);
    void uploadFiles(FTP& client);
    void showProgress(std::uint64_t bytesSent);
    std::string maskedPassword() const;

    std::size_t stored_ = 0;
};

// The run's shared state (last quiet-check reply, file being sent) back to its
// start-of-process values (tests run several runs in one process).
void resetSenderState();
