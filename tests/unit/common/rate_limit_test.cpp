#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "common/rate_limit.hpp"

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A clock that only moves when the limit waits, or when the test lets time pass.
struct FakeTime {
    Clock::time_point now{};
    std::chrono::microseconds slept{};
    RateLimit limit(std::uint64_t rate)
    {
        return RateLimit(rate, [this] { return now; }, [this](std::chrono::microseconds wait) {
            slept += wait;
            now += wait;
        });
    }
};

TEST(RateLimit, TheBytesSentTakeTheirTimeAndIdleTimeIsNotSavedUp)
{
    FakeTime time;
    RateLimit limit = time.limit(1000);
    EXPECT_EQ(limit.chunk(), 512u);  // never below a useful send
    for (int i = 0; i < 10; ++i) limit.spend(500);
    EXPECT_EQ(time.slept, 5s);
    // A pause does not buy a burst afterwards.
    time.now += 60s;
    time.slept = {};
    limit.spend(2000);
    EXPECT_EQ(time.slept, 2s);
    // Many small sends add up to no less than their bytes are worth.
    time.slept = {};
    for (int i = 0; i < 3000; ++i) limit.spend(1);
    EXPECT_GE(time.slept, 3s);
    EXPECT_EQ(RateLimit(1024 * 1024).chunk(), 131072u);
    EXPECT_EQ(RateLimit(1ull << 40).chunk(), 262144u);
}

TEST(RateLimit, SessionsInThreadsShareOneBudget)
{
    // Real time: four threads each send 64 KiB at 512 KiB/s together, so the whole takes at
    // least half a second whichever thread goes first.
    RateLimit limit(512 * 1024);
    const auto start = Clock::now();
    std::vector<std::thread> sessions;
    for (int i = 0; i < 4; ++i)
        sessions.emplace_back([&limit] {
            for (int part = 0; part < 8; ++part) limit.spend(8 * 1024);
        });
    for (std::thread& session : sessions) session.join();
    EXPECT_GE(Clock::now() - start, 490ms);
}
}
