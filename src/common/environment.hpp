#pragma once
// The process environment, as UTF-8.
#include <optional>
#include <string>

namespace sys {
// The value of the variable `name`, or nothing when it is not set.
std::optional<std::string> environmentVariable(const std::string& name);
}
