// Storing files with as few round trips as the protocol allows. Per file the client
// waits three times: for the PASV (over IPv6: EPSV) answer (STOR travels with it), for the data
// connection (the STOR answer travels meanwhile), and for the completion reply.
// PASV is not sent ahead during a transfer: some servers drop the transfer in
// progress when a PASV arrives.
#include <chrono>
#include <optional>
#include <vector>

#include "ftp/data_connection.hpp"
#include "ftp/ftp_connection.hpp"
#include "local/file_hash.hpp"
#include "local/local_file.hpp"
#include "ftp/passive_reply.hpp"
#include "ftp/data_trace.hpp"
#include "net/net_exception.hpp"

namespace {
const FtpReply silence{"500", ""};
}

FtpReply FTPConnection::leanQuietCheck()
{
    // Behind an answer still to be dropped, nothing can be told apart yet.
    if (trailing_ > 0 || !sentAhead_.empty() || !waitForControl(std::chrono::microseconds(0))) return silence;
    FtpReply reply = readReply();
    // Whatever it was, it answered no command of ours: more of its kind may follow.
    if (!isSilence(reply)) outOfStep_ = true;
    return reply;
}

bool FTPConnection::closedWhileIdle()
{
    if (!connected() || lost() || outOfStep() || trailing_ > 0 || !sentAhead_.empty() || !waitForControl(std::chrono::microseconds(0)))
        return false;
    const FtpReply said = readReply();
    if (said.code == "421" || lost()) {
        closeControlSocket();
        return true;
    }
    // Anything else answered no command of ours: the next command brings the dialogue back first.
    if (!isSilence(said)) outOfStep_ = true;
    return false;
}

bool FTPConnection::resynchronise() noexcept
{
    try {
        // The replies still owed answer commands already given up; each must come within
        // the time-out, or the connection is beyond saving.
        while (owed_ > 0 && !lost())
            if (isSilence(readReply())) break;
        sentAhead_.clear();
        if (owed_ == 0 && connected() && !lost()) {
            outOfStep_ = false;
            sendBytes("NOOP\r\n");
            for (int i = 0; i < 16; ++i) {
                FtpReply reply = readReply();
                if (isSilence(reply) || lost()) break;
                if (reply.code == "200") return true;
            }
        }
    } catch (...) {
    }
    forgetOwed();
    closeControlSocket();
    return false;
}

bool FTPConnection::allocationNeeded()
{
    if (alloNeeded_ && allocationUnneeded_ && *allocationUnneeded_) alloNeeded_ = false;
    return alloNeeded_;
}

IpAddress FTPConnection::sendLeanBatch(const std::string& storeLine, std::uint64_t size, bool storeWithPasv)
{
    enum class Due { type, allo, pasv };
    std::vector<Due> due;
    std::string batch;
    if (!typeSent_) {
        batch += commandLine("TYPE", {"I"});
        due.push_back(Due::type);
    }
    if (allocationNeeded()) {
        batch += commandLine("ALLO", {std::to_string(size)});
        due.push_back(Due::allo);
    }
    const bool extended = controlIsIpv6();
    batch += extended ? "EPSV\r\n" : "PASV\r\n";
    due.push_back(Due::pasv);
    if (storeWithPasv) batch += storeLine;
    // Without the times held back: the PASV answer is then the first of the batch.
    sendCommands(batch, false);

    // Every reply of the batch is read before a failure is passed on, so the next
    // command gets its own reply.
    std::optional<FTPException> refused;
    FtpReply pasv;
    for (Due what : due) {
        FtpReply reply = readReply();
        // The rest of the batch would only wait in vain; the replies owed put the session
        // out of step until they are read.
        if (isSilence(reply)) raiseSilence();
        if (what == Due::pasv) {
            pasv = reply;
        } else if (what == Due::type) {
            if (reply.code == "200") typeSent_ = true;
            else if (!refused) refused.emplace(reply);
        } else if (allocationNotNeeded(reply)) {
            alloNeeded_ = false;
            if (allocationUnneeded_) *allocationUnneeded_ = true;
        } else if (reply.code != "200" && !refused) {
            refused.emplace(reply);
        }
    }
    if (refused) throw *refused;
    const std::string wanted = extended ? "229" : "227";
    std::optional<std::uint16_t> port;
    if (pasv.code == wanted) {
        if (extended)
            port = parseEpsvReply(pasv.message);
        else if (auto target = parsePasvReply(pasv.message))
            port = target->port;
    }
    if (port) return passiveTarget(*port);
    // STOR went out with the PASV: its answer is read here. One that accepts the store
    // leaves its completion reply owed, and the session out of step until it has come.
    if (storeWithPasv) readReply();
    if (pasv.code != wanted) raiseReplyError(pasv);
    throw FTPException("501", "CLIENT: Unable to parse address");
}

