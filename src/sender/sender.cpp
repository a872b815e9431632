#include "sender/sender.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <thread>

#include "app/config.hpp"
#include "app/console.hpp"
#include "common/exception.hpp"
#include "sender/ftp.hpp"
#include "net/net_exception.hpp"
#include "net/tls_channel.hpp"
#include "sender/pause.hpp"

namespace {
constexpr std::int32_t stepPause = 2000;
constexpr std::int32_t progressPause = 10;
constexpr std::int32_t filePause = 100;
// Unpaced runs write a file's progress at most this often, besides its final line.
constexpr auto progressInterval = std::chrono::milliseconds(500);

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

// A failure that may pass: a 4xx reply (the client's own time-outs included) or a
// broken connection. Refusals (5xx), certificate refusals and local failures will not.
bool mayPass(const std::exception& failure)
{
    if (auto* reply = dynamic_cast<const FTPException*>(&failure)) return reply->code().rfind('4', 0) == 0;
    if (dynamic_cast<const TlsError*>(&failure)) return false;
    return dynamic_cast<const SocketException*>(&failure) != nullptr;
}

// 1, 2, 4 ... seconds between tries, never more than 30.
std::int32_t retryWait(std::uint32_t tried) { return tried >= 5 ? 30'000 : (1000 << tried); }

std::string remoteFolderOf(const std::string& storePath)
{
    std::size_t slash = storePath.rfind('/');
    return slash == std::string::npos ? std::string() : storePath.substr(0, slash);
}

// Closes the client however the session steps are left, before any outer handler runs.
struct CloseOnExit {
    Session& session;
    ~CloseOnExit()
    {
        if (session.client) session.client->close();
    }
};

// Sessions beyond the first wait for the remote folders before they store anything.
class Gate {
public:
    void open()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};
}

Session::Session() = default;
Session::~Session() = default;
Session::Session(Session&&) noexcept = default;
Session& Session::operator=(Session&&) noexcept = default;

bool Session::usable() const { return client && client->connected() && !client->lost(); }

bool Sender::logError(const Session& session, const std::string& message, std::int32_t pauseMilliseconds)
{
    {
        std::lock_guard<std::mutex> lock(lines_);
        writeLine("error:\t{}\tcode: {}\tmessage: {}", message, session.lastReply.code, session.lastReply.message);
    }
    pauseFor(paced(pauseMilliseconds));
    return false;
}

bool Sender::logInfo(const Session& session, const std::string& message, std::int32_t pauseMilliseconds)
{
    {
        std::lock_guard<std::mutex> lock(lines_);
        writeLine("{}\tcode: {}\tmessage: {}", message, session.lastReply.code, session.lastReply.message);
    }
    pauseFor(paced(pauseMilliseconds));
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

std::string Sender::connectFailure(const std::exception& failure) const
{
    // The password is never written out; "****" only shows that one was given.
    const std::string masked = password.empty() ? std::string() : std::string("****");
    return "connect to " + host + " " + failureMessage(failure) + " " + username + " " + masked;
}

bool Sender::quietCheck(Session& session)
{
    // "500" is also what silence reads as: nothing beyond the operation's own reply arrived.
    // Unpaced, only what has already arrived is looked at.
    session.lastReply = pacing ? session.client->readReply() : session.client->leanQuietCheck();
    session.lastReply.message = cutForLine(std::move(session.lastReply.message));
    return session.lastReply.code == "500";
}

void Sender::showProgress(Session& session, std::uint64_t bytesSent)
{
    if (!pacing) {
        const auto now = std::chrono::steady_clock::now();
        if (bytesSent == session.currentFileSize) {
            if (session.finalProgressShown) return;
            session.finalProgressShown = true;
        } else if (now - session.lastProgressLine < progressInterval) {
            return;
        }
        session.lastProgressLine = now;
    }
    logInfo(session, formatText("uploading {} {}/{}", {session.currentFile.file(), bytesSent, session.currentFileSize}),
            progressPause);
}

std::optional<std::size_t> Sender::takeFile()
{
    std::size_t index = nextFile_.fetch_add(1);
    if (index >= files.size()) return std::nullopt;
    return index;
}

bool Sender::send()
{
    stored_ = 0;
    nextFile_ = 0;
    unchanged_ = 0;
    upToDate_.assign(files.size(), false);
    if (dryRun && !skipUnchanged) return dryRunFiles(Session{});
    Session first;
    try {
        if (!dryRun) logInfo(first, formatText("{} files to backup", {files.size()}), stepPause);
        newClient(first);
        CloseOnExit closer{first};
        if (dryRun) {
            if (!connectWithRetries(first)) return false;
            planUnchanged(first);
            return dryRunFiles(first);
        }
        return runSession(first);
    } catch (const std::exception& failure) {
        std::lock_guard<std::mutex> lock(lines_);
        writeLine("send catch {}, code {}, message {}, remotePath {}", failureMessage(failure), first.lastReply.code,
                  first.lastReply.message, remote);
        return false;
    }
}

bool Sender::openSession(Session& session, bool announce, bool raiseWhatMayPass, bool connectingLine)
{
    FTP& client = *session.client;
    if (passive) client.setPassive();
    client.setLean(!pacing);

    if (announce && connectingLine) logInfo(session, "connecting..." + host, stepPause);
    try {
        client.connect(host, username, password, static_cast<std::uint16_t>(port));
    } catch (const std::exception& failure) {
        // A try that will be made again writes its retry line instead.
        if (raiseWhatMayPass && mayPass(failure)) throw;
        logError(session, connectFailure(failure), stepPause);
        return false;
    }
    if (!quietCheck(session)) return logError(session, "connect to " + host, stepPause);
    if (announce) logInfo(session, "connected to " + host, stepPause);

    client.changeDirectory(remote);
    if (!quietCheck(session)) return logError(session, "cd " + remote, stepPause);
    if (announce) logInfo(session, "cd " + remote, stepPause);
    if (skipUnchanged) client.readFeatures();
    return true;
}

void Sender::newClient(Session& session)
{
    if (session.client) session.client->close();
    session.client = makeClient();
    session.client->setTimeoutSeconds(config().timeoutSeconds);
    if (tls.enabled) session.client->setTls({host, tls.caFile, tls.fingerprint});
    if (trace) session.client->setTrace(trace, session.number);
}

bool Sender::reopenSession(Session& session)
{
    try {
        newClient(session);
        return openSession(session, false, true);
    } catch (const std::exception&) {
        return false;
    }
}

bool Sender::connectWithRetries(Session& session, bool announce)
{
    for (std::uint32_t tried = 0;; ++tried) {
        // A run without retries goes exactly the old way: one try, its lines.
        if (retries == 0 || tried >= retries) return openSession(session, announce, false, tried == 0);
        try {
            return openSession(session, announce, true, tried == 0);
        } catch (const std::exception& failure) {
            if (!mayPass(failure)) throw;
        }
        logInfo(session, formatText("retry connect to {} ({} of {})", {host, tried + 1, retries}), 0);
        pauseFor(retryWait(tried));
        newClient(session);
    }
}

bool Sender::dryRunFiles(const Session& session)
{
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string storePath = toRemotePath(files[i].dup().native().path());
        if (upToDate_[i]) {
            ++unchanged_;
            logInfo(session, "unchanged " + storePath, 0);
        } else {
            logInfo(session, "would upload " + storePath, 0);
        }
    }
    return true;
}

void Sender::planUnchanged(Session& session)
{
    if (!skipUnchanged) return;
    FTP& client = *session.client;
    std::map<std::string, std::vector<std::size_t>> byFolder;
    for (std::size_t i = 0; i < files.size(); ++i)
        byFolder[remoteFolderOf(toRemotePath(files[i].dup().native().path()))].push_back(i);
    const bool listings = client.isKnownSupported("MLSD");
    // SIZE may be refused in ASCII mode; the sizes that count are the binary ones.
    if (!listings) {
        try {
            client.setRepresentation(FtpFormat::image);
        } catch (const std::exception&) {
        }
    }
    for (const auto& [folder, indices] : byFolder) {
        // A session lost on the way is replaced (with retries) and the folder looked at again;
        // without one, the files left are stored as if nothing were known of them.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!session.usable() && (retries == 0 || !replaceLostSession(session))) return;
            if (lookUpFolder(session, folder, indices, listings) || session.usable()) break;
        }
    }
}

