#include "run/verify.hpp"

#include <optional>

#include "ftp/ftp.hpp"

namespace {
[[noreturn]] void mismatch(const std::string& remotePath, const std::string& what, const std::string& server,
                           const std::string& sent)
{
    throw FTPException("420", "verify " + remotePath + ": the server's " + what + " is " + server +
                                  ", the bytes sent have " + sent);
}
}

std::string verifyStored(FTP& client, const std::string& remotePath, const std::string& sentHash,
                         std::uint64_t sentBytes)
{
    // A server that will not hash this one file (too large for it, say) still tells its size.
    if (client.hashesFiles())
        if (const std::optional<std::string> held = client.remoteSha256(remotePath)) {
            if (*held != sentHash) mismatch(remotePath, "SHA-256", *held, sentHash);
            return "sha256";
        }
    const std::optional<std::uint64_t> size = client.remoteSize(remotePath);
    if (!size) mismatch(remotePath, "size", "not told", std::to_string(sentBytes) + " bytes");
    if (*size != sentBytes)
        mismatch(remotePath, "size", std::to_string(*size) + " bytes", std::to_string(sentBytes) + " bytes");
    return "size";
}
