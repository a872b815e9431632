#pragma once
// The content hash a remote manifest records for a local file.
#include <cstdint>
#include <string>

#include "common/sha256.hpp"
#include "local/byte_source.hpp"

// SHA-256 of the file at `nativePath` ("\" separators), as 64 lowercase hex digits.
// Raises IOException as LocalFile does when the file cannot be opened or read.
std::string hashLocalFile(const std::string& nativePath);

// Hashes what passes through it: the SHA-256 of the bytes read from `inner`, which for an
// upload are the bytes sent, whatever the file holds by the time the run ends.
class HashingSource : public ByteSource {
public:
    explicit HashingSource(ByteSource& inner) : inner_(inner) {}
    std::size_t read(char* buffer, std::size_t capacity) override;
    // Reads and hashes the next `bytes` without passing them on; raises IOException when the
    // stream ends before.
    void skip(std::uint64_t bytes);
    // 64 lowercase hex digits of everything read so far.
    std::string hexDigest() { return hash_.hexDigest(); }

private:
    ByteSource& inner_;
    Sha256 hash_;
};
