// Storing one file: representation, space allocation, the store command and the
// loop that copies the bytes to the data connection.
#include <algorithm>
#include <chrono>

#include "common/case_fold.hpp"
#include "common/exception.hpp"
#include "common/interrupt.hpp"
#include "ftp/ftp_connection.hpp"
#include "local/file_hash.hpp"
#include "local/local_file.hpp"
#include "ftp/data_trace.hpp"

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::size_t transferBufferSize = 8192;
// Unpaced, fewer and larger sends keep a fast link busy with less work per byte.
constexpr std::size_t leanTransferBufferSize = 256 * 1024;
}

void FTPConnection::setRepresentation(FtpFormat format)
{
    issueCommand("TYPE", {format == FtpFormat::ascii ? "A" : "I"});
    expectReply("200");
}

void FTPConnection::allocateSpace(std::int64_t bytes)
{
    issueCommand("ALLO", {std::to_string(bytes)});
    FtpReply reply = readReply();
    if (reply.code != "200" && !allocationNotNeeded(reply)) raiseReplyError(reply);
}

bool FTPConnection::allocationNotNeeded(const FtpReply& reply)
{
    // Servers that need no allocation say so with 202, or refuse the command as
    // unknown (500 with a text), unimplemented (502) or unsupported (504). An empty
    // 500 is silence: accepting it would put the replies out of step.
    return reply.code == "202" || reply.code == "502" || reply.code == "504" ||
           (reply.code == "500" && !reply.message.empty());
}

void FTPConnection::failChangedSource(DataConnection& data, const std::string& sourceName, std::uint64_t sent,
                                      std::uint64_t expected)
{
    // What the server got matches neither version of the file, so it must not count as stored.
    abortTransfer(data);
    throw IOException(sourceName + " :: changed while it was being sent (" + std::to_string(sent) +
                      " bytes sent, " + std::to_string(expected) + " expected)");
}

void FTPConnection::putFile(const std::string& remotePath, const std::string& localPath,
                            const ProgressCallback& progress, FtpFormat format, std::string* sentHash)
{
    LocalFile file(localPath);
    HashingSource hashing(file);
    ByteSource* source = sentHash ? static_cast<ByteSource*>(&hashing) : &file;
    const std::uint64_t size = file.size();
    allocateSpace(static_cast<std::int64_t>(size));
    transferStream("STOR", remotePath, source, progress, format, true, size, localPath);
    if (sentHash) *sentHash = hashing.hexDigest();
}

void FTPConnection::restartAt(std::uint64_t offset)
{
    issueCommand("REST", {std::to_string(offset)});
    expectReply("350");
}

bool FTPConnection::restartsStreams() const
{
    for (const FtpFeature& feature : features_)
        if (feature.name == "REST" && caseFolded(feature.parameters).find("stream") != std::string::npos) return true;
    return false;
}

void FTPConnection::appendStream(const std::string& remotePath, ByteSource* stream, const ProgressCallback& progress,
                                 FtpFormat format)
{
    transferStream("APPE", remotePath, stream, progress, format, stream != nullptr, std::nullopt, {});
}

void FTPConnection::resumeFile(const std::string& remotePath, const std::string& localPath, std::uint64_t offset,
                               const ProgressCallback& progress, std::string* sentHash)
{
    LocalFile file(localPath);
    HashingSource hashing(file);
    const std::uint64_t size = file.size();
    if (offset > size) throw IOException(localPath + " :: shorter than the part already stored");
    // What the server holds is not sent again, but the manifest and --verify need the
    // hash of the whole file.
    if (sentHash)
        hashing.skip(offset);
    else
        file.seek(offset);
    ByteSource* source = sentHash ? static_cast<ByteSource*>(&hashing) : &file;
    const ProgressCallback whole = [&](std::uint64_t sent) {
        if (progress) progress(offset + sent);
    };
    // Only a server that promises REST STREAM is trusted to write from the offset;
    // APPE needs no promise, only the part in place.
    const bool restart = restartsStreams();
    transferStream(restart ? "STOR" : "APPE", remotePath, source, whole, FtpFormat::image, true, size - offset,
                   localPath, restart ? std::optional<std::uint64_t>(offset) : std::nullopt);
    if (sentHash) *sentHash = hashing.hexDigest();
}

void FTPConnection::storeStream(const std::string& remotePath, ByteSource* stream, const ProgressCallback& progress,
                                FtpFormat format)
{
    transferStream("STOR", remotePath, stream, progress, format, stream != nullptr, std::nullopt, {});
}

void FTPConnection::transferStream(const std::string& verb, const std::string& remotePath, ByteSource* stream,
                                   const ProgressCallback& progress, FtpFormat format, bool send,
                                   std::optional<std::uint64_t> expectedBytes, const std::string& sourceName,
                                   std::optional<std::uint64_t> restart)
{
    storeStarted_ = false;
    setRepresentation(format);
    DataConnection data = startDataCommand(verb, {remotePath}, restart);
    DataTrace trace(*this, verb + " " + remotePath, dataTraceAddress(data));
    std::uint64_t sent = 0;
    try {
        if (send) sent = sendStream(data, stream, progress);
        trace.bytes(sent);
    } catch (...) {
        abortTransfer(data);
        throw;
    }
    if (expectedBytes && sent != *expectedBytes) failChangedSource(data, sourceName, sent, *expectedBytes);
    finishDataCommand(data);
    trace.succeeded("complete");
}

void FTPConnection::abortTransfer(DataConnection& data) noexcept
{
    // A reset, not an orderly close, so the server cannot take the part it got for
    // the whole file; then its answer to the broken transfer is read, so it is not
    // mistaken for the reply to the next command.
    data.abort();
    readReply();
}

std::uint64_t FTPConnection::sendStream(DataConnection& data, ByteSource* stream, const ProgressCallback& progress)
{
    std::vector<char> buffer(lean_ ? leanTransferBufferSize : transferBufferSize);
    std::size_t filled = 0;
    std::size_t position = 0;
    std::uint64_t total = 0;
    bool endOfStream = false;
    // Unpaced, a send is tried first and the wait comes only when the socket is full: a
    // wait before every send costs a system call per buffer for nothing.
    bool full = true;
    auto deadline = Clock::now() + timeoutDuration();
    while (Clock::now() < deadline) {
        // An interrupted run abandons the file: the caller resets the data connection.
        if (interrupt::received()) throw FTPException("420", "CLIENT: interrupted");
        if ((full || !lean_) && !data.waitWritable(waitLimit())) break;
        if (position == filled) {
            filled = stream ? stream->read(buffer.data(), buffer.size()) : 0;
            position = 0;
            endOfStream = filled == 0;
        }
        // The data socket does not block: a writable socket may still take only part.
        std::size_t length = filled - position;
        if (rateLimit_) length = std::min(length, rateLimit_->chunk());
        Socket::IoResult result = data.send(buffer.data() + position, length, waitLimit());
        if (result.status == Socket::IoStatus::failed || result.status == Socket::IoStatus::closed) break;
        full = result.status == Socket::IoStatus::wouldBlock || result.count < length;
        position += result.count;
        total += result.count;
        if (rateLimit_) rateLimit_->spend(result.count);
        if (progress) progress(total);
        if (result.count > 0) deadline = Clock::now() + timeoutDuration();
        if (endOfStream) break;
    }
    if (!endOfStream) throw FTPException("420", "CLIENT: Timeout when sending data");
    return total;
}
