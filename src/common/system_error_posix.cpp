#include "common/system_error.hpp"

#include <cerrno>
#include <cstring>

namespace sys {
int lastError() { return errno; }

std::string errorText(int code)
{
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
}
}
