#include "local/local_file.hpp"

#include <windows.h>

#include "common/exception.hpp"
#include "common/system_error.hpp"
#include "common/windows_path.hpp"

namespace {
HANDLE native(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
}

LocalFile::LocalFile(const std::string& path) : path_(path)
{
    // No sharing: nobody may write the file while it is being sent.
    HANDLE handle = CreateFileW(sys::windowsPath(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) fail(sys::lastErrorText());
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    // Devices (CON, NUL, COM1) and pipes open too, but are no files to upload.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        close();
        fail("not a regular file");
    }
}

LocalFile::~LocalFile() { close(); }

void LocalFile::fail(const std::string& reason) const { throw IOException(path_ + " :: " + reason); }

std::uint64_t LocalFile::size() const
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(native(handle_), &size)) fail(sys::lastErrorText());
    return static_cast<std::uint64_t>(size.QuadPart);
}

void LocalFile::seek(std::uint64_t offset)
{
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(native(handle_), distance, nullptr, FILE_BEGIN)) fail(sys::lastErrorText());
}

std::size_t LocalFile::read(char* buffer, std::size_t capacity)
{
    DWORD got = 0;
    DWORD chunk = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(capacity);
    if (!ReadFile(native(handle_), buffer, chunk, &got, nullptr)) fail(sys::lastErrorText());
    return got;
}

void LocalFile::close() noexcept
{
    if (handle_ == -1) return;
    CloseHandle(native(handle_));
    handle_ = -1;
}
