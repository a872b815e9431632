#include "run/pace.hpp"

#include <chrono>

#include "ftp/ftp.hpp"
#include "run/session.hpp"

namespace {
// Unpaced runs write a file's progress at most this often, besides its final line.
constexpr auto progressInterval = std::chrono::milliseconds(500);

class Paced : public Pace {
public:
    std::int32_t pauseAfter(std::int32_t described) const override { return described; }
    void setUp(FTP& client) const override { client.setLean(false); }
    FtpReply quietCheck(FTP& client) const override { return client.readReply(); }
    bool showProgress(Session&, std::uint64_t) const override { return true; }
    void store(FTP& client, const std::string& remotePath, const std::string& localPath,
               const ProgressCallback& progress, std::string* sentHash) const override
    {
        client.putFile(remotePath, localPath, progress, FtpFormat::image, sentHash);
    }
};

class Unpaced : public Pace {
public:
    std::int32_t pauseAfter(std::int32_t) const override { return 0; }
    void setUp(FTP& client) const override { client.setLean(true); }
    FtpReply quietCheck(FTP& client) const override { return client.leanQuietCheck(); }
    bool showProgress(Session& session, std::uint64_t bytesSent) const override
    {
        const auto now = std::chrono::steady_clock::now();
        if (bytesSent == session.currentFileSize) {
            if (session.finalProgressShown) return false;
            session.finalProgressShown = true;
        } else if (now - session.lastProgressLine < progressInterval) {
            return false;
        }
        session.lastProgressLine = now;
        return true;
    }
    void store(FTP& client, const std::string& remotePath, const std::string& localPath,
               const ProgressCallback& progress, std::string* sentHash) const override
    {
        client.putFileLean(remotePath, localPath, progress, sentHash);
    }
};
}

std::unique_ptr<Pace> Pace::create(bool pacing)
{
    if (pacing) return std::make_unique<Paced>();
    return std::make_unique<Unpaced>();
}
