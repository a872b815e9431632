#include "common/interrupt.hpp"

#include <windows.h>

#include <algorithm>
#include <atomic>

namespace {
std::atomic<const char*> first{nullptr};
std::atomic<bool> installed{false};
std::atomic<std::chrono::steady_clock::rep> cameAt{0};
// Set by the first interrupt: pauses wait on it.
HANDLE interrupted = nullptr;
// Set once the run has written its end: the close handler may then let Windows end the process.
HANDLE ended = nullptr;

// Windows ends a process whose console is closed 5 s after the event at the latest.
constexpr DWORD closeGrace = 4500;

const char* nameOf(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT: return "Ctrl-C";
    case CTRL_BREAK_EVENT: return "Ctrl-Break";
    case CTRL_CLOSE_EVENT: return "console closed";
    default: return nullptr;
    }
}

BOOL WINAPI onConsoleEvent(DWORD event)
{
    const char* name = nameOf(event);
    // Log-off and shut-down are left to the system's own handling.
    if (!name) return FALSE;
    const char* none = nullptr;
    cameAt.store(std::chrono::steady_clock::now().time_since_epoch().count());
    if (!first.compare_exchange_strong(none, name)) TerminateProcess(GetCurrentProcess(), 1);
    SetEvent(interrupted);
    // Returning from the close event ends the process: first the run writes its end.
    if (event == CTRL_CLOSE_EVENT) WaitForSingleObject(ended, closeGrace);
    return TRUE;
}
}

namespace interrupt {
void catchInterrupts()
{
    if (installed.exchange(true)) return;
    interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

const char* received() noexcept { return first.load(); }

std::chrono::microseconds waitLimit(std::chrono::microseconds limit) noexcept
{
    if (!received()) return limit;
    const auto came = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(cameAt.load()));
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(came + windDown - std::chrono::steady_clock::now());
    return std::min(limit, left);
}

int wakeDescriptor() noexcept { return -1; }

bool watching() noexcept { return installed.load(); }

void pause(std::int32_t milliseconds)
{
    if (milliseconds <= 0) return;
    if (!interrupted) return Sleep(static_cast<DWORD>(milliseconds));
    WaitForSingleObject(interrupted, static_cast<DWORD>(milliseconds));
}

void runEnded() noexcept
{
    if (ended) SetEvent(ended);
}
}
