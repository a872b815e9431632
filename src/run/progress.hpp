#pragma once
// What a run tells of its stores as they go (--progress), from whichever session's thread,
// and the tally a status line is drawn from.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

class ProgressObserver {
public:
    enum class Ending { stored, unchanged, failed };

    virtual ~ProgressObserver() = default;
    // Once the decisions are made, before the first store: the files the run goes through and
    // the bytes of those it means to send.
    virtual void planned(std::size_t files, std::uint64_t bytes) = 0;
    // A try of a file of `size` bytes begins on session `session`; a try again starts from 0.
    virtual void started(int session, std::uint64_t size) = 0;
    // The bytes of the session's current try sent so far.
    virtual void sent(int session, std::uint64_t bytes) = 0;
    // The file's last try is over (an unchanged file has none).
    virtual void ended(int session, Ending ending) = 0;
};

// Where the run stands, as a status line shows it.
struct ProgressSnapshot {
    std::size_t filesDone = 0;  // stored or unchanged
    std::size_t files = 0;
    std::size_t failed = 0;
    // Of the files stored and the tries under way, of all the run means to send.
    std::uint64_t bytesDone = 0;
    std::uint64_t bytes = 0;
    // Every byte that went out, tries that failed included, over the time the stores took.
    std::uint64_t bytesPerSecond = 0;
    // None until something was sent.
    std::optional<std::chrono::seconds> timeLeft;
};

class ProgressTally {
public:
    void planned(std::size_t files, std::uint64_t bytes);
    void started(int session, std::uint64_t size);
    void sent(int session, std::uint64_t bytes);
    void ended(int session, ProgressObserver::Ending ending);
    // `elapsed`: since the stores began.
    ProgressSnapshot snapshot(std::chrono::milliseconds elapsed) const;

private:
    struct Try {
        std::uint64_t size = 0;
        std::uint64_t sent = 0;
    };
    mutable std::mutex mutex_;
    ProgressSnapshot counts_;
    std::uint64_t sent_ = 0;
    // The bytes of files stored, and of those that failed for good: no longer to be sent.
    std::uint64_t stored_ = 0;
    std::uint64_t givenUp_ = 0;
    std::map<int, Try> tries_;
};
