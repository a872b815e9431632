#pragma once
// Every fixed pause of a run goes through here, so tests can record pauses instead of sleeping.
#include <cstdint>
#include <functional>

using PauseFunction = std::function<void(std::int32_t milliseconds)>;

// Blocks for the given milliseconds; 0 or below returns at once.
void pauseFor(std::int32_t milliseconds);
// Replaces the pause (tests); returns the previous one. An empty function restores sleeping.
PauseFunction setPauseFunction(PauseFunction pause);
