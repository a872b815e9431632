#pragma once
// A store whose transfer broke goes on, on its next try, from what the server holds of it.
// The retry rule decides that there is a next try; this decides where it begins.
#include <cstdint>
#include <string>

class FTP;
class FilePath;

// What the tries of one file know of its last store that broke.
struct BrokenStore {
    // The last try's store was accepted and broke, and the retry rule tries it again.
    bool broken = false;
    // The local file as the try that read its first byte found it.
    std::uint64_t size = 0;
    std::int64_t modified = 0;
};

// The offset the next try sends from, or 0 for the whole file: the size the server holds of
// `target` where the last try's store broke, the local file is as it was when its first byte
// was read, and that size is a true part of it (more than 0, less than the whole). A SIZE that
// fails means the whole file too, unless the session is left out of step (that raises).
std::uint64_t resumeOffset(FTP& client, const std::string& target, const FilePath& source, BrokenStore& store);
// After a resumed store: the local file has not changed since its first byte was read, or
// FTPException "420" (a failure that may pass: the next try sends the whole file).
void requireUnchanged(const FilePath& source, const BrokenStore& store);
