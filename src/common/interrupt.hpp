#pragma once
// Ctrl-C, SIGTERM, SIGHUP and the console's close event, for runs that end cleanly when
// interrupted. Once one has come, pauses end, transfers are abandoned, and every other network
// wait ends within `windDown` of the interrupt: time enough to hear the server's answer to an
// abandoned transfer, remove a temporary, leave the lock and log out, never more, however
// the server behaves. A second interrupt ends the process on the spot with status 1.
//
// Until `catchInterrupts` is called nothing here changes anything: the described run never
// calls it and keeps the system's own handling.
#include <chrono>
#include <cstdint>

namespace interrupt {
// Installs the handlers; later calls do nothing.
void catchInterrupts();
// What came first ("SIGTERM", "Ctrl-C", ...), or null while none has.
const char* received() noexcept;
constexpr std::chrono::seconds windDown{2};

// What a wait that would take `limit` may take now: all of it while no interrupt has come,
// after one what is left of the wind-down (zero or less once it is over).
std::chrono::microseconds waitLimit(std::chrono::microseconds limit) noexcept;
// POSIX: a descriptor that turns readable, and stays so, once an interrupt came, for a poll to
// wake on; -1 while none is installed and on Windows (whose waits check `received` in slices).
int wakeDescriptor() noexcept;
// Whether the handlers are installed: only then do waits need to look.
bool watching() noexcept;
// Sleeps for the given milliseconds, or until an interrupt comes.
void pause(std::int32_t milliseconds);
// The run's last line and report are written. Closing the Windows console ends the process
// as soon as its handler returns; the handler waits for this, within the time Windows allows.
void runEnded() noexcept;
}
