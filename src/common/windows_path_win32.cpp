#include "common/windows_path.hpp"

#include <windows.h>

#include <algorithm>

#include "common/wide.hpp"

namespace {
// Room the classic path limit leaves; longer paths go through the "\\?\" form,
// which the OS takes only when absolute and free of "." and ".." parts.
constexpr std::size_t classicLimit = MAX_PATH - 12;

std::wstring fullPath(const std::wstring& path)
{
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return path;
    full.resize(length);
    return full;
}
}

std::wstring sys::windowsPath(const std::string& text, std::size_t extra)
{
    std::wstring path = sys::toWide(text);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (path.size() + extra < classicLimit || path.rfind(L"\\\\?\\", 0) == 0) return path;
    std::wstring full = fullPath(path);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}
