// Login, logout, remote folders and the server's feature list.
#include "ftp/ftp_connection.hpp"
#include "common/own_names.hpp"
#include "net/net_host.hpp"

void FTPConnection::connect(const std::string& host, const std::string& user, const std::string& password,
                            std::uint16_t port)
{
    if (connected()) close();
    forgetOwed();
    pendingTimes_.clear();
    epsvRefused_ = false;
    pipelineQueries_ = true;
    // "[::1]" is how an IPv6 literal is written next to a port; the address and the
    // certificate's IP name are the bare literal.
    const std::string bare(withoutBrackets(host));
    openControlSocket(bare, port);
    // From here on the server may be listening: leave nothing half open behind a failure.
    try {
        controlSocket()->setBlocking(false);
        // Implicit TLS: the greeting already comes over it.
        if (!tlsSettings_ || !implicitTls_) expectReply("220");
        if (tlsSettings_) secureControl(bare);
        if (beforeLogin_) beforeLogin_();
        if (user.empty()) return;
        std::string batch = commandLine("USER", {user});
        for (const std::string& line : loginAhead_) batch += line;
        sendCommands(batch);
        sentAhead_.assign(loginAhead_.begin(), loginAhead_.end());
        FtpReply reply = readReply();
        if (reply.code == "331") {
            issueCommand("PASS", {password});
            reply = readReply();
        }
        if (reply.code != "230" && reply.code != "202") raiseReplyError(reply);
    } catch (...) {
        // After a broken handshake nothing sensible can be said on the connection.
        if (secured() && lost())
            closeControlSocket();
        else
            close();
        throw;
    }
}

void FTPConnection::secureControl(const std::string& host)
{
    TlsSettings settings = *tlsSettings_;
    settings.host = host;
    std::unique_ptr<TlsContext> context = TlsContext::create(settings);
    if (implicitTls_) {
        startTls(std::move(context));
        expectReply("220");
    } else {
        issueCommand("AUTH", {"TLS"});
        FtpReply reply = readReply();
        if (isSilence(reply)) raiseSilence();
        if (reply.code != "234")
            throw FTPException(reply.code, "The server refused AUTH TLS (" + reply.code + " " + reply.message +
                                               "); the login is not sent in clear text.");
        startTls(std::move(context));
    }
    issueCommand("PBSZ", {"0"});
    expectReply("200");
    issueCommand("PROT", {"P"});
    expectReply("200");
}

void FTPConnection::close() noexcept
{
    if (!connected()) return;
    try {
        issueCommand("QUIT");
        if (quickClose_ && !secured()) {
            // The commands before QUIT are done once their answers are in; a goodbye on a
            // clear connection tells nothing more.
            while (trailing_ > 0) {
                --trailing_;
                if (isSilence(readOneReply())) break;
            }
        } else {
            expectReply("221");
            endTls();
        }
    } catch (...) {
        // A dead or unwilling server must not stop the release of the socket.
    }
    closeControlSocket();
    features_.clear();
}

void FTPConnection::changeDirectory(const std::string& path)
{
    issueCommand("CWD", {path});
    expectReply("250");
}

void FTPConnection::announceUtf8()
{
    issueCommand("OPTS", {"UTF8", "ON"});
    // A refusal (Pure-FTPd answers 504) changes nothing: the names are the same bytes.
    if (isSilence(readReply())) raiseSilence();
}

void FTPConnection::announceUtf8Later()
{
    sendCommands(commandLine("OPTS", {"UTF8", "ON"}));
    ++trailing_;
}

void FTPConnection::renameFrom(const std::string& path)
{
    issueCommand("RNFR", {path});
    expectReply("350");
}

void FTPConnection::renameTo(const std::string& path)
{
    issueCommand("RNTO", {path});
    expectReply("250");
}

namespace {
// A permanent refusal (5xx), as against a lost or silent connection.
bool refused(const FTPException& failure) { return !failure.code().empty() && failure.code()[0] == '5'; }
}

bool FTPConnection::holdsFile(const std::string& path)
{
    const RemoteFacts facts = queryOne(path, isKnownSupported("MLST"));
    return facts.size.has_value() && !facts.folder;
}

