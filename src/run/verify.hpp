#pragma once
// --verify: a store counts only once the server says it holds what was sent, by its own
// SHA-256 of the file where it offers one, else by its size.
#include <cstdint>
#include <string>

class FTP;

// The check that was made: "sha256" or "size". A copy that differs, or a size the server
// cannot tell, raises FTPException "420" naming both sides: a failure that may pass, so the
// next try sends the file again.
std::string verifyStored(FTP& client, const std::string& remotePath, const std::string& sentHash,
                         std::uint64_t sentBytes);
