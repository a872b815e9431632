#include "run/progress.hpp"

#include <algorithm>

void ProgressTally::planned(std::size_t files, std::uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    counts_.files = files;
    counts_.bytes = bytes;
}

void ProgressTally::started(int session, std::uint64_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    tries_[session] = {size, 0};
}

void ProgressTally::sent(int session, std::uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Try& current = tries_[session];
    // A callback never reports less within a try; a new try is announced by started().
    if (bytes > current.sent) sent_ += bytes - current.sent;
    current.sent = std::max(current.sent, bytes);
}

void ProgressTally::ended(int session, ProgressObserver::Ending ending)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (ending == ProgressObserver::Ending::failed)
        ++counts_.failed;
    else
        ++counts_.filesDone;
    auto current = tries_.find(session);
    if (current == tries_.end()) return;
    // An unchanged file is in no try.
    if (ending == ProgressObserver::Ending::stored) stored_ += current->second.size;
    if (ending == ProgressObserver::Ending::failed) givenUp_ += current->second.size;
    tries_.erase(current);
}

ProgressSnapshot ProgressTally::snapshot(std::chrono::milliseconds elapsed) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    ProgressSnapshot shown = counts_;
    const std::int64_t milliseconds = std::max<std::int64_t>(elapsed.count(), 1);
    shown.bytesPerSecond = sent_ * 1000 / static_cast<std::uint64_t>(milliseconds);
    std::uint64_t inFlight = 0;
    for (const auto& [session, current] : tries_) inFlight += std::min(current.sent, current.size);
    // A file that grew since the scan must not take the counts past the total.
    shown.bytesDone = std::min(counts_.bytes, stored_ + inFlight);
    if (shown.bytesPerSecond > 0) {
        const std::uint64_t left = counts_.bytes - std::min(counts_.bytes, stored_ + givenUp_ + inFlight);
        // Rounded up: "0 s left" only once nothing is.
        shown.timeLeft = std::chrono::seconds((left + shown.bytesPerSecond - 1) / shown.bytesPerSecond);
    }
    return shown;
}
