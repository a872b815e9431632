#pragma once
// What the console needs from the platform: the two real sinks (unbuffered, so the last-resort
// report can write to one directly) and the native box. Implemented in console_*.cpp and
// messagebox_*.cpp.
#include <string>

#include "app/console.hpp"

namespace platform {
ConsoleStream::Sink& standardOutputSink();
ConsoleStream::Sink& standardErrorSink();
// POSIX: makes sure descriptors 0-2 are open, so no later file or socket can take their place.
void startUpConsole();
// Shows the native modal box; false when none can be shown here (no visible desktop).
bool showNativeBox(const std::string& message, const std::string& title);
}
