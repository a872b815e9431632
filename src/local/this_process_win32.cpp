#include <windows.h>

#include "common/wide.hpp"
#include "local/this_process.hpp"

std::string thisHostName()
{
    // The full name where there is one, as POSIX systems give it: the lock must name this
    // machine the same way whichever build of the program took it.
    for (COMPUTER_NAME_FORMAT format : {ComputerNameDnsFullyQualified, ComputerNameDnsHostname}) {
        wchar_t name[256] = {};
        DWORD size = sizeof name / sizeof name[0];
        if (GetComputerNameExW(format, name, &size) && size > 0) return sys::fromWide(std::wstring_view(name, size));
    }
    return "unknown";
}

std::uint64_t thisProcessId() { return GetCurrentProcessId(); }

const char* processIdKind() { return "windows"; }

bool processRuns(std::uint64_t id)
{
    if (id == 0 || id > 0xFFFFFFFFu) return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool runs = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
    CloseHandle(process);
    return runs;
}
