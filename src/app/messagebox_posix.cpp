#include "app/config.hpp"
#include "app/console_platform.hpp"

// No windowing system is used here: every box becomes a line on standard error.
namespace platform {
bool showNativeBox(const std::string&, const std::string&) { return false; }
}

void startUpConfig() {}
void shutDownConfig() {}