bool Sender::lookUpFolder(Session& session, const std::string& folder, const std::vector<std::size_t>& indices,
                          bool listings)
{
    FTP& client = *session.client;
    try {
        std::map<std::string, RemoteEntry> remote;
        if (listings)
            for (RemoteEntry& entry : client.listFolder(folder)) remote[entry.name] = std::move(entry);
        for (std::size_t i : indices) {
            const std::string storePath = toRemotePath(files[i].dup().native().path());
            const std::string name = storePath.substr(storePath.rfind('/') + 1);
            RemoteEntry entry;
            if (listings) {
                auto found = remote.find(name);
                if (found == remote.end()) continue;
                entry = found->second;
            } else {
                entry.size = client.remoteSize(storePath);
                if (entry.size) entry.modified = client.remoteModified(storePath);
            }
            try {
                upToDate_[i] = !entry.folder && entry.size && entry.modified && *entry.size == files[i].fileSize() &&
                               *entry.modified >= files[i].modifiedTime();
            } catch (const std::exception&) {
                // A file that cannot be looked at locally is stored, and fails there with its line.
            }
        }
        return true;
    } catch (const std::exception&) {
        // A listing that fails costs only the saving: this folder's files are stored.
        return false;
    }
}

void Sender::openFurtherSession(Session& session)
{
    try {
        newClient(session);
        if (!connectWithRetries(session, false)) session.client->close();
    } catch (const std::exception& failure) {
        // A folder this session cannot enter ends only this session.
        logError(session, connectFailure(failure), stepPause);
        if (session.client) session.client->close();
    }
}

