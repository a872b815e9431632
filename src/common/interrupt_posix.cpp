#include "common/interrupt.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {
// Indexes into `names`, plus one; 0 while none came. Lock-free, so a handler may store it.
std::atomic<int> first{0};
// When it came, in nanoseconds of CLOCK_MONOTONIC (steady_clock's own clock here).
std::atomic<long long> cameAt{0};
std::atomic<bool> installed{false};
int pipeEnds[2] = {-1, -1};

constexpr int signals[] = {SIGINT, SIGTERM, SIGHUP};
const char* const names[] = {"SIGINT", "SIGTERM", "SIGHUP"};

extern "C" void onSignal(int number)
{
    const int saved = errno;
    int expected = 0;
    int which = 1;
    while (which <= 3 && signals[which - 1] != number) ++which;
    // The time first: a wait that sees the interrupt reckons its wind-down from it.
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (first.load() != 0) _exit(1);
    cameAt.store(static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec);
    if (!first.compare_exchange_strong(expected, which)) _exit(1);
    // The pipe is never read: it stays readable for every wait that comes after.
    const char byte = 1;
    [[maybe_unused]] ssize_t written = write(pipeEnds[1], &byte, 1);
    errno = saved;
}
}

namespace interrupt {
void catchInterrupts()
{
    if (installed.exchange(true)) return;
    if (pipe(pipeEnds) != 0) {
        pipeEnds[0] = pipeEnds[1] = -1;
    } else {
        for (int end : pipeEnds) {
            fcntl(end, F_SETFD, FD_CLOEXEC);
            fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
        }
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a call that blocks is let go with EINTR rather than resumed.
    action.sa_flags = 0;
    for (int number : signals) sigaction(number, &action, nullptr);
}

const char* received() noexcept
{
    const int which = first.load();
    return which == 0 ? nullptr : names[which - 1];
}

std::chrono::microseconds waitLimit(std::chrono::microseconds limit) noexcept
{
    if (!received()) return limit;
    const auto came = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(cameAt.load()));
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(came + windDown - std::chrono::steady_clock::now());
    return std::min(limit, left);
}

int wakeDescriptor() noexcept { return pipeEnds[0]; }

bool watching() noexcept { return installed.load(); }

void pause(std::int32_t milliseconds)
{
    if (milliseconds <= 0) return;
    if (pipeEnds[0] < 0) return std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (!received()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return;
        pollfd wake{pipeEnds[0], POLLIN, 0};
        poll(&wake, 1, static_cast<int>(left));
    }
}

void runEnded() noexcept {}
}
