#include <cerrno>
#include <climits>
#include <csignal>
#include <unistd.h>

#include "local/this_process.hpp"

std::string thisHostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "unknown";
    return name;
}

std::uint64_t thisProcessId() { return static_cast<std::uint64_t>(getpid()); }

const char* processIdKind() { return "posix"; }

bool processRuns(std::uint64_t id)
{
    // 0 and what does not fit a pid_t would signal a group or a wrong process.
    if (id == 0 || id > static_cast<std::uint64_t>(INT_MAX)) return false;
    return kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
}
