#pragma once
// What the console needs from the platform: the two real sinks (unbuffered, so the last-resort
// report can write to one directly) and the native box. Implemented in console_*.cpp and
// messagebox_*.cpp.
#include <cstddef>
#include <string>

#include "app/console.hpp"

namespace platform {
ConsoleStream::Sink& standardOutputSink();
ConsoleStream::Sink& standardErrorSink();
// Standard error is a terminal (a Windows console) that a status line can be drawn on, and
// its width in columns (0 when it cannot be told).
struct StatusTerminal {
    bool present = false;
    std::size_t columns = 0;
};
StatusTerminal statusTerminal();
// POSIX: makes sure descriptors 0-2 are open, so no later file or socket can take their place.
void startUpConsole();
// Shows the native modal box; false when none can be shown here (no visible desktop).
bool showNativeBox(const std::string& message, const std::string& title);
}
