#pragma once
// UTF-8 <-> UTF-16 at the Windows boundary (code page 65001). Only *_win32.cpp files use it.
#include <string>
#include <string_view>

namespace sys {
std::wstring toWide(std::string_view utf8);
std::string fromWide(std::wstring_view utf16);
}
