#include "local/file_hash.hpp"

#include <vector>

#include "common/sha256.hpp"
#include "local/local_file.hpp"

std::string hashLocalFile(const std::string& nativePath)
{
    LocalFile file(nativePath);
    Sha256 hash;
    // 64 KiB is large for a stack frame; keep it off the stack.
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const std::size_t got = file.read(buffer.data(), buffer.size());
        if (got == 0) break;
        hash.update(buffer.data(), got);
    }
    return hash.hexDigest();
}

std::size_t HashingSource::read(char* buffer, std::size_t capacity)
{
    const std::size_t got = inner_.read(buffer, capacity);
    hash_.update(buffer, got);
    return got;
}
