#pragma once
// The platform's text for an error code, without a trailing line end, in UTF-8.
#include <string>

namespace sys {
// The calling thread's last file-system / system error code (errno, GetLastError).
int lastError();
std::string errorText(int code);
inline std::string lastErrorText() { return errorText(lastError()); }
}
