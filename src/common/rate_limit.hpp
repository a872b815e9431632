#pragma once
// --limit-rate: one budget of bytes per second that every session's data spends from, so the
// run as a whole stays under it whatever the number of sessions.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

class RateLimit {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Sleep = std::function<void(std::chrono::microseconds)>;

    explicit RateLimit(std::uint64_t bytesPerSecond, Clock clock = {}, Sleep sleep = {});

    std::uint64_t bytesPerSecond() const { return rate_; }
    // The most to hand to one send: small enough that the waits between sends stay short
    // and the rate even, large enough that a fast limit is not spent on system calls.
    std::size_t chunk() const;
    // Counts bytes that went out and waits until the budget has caught up with them.
    void spend(std::size_t bytes);

private:
    std::uint64_t rate_;
    Clock clock_;
    Sleep sleep_;
    std::mutex mutex_;
    // When the bytes spent so far are paid for; time nobody sent in is not saved up, so an
    // idle moment is never followed by a burst above the limit.
    std::chrono::steady_clock::time_point due_{};
};
