#include "run/resume.hpp"

#include <optional>

#include "ftp/ftp.hpp"
#include "local/file_path.hpp"

namespace {
bool unchanged(const FilePath& source, const BrokenStore& store)
{
    return source.fileSize() == store.size && source.modifiedTime() == store.modified;
}
}

std::uint64_t resumeOffset(FTP& client, const std::string& target, const FilePath& source, BrokenStore& store)
{
    if (!store.broken || !unchanged(source, store)) return 0;
    std::optional<std::uint64_t> held;
    try {
        // Servers tell sizes in binary only; a new session has not said TYPE I yet.
        client.useBinary();
        held = client.remoteSize(target);
    } catch (const FTPException&) {
        if (client.outOfStep()) throw;
    }
    store.broken = false;
    // As much as the whole file may be a copy whose end never reached the server's disk;
    // sending it again is the safe way.
    if (!held || *held == 0 || *held >= store.size) return 0;
    return *held;
}

void requireUnchanged(const FilePath& source, const BrokenStore& store)
{
    if (!unchanged(source, store))
        throw FTPException("420", "CLIENT: " + source.path() + " changed since its first part was sent");
}
