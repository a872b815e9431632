#include <cstdlib>

#include "common/environment.hpp"

namespace sys {
std::optional<std::string> environmentVariable(const std::string& name)
{
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}
}