void FTPConnection::renameOver(const std::string& from, const std::string& to, bool* oldInPlace)
{
    if (oldInPlace) *oldInPlace = true;
    renameFrom(from);
    std::optional<FTPException> refusal;
    try {
        renameTo(to);
        return;
    } catch (const FTPException& failure) {
        if (!refused(failure)) throw;
        refusal = failure;
    }
    // Some servers never rename onto a file. The old version is moved aside rather than
    // deleted, so that it can be put back whatever happens to the new one; a refusal for
    // any other reason (a policy, a permission) leaves everything as it was.
    if (!holdsFile(to)) throw *refusal;
    const std::string aside = asideNameOf(to);
    if (oldInPlace) *oldInPlace = false;
    try {
        renameFrom(to);
        renameTo(aside);
    } catch (const FTPException& failure) {
        // Refused, it did not move; lost on the way, nobody knows where it is.
        if (!refused(failure)) throw;
        if (oldInPlace) *oldInPlace = true;
        throw *refusal;
    }
    try {
        renameFrom(from);
        renameTo(to);
    } catch (const std::exception&) {
        try {
            renameFrom(aside);
            renameTo(to);
            if (oldInPlace) *oldInPlace = true;
        } catch (const std::exception&) {
            // Both versions are still there under their own temporary names; the caller
            // keeps them for a later run to clean up.
        }
        if (connected() && !lost()) throw *refusal;
        throw;
    }
    try {
        deleteFile(aside);
    } catch (const std::exception&) {
        // The new version is in place; a later run's deletion removes the leftover.
    }
}

void FTPConnection::deleteFile(const std::string& path)
{
    issueCommand("DELE", {path});
    expectReply("250");
}

void FTPConnection::deleteFileLater(const std::string& path)
{
    issueCommand("DELE", {path});
    ++trailing_;
}

void FTPConnection::removeDirectory(const std::string& path)
{
    issueCommand("RMD", {path});
    expectReply("250");
}

std::string FTPConnection::makeDirectory(const std::string& path)
{
    issueCommand("MKD", {path});
    return parseQuotedPath(expectReply("257"));
}

void FTPConnection::makeDirectories(const std::vector<std::string>& paths)
{
    // A server takes pipelined commands in order, so every parent is still made first.
    constexpr std::size_t window = 64;
    for (std::size_t first = 0; first < paths.size(); first += window) {
        std::string batch;
        for (std::size_t i = first; i < paths.size() && i < first + window; ++i) {
            try {
                batch += commandLine("MKD", {paths[i]});
            } catch (const FTPException&) {
                // A name no command can carry: its files fail with their own lines.
            }
        }
        if (batch.empty()) continue;
        sendCommands(batch);
        while (owed_ > 0)
            if (isSilence(readReply())) raiseSilence();
    }
}

std::vector<FtpReply> FTPConnection::askAll(const std::vector<std::string>& lines)
{
    std::string batch;
    for (const std::string& line : lines) batch += line;
    sendCommands(batch);
    std::vector<FtpReply> replies;
    while (replies.size() < lines.size()) {
        FtpReply reply = readReply();
        if (isSilence(reply)) raiseSilence();
        // A preliminary reply is followed by its command's final one.
        if (!reply.code.empty() && reply.code[0] == '1') continue;
        replies.push_back(std::move(reply));
    }
    return replies;
}

FtpReply FTPConnection::tryBinary()
{
    if (typeSent_) return {"200", ""};
    issueCommand("TYPE", {"I"});
    FtpReply reply = readReply();
    if (isSilence(reply)) raiseSilence();
    typeSent_ = reply.code == "200";
    return reply;
}

void FTPConnection::useBinary()
{
    if (typeSent_) return;
    setRepresentation(FtpFormat::image);
    typeSent_ = true;
}

std::string FTPConnection::parseQuotedPath(const FtpReply& reply)
{
    const std::string& message = reply.message;
    if (message.size() <= 2) throw FTPException(reply);
    std::string path;
    for (std::size_t i = 1; i < message.size(); ++i) {
        if (message[i] != '"') {
            path += message[i];
        } else if (i + 1 < message.size() && message[i + 1] == '"') {
            path += '"';
            ++i;
        } else {
            break;
        }
    }
    return path;
}

void FTPConnection::readFeatures()
{
    issueCommand("FEAT");
    takeFeatures(readReply());
}

FtpReply FTPConnection::enterReadingFeatures(const std::string& path)
{
    const std::vector<FtpReply> replies = askAll({commandLine("CWD", {path}), commandLine("FEAT")});
    takeFeatures(replies[1]);
    return replies[0];
}

void FTPConnection::takeFeatures(const FtpReply& reply)
{
    features_.clear();
    hashChoice_ = HashChoice::unknown;
    if (reply.code != "211") return;
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = reply.message.find('\n', start);
        lines.push_back(reply.message.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (lines.size() < 2) return;
    features_.push_back({"FEAT", ""});
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        std::size_t space = line.find(' ');
        if (space == std::string::npos)
            features_.push_back({line, ""});
        else
            features_.push_back({line.substr(0, space), line.substr(space + 1)});
    }
}

bool FTPConnection::isSupported(const std::string& name) const
{
    if (features_.empty()) return true;
    for (const auto& feature : features_)
        if (feature.name == name) return true;
    return false;
}

bool FTPConnection::isKnownSupported(const std::string& name) const { return !features_.empty() && isSupported(name); }

bool FTPConnection::listsFolders() const { return isKnownSupported("MLST") || isKnownSupported("MLSD"); }