bool Sender::runSession(Session& first)
{
    if (!connectWithRetries(first)) return false;

    // Further sessions log in while the folders are made, and store nothing before.
    Gate foldersMade;
    std::vector<Session> others(connections > 1 ? connections - 1 : 0);
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < others.size(); ++i) {
        others[i].number = static_cast<int>(i) + 2;
        workers.emplace_back([this, &foldersMade, &session = others[i]] {
            openFurtherSession(session);
            foldersMade.wait();
            if (session.usable()) storeFiles(session);
            if (session.client) session.client->close();
        });
    }
    try {
        makeFolders(first);
        planUnchanged(first);
    } catch (...) {
        foldersMade.open();
        for (auto& worker : workers) worker.join();
        throw;
    }
    foldersMade.open();
    if (first.usable()) storeFiles(first);
    for (auto& worker : workers) worker.join();

    // No session is left for these: each still gets its own line.
    while (auto index = takeFile()) {
        const std::string storePath = toRemotePath(files[*index].dup().native().path());
        logError(first, "upload " + storePath, stepPause);
    }
    return true;
}

void Sender::makeFolders(Session& session)
{
    // Parents come last in the scan's list; walking it backwards creates every parent
    // before its children, so a new nested tree is stored in one run.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        std::string remoteFolder = toRemotePath(folder->dup().native().path());
        if (remoteFolder.empty()) continue;
        for (bool replaced = false;;) {
            try {
                session.client->makeDirectory(remoteFolder);
                break;
            } catch (const std::exception&) {
                // Usually the folder exists already; a real problem shows up when its files
                // are stored. A lost connection is replaced (with retries) and the folder made again.
                if (session.usable() || replaced || retries == 0) break;
                if (!replaceLostSession(session)) return;
                replaced = true;
            }
        }
    }
}

bool Sender::replaceLostSession(Session& session)
{
    for (std::uint32_t tried = 0; tried < retries; ++tried) {
        logInfo(session, formatText("retry connect to {} ({} of {})", {host, tried + 1, retries}), 0);
        pauseFor(retryWait(tried));
        if (reopenSession(session)) return true;
    }
    return false;
}

void Sender::storeFiles(Session& session)
{
    for (;;) {
        // Without retries a lost connection ends this session after the file it cost; the
        // others take the rest.
        if (retries == 0 && !session.usable()) return;
        auto index = takeFile();
        if (!index) return;
        // With retries a lost session is replaced by the next file's tries; one that could
        // not be replaced within them ends here.
        if (!storeOne(session, *index) && !session.usable()) return;
    }
}

bool Sender::storeOne(Session& session, std::size_t index)
{
    const FilePath& file = files[index];
    const ProgressCallback progress = [this, &session](std::uint64_t bytesSent) { showProgress(session, bytesSent); };
    std::string localPath;
    std::string storePath;
    if (upToDate_[index]) {
        ++unchanged_;
        logInfo(session, "unchanged " + toRemotePath(file.dup().native().path()), 0);
        return true;
    }
    for (std::uint32_t tried = 0;; ++tried) {
        try {
            localPath = file.dup().native().path();
            storePath = toRemotePath(localPath);
            // Found lost after the last file: a failure that may pass, like any loss.
            if (!session.usable()) throw FTPException("421", "connection closed by the server");
            FTP& client = *session.client;
            // Inside the guard: a file that vanished since the scan costs only itself.
            session.currentFileSize = file.fileSize();
            session.currentFile = file;
            session.lastProgressLine = std::chrono::steady_clock::now();
            session.finalProgressShown = false;
            const std::int64_t modified = skipUnchanged ? file.modifiedTime() : 0;
            if (pacing)
                client.putFile(storePath, localPath, progress, FtpFormat::image);
            else
                client.putFileLean(storePath, localPath, progress);
            if (skipUnchanged) {
                // The next comparison then does not depend on the server's clock or zone.
                try {
                    client.setRemoteModified(storePath, modified);
                } catch (const std::exception&) {
                }
            }
            if (!quietCheck(session)) {
                logError(session, "upload " + storePath, stepPause);
                break;
            }
            pauseFor(paced(filePause));
            ++stored_;
            return true;
        } catch (const std::exception& failure) {
            const bool again = tried < retries && (mayPass(failure) || !session.usable());
            if (!again) {
                logError(session, "upload " + storePath, stepPause);
                break;
            }
        }
        logInfo(session, formatText("retry upload {} ({} of {})", {storePath, tried + 1, retries}), 0);
        pauseFor(retryWait(tried));
        // A connection that cannot be replaced now makes the next try fail at once,
        // which then waits and tries to replace it again.
        if (!session.usable())
            reopenSession(session);
        else if (session.client->outOfStep())
            session.client->resynchronise();
    }
    // A late or surprise reply may have put the dialogue out of step; a session that
    // cannot get back in step is given up rather than let a reply land on the wrong command.
    if (session.usable() && session.client->outOfStep()) session.client->resynchronise();
    return false;
}
