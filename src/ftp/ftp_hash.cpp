// What the server itself says a remote file holds: its SHA-256 (the HASH command, or the
// older XSHA256), or at least its size. A store's own 226 only says the bytes arrived.
#include <cctype>

#include "common/case_fold.hpp"
#include "ftp/ftp_connection.hpp"

namespace {
// HASH's FEAT parameters: "CRC32;MD5;SHA-1*;SHA-256;" (the "*" marks the one in force).
// Whether SHA-256 is among them, and whether it is the one in force.
bool listsSha256(const FtpFeature& feature, bool* inForce)
{
    std::size_t start = 0;
    while (start < feature.parameters.size()) {
        std::size_t end = feature.parameters.find(';', start);
        if (end == std::string::npos) end = feature.parameters.size();
        std::string name = feature.parameters.substr(start, end - start);
        start = end + 1;
        const bool marked = !name.empty() && name.back() == '*';
        if (marked) name.pop_back();
        if (caseFolded(name) == "sha-256") {
            if (inForce) *inForce = marked;
            return true;
        }
    }
    return false;
}

// The digest in the reply's last line (servers may say "Computing ..." first), lowercase;
// empty unless the word at `word` is 64 hex digits. HASH's line is "SHA-256 0-6 HEX name",
// XSHA256's the digest alone.
std::string digestIn(const FtpReply& reply, std::size_t word)
{
    std::string_view line(reply.message);
    if (const std::size_t newline = line.rfind('\n'); newline != std::string_view::npos) line.remove_prefix(newline + 1);
    for (; word > 0; --word) {
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) return {};
        line.remove_prefix(space + 1);
    }
    line = line.substr(0, line.find(' '));
    std::string digest;
    for (char c : line) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        digest += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return digest.size() == 64 ? digest : std::string();
}
}

bool FTPConnection::hashesFiles() const
{
    if (isKnownSupported("XSHA256")) return true;
    for (const FtpFeature& feature : features_)
        if (feature.name == "HASH" && listsSha256(feature, nullptr)) return true;
    return false;
}

std::optional<std::string> FTPConnection::remoteSha256(const std::string& path)
{
    bool viaHash = false;
    for (const FtpFeature& feature : features_) {
        bool inForce = false;
        if (feature.name != "HASH" || !listsSha256(feature, &inForce)) continue;
        if (inForce && hashChoice_ == HashChoice::unknown) hashChoice_ = HashChoice::chosen;
        if (hashChoice_ == HashChoice::unknown) {
            issueCommand("OPTS", {"HASH", "SHA-256"});
            const FtpReply reply = readReply();
            if (isSilence(reply) || reply.code.size() != 3 || reply.code[0] == '4') raiseReplyError(reply);
            hashChoice_ = reply.code == "200" ? HashChoice::chosen : HashChoice::refused;
        }
        viaHash = hashChoice_ == HashChoice::chosen;
    }
    if (!viaHash && !isKnownSupported("XSHA256")) return std::nullopt;
    issueCommand(viaHash ? "HASH" : "XSHA256", {path});
    const FtpReply reply = readReply();
    if (isSilence(reply) || reply.code.size() != 3) raiseReplyError(reply);
    if (reply.code[0] == '5') return std::nullopt;
    if (reply.code[0] != '2') raiseReplyError(reply);
    // A digest that does not read as one is no confirmation of anything.
    const std::string digest = digestIn(reply, viaHash ? 2 : 0);
    if (digest.empty()) raiseReplyError({"451", "unreadable hash reply: " + reply.code + " " + reply.message});
    return digest;
}

std::optional<std::uint64_t> FTPConnection::remoteSize(const std::string& path)
{
    issueCommand("SIZE", {path});
    const FtpReply reply = readReply();
    if (isSilence(reply) || reply.code.size() != 3 || reply.code[0] == '4') raiseReplyError(reply);
    return sizeFrom(reply);
}
