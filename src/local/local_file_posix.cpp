#include "local/local_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/exception.hpp"
#include "common/posix_path.hpp"
#include "common/system_error.hpp"

namespace {
int fd(std::intptr_t handle) { return static_cast<int>(handle); }
}

LocalFile::LocalFile(const std::string& path) : path_(path)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    int handle;
    do {
        handle = ::open(sys::posixPath(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (handle < 0 && errno == EINTR);
    if (handle < 0) fail(sys::lastErrorText());
    handle_ = handle;
    struct stat info{};
    if (fstat(handle, &info) != 0) {
        int error = errno;
        close();
        fail(sys::errorText(error));
    }
    if (!S_ISREG(info.st_mode)) {
        close();
        fail("not a regular file");
    }
    int flags = fcntl(handle, F_GETFL, 0);
    if (flags >= 0) fcntl(handle, F_SETFL, flags & ~O_NONBLOCK);
}

LocalFile::~LocalFile() { close(); }

void LocalFile::fail(const std::string& reason) const { throw IOException(path_ + " :: " + reason); }

std::uint64_t LocalFile::size() const
{
    struct stat info{};
    if (fstat(fd(handle_), &info) != 0) fail(sys::lastErrorText());
    return static_cast<std::uint64_t>(info.st_size);
}

void LocalFile::seek(std::uint64_t offset)
{
    if (lseek(fd(handle_), static_cast<off_t>(offset), SEEK_SET) < 0) fail(sys::lastErrorText());
}

std::size_t LocalFile::read(char* buffer, std::size_t capacity)
{
    ssize_t got;
    do {
        got = ::read(fd(handle_), buffer, capacity);
    } while (got < 0 && errno == EINTR);
    if (got < 0) fail(sys::lastErrorText());
    return static_cast<std::size_t>(got);
}

void LocalFile::close() noexcept
{
    if (handle_ < 0) return;
    ::close(fd(handle_));
    handle_ = -1;
}
