#include <windows.h>

#include "app/config.hpp"
#include "app/console_platform.hpp"
#include "common/wide.hpp"

namespace {
const wchar_t ownerClassName[] = L"ftpuploadMessageOwner";

// A service or a task without a logged-on user runs on a window station nobody sees; a box
// there would wait for ever.
bool windowStationVisible()
{
    HWINSTA station = GetProcessWindowStation();
    if (!station) return false;
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return false;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}
}

void startUpConfig()
{
    Config& settings = config();
    if (!windowStationVisible()) return;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = ownerClassName;
    if (!RegisterClassW(&windowClass)) return;
    settings.display = instance;
    // Never shown: it only makes the boxes belong to this program.
    HWND owner = CreateWindowExW(0, ownerClassName, L"ftpupload", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    settings.messageOwner = owner;
}

void shutDownConfig()
{
    Config& settings = config();
    if (settings.messageOwner) DestroyWindow(static_cast<HWND>(settings.messageOwner));
    settings.messageOwner = nullptr;
    if (settings.display) UnregisterClassW(ownerClassName, static_cast<HINSTANCE>(settings.display));
    settings.display = nullptr;
}

namespace platform {
bool showNativeBox(const std::string& message, const std::string& title)
{
    if (!config().display || !windowStationVisible()) return false;
    int pressed = MessageBoxW(static_cast<HWND>(config().messageOwner), sys::toWide(message).c_str(),
                              sys::toWide(title).c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL);
    // 0 is the documented failure; Wine without a display answers -1.
    return pressed > 0;
}
}
