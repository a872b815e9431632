#include "run/pause.hpp"

#include <chrono>
#include <thread>
#include <utility>

namespace {
void sleepFor(std::int32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

PauseFunction& currentPause()
{
    static PauseFunction pause = sleepFor;
    return pause;
}
}

void pauseFor(std::int32_t milliseconds)
{
    if (milliseconds > 0) currentPause()(milliseconds);
}

PauseFunction setPauseFunction(PauseFunction pause)
{
    if (!pause) pause = sleepFor;
    return std::exchange(currentPause(), std::move(pause));
}
