#include "common/rate_limit.hpp"

#include <algorithm>
#include <thread>

RateLimit::RateLimit(std::uint64_t bytesPerSecond, Clock clock, Sleep sleep)
    : rate_(std::max<std::uint64_t>(bytesPerSecond, 1)),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      sleep_(sleep ? std::move(sleep) : Sleep([](std::chrono::microseconds wait) { std::this_thread::sleep_for(wait); }))
{
}

std::size_t RateLimit::chunk() const
{
    // About an eighth of a second's worth.
    constexpr std::uint64_t smallest = 512;
    constexpr std::uint64_t largest = 256 * 1024;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(rate_ / 8, smallest, largest));
}

void RateLimit::spend(std::size_t bytes)
{
    if (bytes == 0) return;
    std::chrono::microseconds wait{};
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto now = clock_();
        due_ = std::max(due_, now);
        // Whole microseconds, rounded up, so that the sum of many small sends does not drift below.
        const auto cost = (static_cast<unsigned long long>(bytes) * 1000000ULL + rate_ - 1) / rate_;
        due_ += std::chrono::microseconds(cost);
        wait = std::chrono::duration_cast<std::chrono::microseconds>(due_ - now);
    }
    if (wait.count() > 0) sleep_(wait);
}
