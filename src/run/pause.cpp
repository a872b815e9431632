#include "run/pause.hpp"

#include <utility>

#include "common/interrupt.hpp"

namespace {
// An interrupted run waits for nothing more; an uninterrupted one sleeps the whole pause.
void sleepFor(std::int32_t milliseconds) { interrupt::pause(milliseconds); }

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
