#pragma once
// --staged: what the sessions share while they put a deploy in place. Every file is first
// stored under its temporary name; the commit starts only once all of them are there, and
// renames them, the files that are not --last first, then the --last ones (the pages).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "run/manifest.hpp"

struct StagedCommit {
    // Indices into the plan's files: the renames of each round, the pages in the second.
    std::vector<std::size_t> rounds[2];
    std::atomic<std::size_t> next[2]{0, 0};
    std::atomic<std::size_t> finished[2]{0, 0};
    std::atomic<std::size_t> committed{0};
    // A rename failed or went unanswered: nothing more is renamed.
    std::atomic<bool> stopped{false};
    std::mutex mutex;
    std::condition_variable changed;
    // Whether the commit may begin, decided once every store has ended.
    std::optional<bool> decided;
    std::optional<std::chrono::steady_clock::time_point> firstRename;
    std::chrono::steady_clock::time_point lastRename{};
    // The hashes an earlier staged run that did not commit recorded of its temporaries.
    Manifest record;
};

namespace lines {
std::string stagedNotCommitted(std::size_t notStored, std::size_t total, std::size_t kept);
std::string committed(std::size_t files, std::int64_t milliseconds);
std::string commitStopped(const std::string& path, std::size_t inPlace, std::size_t total);
std::string keptPart(const std::string& path);
}
