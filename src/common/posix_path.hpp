#pragma once
// The program's paths use "\" everywhere; POSIX calls need "/". Only *_posix.cpp files use it.
#include <algorithm>
#include <string>

namespace sys {
inline std::string posixPath(std::string path)
{
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}
}
