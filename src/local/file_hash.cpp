#include "local/file_hash.hpp"

#include <algorithm>
#include <vector>

#include "common/exception.hpp"

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

void HashingSource::skip(std::uint64_t bytes)
{
    std::vector<char> buffer(64 * 1024);
    while (bytes > 0) {
        const std::size_t got = read(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(bytes, buffer.size())));
        if (got == 0) throw IOException("the file ended before the part already stored");
        bytes -= got;
    }
}
