#pragma once
// Every fixed pause of a run goes through here, so tests can record pauses instead of sleeping.
#include <cstdint>
#include <functional>
#include <utility>

using PauseFunction = std::function<void(std::int32_t milliseconds)>;

// Blocks for the given milliseconds; 0 or below returns at once.
void pauseFor(std::int32_t milliseconds);
// Replaces the pause (tests); returns the previous one. An empty function restores sleeping.
PauseFunction setPauseFunction(PauseFunction pause);

// Puts a pause function in place for its lifetime, so a failed test cannot leave it behind.
class PauseOverride {
public:
    explicit PauseOverride(PauseFunction pause) : previous_(setPauseFunction(std::move(pause))) {}
    ~PauseOverride() { setPauseFunction(std::move(previous_)); }
    PauseOverride(const PauseOverride&) = delete;
    PauseOverride& operator=(const PauseOverride&) = delete;

private:
    PauseFunction previous_;
};
