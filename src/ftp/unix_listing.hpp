#pragma once
// LIST output in the "ls -l" form most servers give, for servers without MLSD.
#include <string_view>
#include <vector>

#include "ftp/ftp_connection.hpp"

// Reads `listing` into `entries` (cleared first): names byte for byte, sizes of files,
// no times (ls gives no year for recent files and no seconds). "." and ".." are left out,
// links lose their " -> target" and, like devices, count as `other`.
// Returns false, with `entries` empty, when any line other than an empty one or "total N"
// does not read: a listing that cannot be understood must not pass for an empty folder.
// Servers hide dot-files from a plain LIST; the caller asks with "LIST -a" to see them.
// The listing's line from `start` on, without its CR LF (or LF); `start` moves past it.
// False at the end of the listing.
bool nextListingLine(std::string_view listing, std::size_t& start, std::string_view& line);

bool parseUnixListing(std::string_view listing, std::vector<RemoteEntry>& entries);
