#pragma once
// The object that owns one upload run.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scan/file_path.hpp"

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

    // Files of the last `send` for which no error line was written.
    std::size_t storedCount() const { return stored_; }

private:
    std::size_t stored_ = 0;
};
