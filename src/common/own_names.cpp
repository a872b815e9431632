#include "common/own_names.hpp"

bool isPartName(std::string_view name)
{
    return name.size() > partSuffix.size() + 1 && name.front() == '.' &&
           name.compare(name.size() - partSuffix.size(), partSuffix.size(), partSuffix) == 0;
}

bool isOwnName(std::string_view name) { return name == manifestName || name == stagedName || name == lockName || isPartName(name); }

std::string asideNameOf(std::string_view remotePath)
{
    const std::size_t slash = remotePath.rfind('/');
    const std::size_t nameAt = slash == std::string_view::npos ? 0 : slash + 1;
    std::string aside(remotePath.substr(0, nameAt));
    aside += "..";
    aside += remotePath.substr(nameAt);
    aside += partSuffix;
    aside += partSuffix;
    return aside;
}
