// Command lines out, replies in: the layer every FTP operation is written with.
#include <algorithm>
#include <chrono>

#include "ftp/ftp_connection.hpp"

namespace {
using Clock = std::chrono::steady_clock;

bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

void appendCapped(std::string& message, const std::string& text, std::size_t limit)
{
    if (message.size() >= limit) return;
    message.append(text, 0, limit - message.size());
}
}

FTPConnection::FTPConnection() = default;

// Only the socket is released: a QUIT here could block a destructor for a whole time-out.
// Runs end their sessions with an explicit close().
FTPConnection::~FTPConnection() = default;

void FTPConnection::raiseClientError(const std::string& message) { throw FTPException("420", "Exception: " + message); }

void FTPConnection::raiseReplyError(const FtpReply& reply)
{
    if (isSilence(reply)) raiseSilence();
    throw FTPException(reply);
}

void FTPConnection::raiseSilence()
{
    // Another try would meet the same refusal.
    if (!tlsRefusal().empty()) throw TlsError(tlsRefusal());
    // A 4xx code: a lost or silent connection may well work on the next try.
    if (lost() || !connected()) throw FTPException("421", "connection closed by the server");
    const std::int64_t ticks = timeout();
    if (ticks <= 0) throw FTPException("420", "time-out of 0 s");
    const std::string wait = ticks % 10'000'000 == 0 ? std::to_string(ticks / 10'000'000) + " s"
                                                     : std::to_string(ticks / 10'000) + " ms";
    throw FTPException("420", "no reply within " + wait);
}

void FTPConnection::issueCommand(const std::string& verb, const std::vector<std::string>& arguments)
{
    sendCommands(commandLine(verb, arguments));
}

void FTPConnection::sendCommands(std::string_view lines, bool withHeldTimes)
{
    if (!sentAhead_.empty()) lines = withoutSentAhead(lines);
    if (lines.empty()) return;
    if (outOfStep() && !resynchronise()) raiseSilence();
    if (pendingTimes_.empty() || !withHeldTimes) return sendPipelined(lines);
    // In the same write, ahead of the lines: their answers come first, and go.
    std::string batch = std::move(pendingTimes_);
    pendingTimes_.clear();
    trailing_ += static_cast<std::size_t>(std::count(batch.begin(), batch.end(), '\n'));
    batch += lines;
    sendPipelined(batch);
}

void FTPConnection::forgetOwed() noexcept
{
    owed_ = 0;
    trailing_ = 0;
    sentAhead_.clear();
    outOfStep_ = false;
}

std::string_view FTPConnection::withoutSentAhead(std::string_view lines)
{
    while (!sentAhead_.empty() && !lines.empty()) {
        const std::string_view line = lines.substr(0, lines.find('\n') + 1);
        // Lines sent ahead of a command that did not come answer nothing anyone waits for.
        while (!sentAhead_.empty() && sentAhead_.front() != line) {
            sentAhead_.pop_front();
            ++trailing_;
        }
        if (sentAhead_.empty()) break;
        sentAhead_.pop_front();
        lines.remove_prefix(line.size());
    }
    return lines;
}

void FTPConnection::sendPipelined(std::string_view lines)
{
    for (char c : lines)
        if (c == '\n') ++owed_;
    sendBytes(lines);
}

std::string FTPConnection::commandLine(const std::string& verb, const std::vector<std::string>& arguments)
{
    std::string line = verb;
    for (const auto& argument : arguments) {
        // A line break in a file name would otherwise start a second command.
        if (argument.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            throw FTPException("501", "CLIENT: Invalid character in command argument");
        line += ' ';
        line += argument;
    }
    line += "\r\n";
    return line;
}

FtpReply FTPConnection::settle(const FtpReply& reply)
{
    // A preliminary reply (1xx) leaves its command waiting for the final one.
    if (!reply.code.empty() && reply.code[0] != '1' && owed_ > 0) --owed_;
    return reply;
}

FtpReply FTPConnection::readReply()
{
    // The answers to commands sent without waiting come first, and go.
    while (trailing_ > 0) {
        --trailing_;
        const FtpReply dropped = readOneReply();
        if (isSilence(dropped)) {
            trailing_ = 0;
            return dropped;
        }
    }
    return readOneReply();
}

FtpReply FTPConnection::readOneReply()
{
    const auto deadline = Clock::now() + maxReplyTimeouts * timeoutDuration();
    FtpReply reply;
    bool haveFirstLine = false;
    std::size_t lines = 0;
    for (;;) {
        if (haveFirstLine && (Clock::now() >= deadline || lines >= maxReplyLines)) abandonReply();
        std::string line = receiveLine();
        if (lastLineEnd() == LineEnd::complete) ++lines;
        const bool closed = lastLineEnd() == LineEnd::closed;
        if (!line.empty()) traceLine("< " + line);
        if (closed) traceLine("connection closed by the server");
        if (!haveFirstLine) {
            // Nothing usable arrived: "500" with no text stands for silence.
            if (line.size() <= 4) {
                reply.code = "500";
                reply.message.clear();
                // A reply that was due and did not come may still come, as the answer
                // to whatever is sent next.
                if (owed_ > 0) outOfStep_ = true;
                return reply;
            }
            reply.code = line.substr(0, 3);
            appendCapped(reply.message, line.substr(4), maxReplyLength);
            haveFirstLine = true;
        } else {
            // A dropped connection ends the reply; waiting longer cannot bring the rest.
            if (closed && line.empty()) return settle(reply);
            appendCapped(reply.message, "\n", maxReplyLength);
            if (line.size() > 4 && startsWith(line, reply.code))
                appendCapped(reply.message, line.substr(4), maxReplyLength);
            else if (line.size() > 2 && line[0] == ' ')
                appendCapped(reply.message, line.substr(1), maxReplyLength);
            else
                appendCapped(reply.message, line, maxReplyLength);
        }
        if (line.size() > 4 && startsWith(line, reply.code) && line[3] == ' ') return settle(reply);
        if (closed) return settle(reply);
    }
}

void FTPConnection::abandonReply()
{
    const std::int64_t seconds = maxReplyTimeouts * timeout() / 10'000'000;
    const std::string why = "reply without end: not complete within " + std::to_string(maxReplyLines) +
                            " lines or " + std::to_string(seconds) + " s";
    traceLine(why + "; connection closed");
    forgetOwed();
    closeControlSocket();
    throw FTPException("421", why);
}

FtpReply FTPConnection::expectReply(const std::string& code)
{
    FtpReply reply = readReply();
    if (code.size() != 3 || reply.code != code) raiseReplyError(reply);
    return reply;
}