DataConnection FTPConnection::connectLeanData(const IpAddress& address, const std::string& storeLine,
                                              bool storeWithPasv)
{
    Socket socket = Socket::create(address.family());
    socket.setBlocking(false);
    const bool connectedAtOnce = socket.startConnect(address);
    DataConnection data(std::move(socket));
    if (!storeWithPasv) sendCommands(storeLine, false);
    if (connectedAtOnce) return data;
    const int error = data.waitWritable(waitLimit()) ? data.socket().pendingError() : Socket::timedOutError();
    if (error == 0) return data;
    // A server that refused STOR may have closed its listener first: its refusal is the
    // reason then. One that accepted it still owes its completion reply, which keeps the
    // session out of step until it has come.
    FtpReply answer = readReply();
    if (!isSilence(answer) && answer.code[0] != '1') raiseReplyError(answer);
    throw SocketException("Unable to connect socket: " + Socket::errorText(error));
}

void FTPConnection::putFileLean(const std::string& remotePath, const std::string& localPath,
                                const ProgressCallback& progress, std::string* sentHash)
{
    // The batch gains its round trips by connecting while the STOR answer travels; when the
    // server connects to us instead, the plain sequence is the one that works.
    if (active_) return putFile(remotePath, localPath, progress, FtpFormat::image, sentHash);
    LocalFile file(localPath);
    HashingSource hashing(file);
    ByteSource* source = sentHash ? static_cast<ByteSource*>(&hashing) : &file;
    storeLean(remotePath, *source, file.size(), progress, localPath);
    if (sentHash) *sentHash = hashing.hexDigest();
}

void FTPConnection::putTextLean(const std::string& remotePath, const std::string& text)
{
    TextSource source(text);
    if (active_) return storeStream(remotePath, &source, [](std::uint64_t) {}, FtpFormat::image);
    storeLean(remotePath, source, text.size(), [](std::uint64_t) {}, remotePath);
}

void FTPConnection::storeLean(const std::string& remotePath, ByteSource& source, std::uint64_t size,
                              const ProgressCallback& progress, const std::string& sourceName)
{
    storeStarted_ = false;
    const std::string storeLine = commandLine("STOR", {remotePath});
    // Once TYPE is set and ALLO known to be unneeded, PASV and STOR go out together:
    // the server answers STOR once the data connection opened on the PASV answer is in.
    // Until then STOR waits for those answers, since a refusal must stop it.
    const bool storeWithPasv = typeSent_ && !allocationNeeded();
    const IpAddress address = sendLeanBatch(storeLine, size, storeWithPasv);
    DataConnection data = connectLeanData(address, storeLine, storeWithPasv);
    DataTrace trace(*this, "STOR " + remotePath, address.toString());

    // On a clear connection the bytes go out at once and the STOR answer is read while
    // they travel; TLS must wait for it, since servers start TLS only once STOR is under way.
    const bool answerFirst = tlsContext() != nullptr;
    auto requireStarted = [&] {
        FtpReply started = readReply();
        storeStarted_ = started.code == "150" || started.code == "125";
        if (storeStarted_) return;
        // Refused: whatever was sent went nowhere, and no completion reply will follow.
        data.abort();
        raiseReplyError(started);
    };
    if (answerFirst) requireStarted();

    std::uint64_t sent = 0;
    try {
        secureDataConnection(data);
        sent = sendStream(data, &source, progress);
        trace.bytes(sent);
    } catch (...) {
        if (!answerFirst) requireStarted();
        abortTransfer(data);
        throw;
    }
    if (!answerFirst) requireStarted();
    if (sent != size) failChangedSource(data, sourceName, sent, size);
    finishDataCommand(data);
    trace.succeeded("complete");
}
