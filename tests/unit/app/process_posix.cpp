#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/capture.hpp"
#include "app/console_platform.hpp"
#include "app/entry.hpp"
#include "common/exception.hpp"

namespace {
// The last resort writes to the output descriptor itself, after what the stream held.
TEST(LastResort, KindAndMessageGoStraightToStandardOutput)
{
    CapturedConsole console;
    setErrorBoxHandler([](const std::string&, const std::string&) { throw IOException("stdout :: broken pipe"); });
    ::testing::internal::CaptureStdout();
    int status = runProgram({"ftpupload", "--local=/tmp/x", "--port=abc"});
    const std::string direct = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(direct, "IOException: stdout :: broken pipe\r\n");
    EXPECT_EQ(console.output(), "\\tmp\\x\\\r\n");
}

// Started with standard input and error closed, the next file opened would become one of them.
TEST(StartUp, ClosedStandardDescriptorsAreReopened)
{
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        ::close(0);
        ::close(2);
        platform::startUpConsole();
        int next = ::open("/dev/null", O_RDONLY);
        bool ok = ::fcntl(0, F_GETFD) != -1 && ::fcntl(2, F_GETFD) != -1 && next > 2;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
}
