#include <gtest/gtest.h>

#include "app/capture.hpp"
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
}
