#pragma once
// The one mapping from the program's paths to what Windows file calls take: "/" and "\"
// both become "\", and a path too long for the classic limit goes through the "\\?\"
// form. The scan and the file reader share it, so a file the scan lists can be opened.
// Only *_win32.cpp files use it.
#include <cstddef>
#include <string>

namespace sys {
// `extra` is what the caller will append (a listing wildcard), so that the decision
// covers the text the OS finally sees.
std::wstring windowsPath(const std::string& text, std::size_t extra = 0);
}
