#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "app/console_platform.hpp"
#include "common/system_error.hpp"

namespace {
bool writeAll(int fd, std::string_view bytes, int& failure)
{
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

class DescriptorSink : public ConsoleStream::Sink {
public:
    explicit DescriptorSink(int fd) : fd_(fd), interactive_(::isatty(fd) == 1) {}
    bool interactive() const override { return interactive_; }
    bool write(std::string_view utf8, std::string& error) override
    {
        int failure = 0;
        if (writeAll(fd_, utf8, failure)) return true;
        error = sys::errorText(failure);
        return false;
    }

private:
    int fd_;
    bool interactive_;
};
}

namespace platform {
ConsoleStream::Sink& standardOutputSink()
{
    static DescriptorSink sink(STDOUT_FILENO);
    return sink;
}

ConsoleStream::Sink& standardErrorSink()
{
    static DescriptorSink sink(STDERR_FILENO);
    return sink;
}

StatusTerminal statusTerminal()
{
    StatusTerminal terminal;
    terminal.present = standardErrorSink().interactive();
    winsize size{};
    if (terminal.present && ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0) terminal.columns = size.ws_col;
    return terminal;
}

void startUpConsole()
{
    // A reader that went away must show up as a refused write, not end the process unreported.
    std::signal(SIGPIPE, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free descriptor, which is this one.
        int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != -1 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}
}
