#include "common/own_names.hpp"

bool isPartName(std::string_view name)
{
    return name.size() > partSuffix.size() + 1 && name.front() == '.' &&
           name.compare(name.size() - partSuffix.size(), partSuffix.size(), partSuffix) == 0;
}

bool isOwnName(std::string_view name) { return name == manifestName || name == lockName || isPartName(name); }
