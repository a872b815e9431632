#include "sender/sender.hpp"

#include <algorithm>
#include <exception>

#include "app/config.hpp"
#include "app/console.hpp"
#include "common/exception.hpp"
#include "sender/ftp.hpp"
#include "sender/pause.hpp"

namespace {
constexpr std::int32_t stepPause = 2000;
constexpr std::int32_t progressPause = 10;
constexpr std::int32_t filePause = 100;

FtpReply lastReply;
FilePath currentFile;
std::uint64_t currentFileSize = 0;

// A reply may be a megabyte long; every line that carries it would carry all of it.
constexpr std::size_t lineTextLimit = 4096;

std::string cutForLine(std::string text)
{
    if (text.size() <= lineTextLimit) return text;
    std::size_t end = lineTextLimit;
    // Not inside a UTF-8 sequence.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text + " [cut]";
}

std::string failureMessage(const std::exception& failure)
{
    if (auto* own = dynamic_cast<const Exception*>(&failure)) return cutForLine(own->message());
    return cutForLine(failure.what());
}

// Closes the client however the session steps are left, before any outer handler runs.
struct CloseOnExit {
    FTP& client;
    ~CloseOnExit() { client.close(); }
};
}

void resetSenderState()
{
    lastReply = FtpReply{};
    currentFile = FilePath{};
    currentFileSize = 0;
}

bool Sender::logError(const std::string& message, std::int32_t pauseMilliseconds)
{
    writeLine("error:\t{}\tcode: {}\tmessage: {}", message, lastReply.code, lastReply.message);
    pauseFor(pauseMilliseconds);
    return false;
}

bool Sender::logInfo(const std::string& message, std::int32_t pauseMilliseconds)
{
    writeLine("{}\tcode: {}\tmessage: {}", message, lastReply.code, lastReply.message);
    pauseFor(pauseMilliseconds);
    return true;
}

std::unique_ptr<FTP> Sender::makeClient() { return std::make_unique<FTP>(); }

std::string Sender::toRemotePath(const std::string& localPath) const
{
    // Only the leading folder is cut: the same text deeper in the tree is a real folder name.
    std::string relative = localPath;
    if (!local.empty() && relative.compare(0, local.size(), local) == 0) relative.erase(0, local.size());
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return relative;
}

std::string Sender::maskedPassword() const { return password.empty() ? std::string() : std::string("****"); }

bool Sender::quietCheck(FTP& client)
{
    // "500" is also what silence reads as: nothing beyond the operation's own reply arrived.
    lastReply = client.readReply();
    lastReply.message = cutForLine(std::move(lastReply.message));
    return lastReply.code == "500";
}

void Sender::showProgress(std::uint64_t bytesSent)
{
    logInfo(formatText("uploading {} {}/{}", {currentFile.file(), bytesSent, currentFileSize}), progressPause);
}

bool Sender::send()
{
    stored_ = 0;
    try {
        logInfo(formatText("{} files to backup", {files.size()}), stepPause);
        std::unique_ptr<FTP> client = makeClient();
        client->setTimeoutSeconds(config().timeoutSeconds);
        CloseOnExit closer{*client};
        return runSession(*client);
    } catch (const std::exception& failure) {
        writeLine("send catch {}, code {}, message {}, remotePath {}", failureMessage(failure), lastReply.code,
                  lastReply.message, remote);
        return false;
    }
}

bool Sender::runSession(FTP& client)
{
    if (passive) client.setPassive();

    logInfo("connecting..." + host, stepPause);
    try {
        client.connect(host, username, password, static_cast<std::uint16_t>(port));
    } catch (const std::exception& failure) {
        // The password is never written out; "****" only shows that one was given.
        logError("connect to " + host + " " + failureMessage(failure) + " " + username + " " + maskedPassword(),
                 stepPause);
        return false;
    }
    if (!quietCheck(client)) return logError("connect to " + host, stepPause);
    logInfo("connected to " + host, stepPause);

    client.changeDirectory(remote);
    if (!quietCheck(client)) return logError("cd " + remote, stepPause);
    logInfo("cd " + remote, stepPause);

    // Parents come last in the scan's list; walking it backwards creates every parent
    // before its children, so a new nested tree is stored in one run.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        std::string remoteFolder = toRemotePath(folder->dup().native().path());
        if (remoteFolder.empty()) continue;
        try {
            client.makeDirectory(remoteFolder);
        } catch (const std::exception&) {
            // Usually the folder exists already; a real problem shows up when its files are stored.
        }
    }

    uploadFiles(client);
    return true;
}

void Sender::uploadFiles(FTP& client)
{
    const ProgressCallback progress = [this](std::uint64_t bytesSent) { showProgress(bytesSent); };
    for (const FilePath& file : files) {
        std::string localPath;
        std::string storePath;
        try {
            localPath = file.dup().native().path();
            storePath = toRemotePath(localPath);
            // Inside the guard: a file that vanished since the scan costs only itself.
            currentFileSize = file.fileSize();
            currentFile = file;
            client.putFile(storePath, localPath, progress, FtpFormat::image);
            if (!quietCheck(client)) {
                logError("upload " + storePath, stepPause);
                continue;
            }
            pauseFor(filePause);
            ++stored_;
        } catch (const std::exception&) {
            logError("upload " + storePath, stepPause);
        }
    }
}
