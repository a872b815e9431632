#pragma once
// This machine and this process as a lock on the server names them, and whether a process
// another run left named is still running here.
#include <cstdint>
#include <string>

// The machine's host name (UTF-8); "unknown" when the system will not tell.
std::string thisHostName();
std::uint64_t thisProcessId();
// "posix" or "windows": process ids of one say nothing of the other's, even on one machine.
const char* processIdKind();
// False only when this machine has no such process; a process the system will not let us
// look at is taken to run.
bool processRuns(std::uint64_t id);
