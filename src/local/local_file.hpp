#pragma once
// A local file opened for an upload: read-only, and on Windows with no sharing, so
// nobody changes it while it is sent. Only regular files are accepted.
// Failures are IOException "<path> :: <reason>", with the path as the caller gave it.
#include <cstdint>
#include <string>

#include "local/byte_source.hpp"

class LocalFile : public ByteSource {
public:
    // `path` is in native form ("\" separators).
    explicit LocalFile(const std::string& path);
    ~LocalFile() override;
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    std::uint64_t size() const;
    void seek(std::uint64_t offset);
    std::size_t read(char* buffer, std::size_t capacity) override;
    void close() noexcept;

private:
    [[noreturn]] void fail(const std::string& reason) const;

    std::string path_;
    std::intptr_t handle_ = -1;
};
