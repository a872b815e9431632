#include <windows.h>

#include "common/environment.hpp"
#include "common/wide.hpp"

namespace sys {
// The wide call: the ANSI one would turn a password's letters outside the code page into "?".
std::optional<std::string> environmentVariable(const std::string& name)
{
    const std::wstring wideName = toWide(name);
    std::wstring value(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        if (length < value.size()) {
            value.resize(length);
            return fromWide(value);
        }
        value.resize(length);
    }
}
}
