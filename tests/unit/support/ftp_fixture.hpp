#pragma once
// Shared pieces of the FTP client tests: a scripted peer, a client with a short
// time-out, and local files to upload.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "ftp/ftp_connection.hpp"
#include "support/ftp_peer.hpp"

namespace ftptest {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// 200 ms in 100-ns ticks: long enough for loopback, short enough for a fast suite.
constexpr std::int64_t shortTimeout = 2'000'000;

inline milliseconds elapsedSince(Clock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// Greeting, USER answered with 331, PASS answered with 230.
inline FtpPeer& login(FtpPeer& peer)
{
    return peer.send("220 ready\r\n").reply("331 password please").reply("230 logged in");
}

class FtpTest : public ::testing::Test {
protected:
    void SetUp() override { client.setTimeout(shortTimeout); }
    void TearDown() override
    {
        // The client's QUIT on destruction gets no answer from most scripts; keep that wait short.
        client.setTimeout(100'000);
        for (const auto& path : files) {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    }

    void connectClient() { client.connect("127.0.0.1", "user", "secret", peer.start()); }

    // A local file with the given contents; removed after the test.
    std::string makeFile(const std::string& contents)
    {
        // Named after the test: tests run in parallel processes, where object addresses repeat.
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        auto path = std::filesystem::temp_directory_path() /
                    ("ftp_test_" + std::string(test->test_suite_name()) + "_" + test->name() + "_" +
                     std::to_string(files.size()));
        files.push_back(path);
        std::FILE* f = std::fopen(path.string().c_str(), "wb");
        if (f) {
            std::fwrite(contents.data(), 1, contents.size(), f);
            std::fclose(f);
        }
        return path.string();
    }

    FtpPeer peer;
    FTPConnection client;
    std::vector<std::filesystem::path> files;
};
}
