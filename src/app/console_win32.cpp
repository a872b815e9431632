#include <windows.h>

#include "app/console_platform.hpp"
#include "common/system_error.hpp"
#include "common/wide.hpp"

namespace {
class HandleSink : public ConsoleStream::Sink {
public:
    explicit HandleSink(DWORD which) : handle_(GetStdHandle(which))
    {
        if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) {
            handle_ = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
            owned_ = handle_ != INVALID_HANDLE_VALUE;
        }
        DWORD mode = 0;
        interactive_ = valid() && GetConsoleMode(handle_, &mode) != 0;
    }
    ~HandleSink() override
    {
        if (owned_) CloseHandle(handle_);
    }

    bool interactive() const override { return interactive_; }

    bool write(std::string_view utf8, std::string& error) override
    {
        // A process started with no output at all has nowhere to write; that is no failure.
        if (!valid()) return true;
        bool written = interactive_ ? writeConsole(sys::toWide(utf8)) : writeFile(utf8);
        if (!written) error = sys::lastErrorText();
        return written;
    }

private:
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

    bool writeConsole(std::wstring_view text)
    {
        while (!text.empty()) {
            DWORD chunk = static_cast<DWORD>(text.size() < 16384 ? text.size() : 16384);
            DWORD done = 0;
            if (!WriteConsoleW(handle_, text.data(), chunk, &done, nullptr) || done == 0) return false;
            text.remove_prefix(done);
        }
        return true;
    }

    bool writeFile(std::string_view bytes)
    {
        while (!bytes.empty()) {
            DWORD done = 0;
            if (!WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) || done == 0)
                return false;
            bytes.remove_prefix(done);
        }
        return true;
    }

    HANDLE handle_;
    bool owned_ = false;
    bool interactive_ = false;
};
}

namespace platform {
ConsoleStream::Sink& standardOutputSink()
{
    static HandleSink sink(STD_OUTPUT_HANDLE);
    return sink;
}

ConsoleStream::Sink& standardErrorSink()
{
    static HandleSink sink(STD_ERROR_HANDLE);
    return sink;
}

StatusTerminal statusTerminal()
{
    StatusTerminal terminal;
    // A console only (GetConsoleMode): a pipe or a file would keep every state of the line.
    terminal.present = standardErrorSink().interactive();
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (terminal.present && GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        terminal.columns = static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
    return terminal;
}

void startUpConsole() {}
}
