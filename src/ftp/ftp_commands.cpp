// Command lines out, replies in: the layer every FTP operation is written with.
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

void FTPConnection::raiseReplyError(const FtpReply& reply) { throw FTPException(reply); }

void FTPConnection::issueCommand(const std::string& verb, const std::vector<std::string>& arguments)
{
    sendBytes(commandLine(verb, arguments));
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

FtpReply FTPConnection::readReply()
{
    const auto deadline = Clock::now() + 10 * timeoutDuration();
    FtpReply reply;
    bool haveFirstLine = false;
    for (;;) {
        if (Clock::now() >= deadline) return reply;
        std::string line = receiveLine();
        const bool closed = lastLineEnd() == LineEnd::closed;
        if (!line.empty()) traceLine("< " + line);
        if (closed) traceLine("connection closed by the server");
        if (!haveFirstLine) {
            // Nothing usable arrived: "500" with no text stands for silence.
            if (line.size() <= 4) {
                reply.code = "500";
                reply.message.clear();
                return reply;
            }
            reply.code = line.substr(0, 3);
            appendCapped(reply.message, line.substr(4), maxReplyLength);
            haveFirstLine = true;
        } else {
            // A dropped connection ends the reply; waiting longer cannot bring the rest.
            if (closed && line.empty()) return reply;
            appendCapped(reply.message, "\n", maxReplyLength);
            if (line.size() > 4 && startsWith(line, reply.code))
                appendCapped(reply.message, line.substr(4), maxReplyLength);
            else if (line.size() > 2 && line[0] == ' ')
                appendCapped(reply.message, line.substr(1), maxReplyLength);
            else
                appendCapped(reply.message, line, maxReplyLength);
        }
        if (line.size() > 4 && startsWith(line, reply.code) && line[3] == ' ') return reply;
        if (closed) return reply;
    }
}

FtpReply FTPConnection::expectReply(const std::string& code)
{
    FtpReply reply = readReply();
    if (code.size() != 3 || reply.code != code) raiseReplyError(reply);
    return reply;
}
