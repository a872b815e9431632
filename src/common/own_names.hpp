#pragma once
// The names this program keeps on the server beside an upload. A local file of such a name
// never takes part, and a remote entry of such a name is never taken for a gone file.
#include <string>
#include <string_view>

// The content manifest of --checksum.
inline constexpr std::string_view manifestName = ".ftpupload-manifest";
// The folder whose creation (MKD) claims the remote folder for one deploy at a time.
inline constexpr std::string_view lockName = ".ftpupload-lock";
// What a staged deploy that could not commit knows of the temporaries it left: their SHA-256,
// for a next run on a server that cannot hash files.
inline constexpr std::string_view stagedName = ".ftpupload-staged";
// What --atomic appends to "." + NAME for the temporary a file is stored under.
inline constexpr std::string_view partSuffix = ".ftpupload-part";

// ".NAME.ftpupload-part": the temporary of an atomic store (a leftover of an interrupted run).
bool isPartName(std::string_view name);
// Where --atomic keeps a file's old version while the new one is renamed into place on a
// server that never renames onto a file: the temporary's own temporary, "..NAME.ftpupload-part.ftpupload-part",
// a name no selected file's temporary can have, as a temporary is never selected itself.
std::string asideNameOf(std::string_view remotePath);
// The manifest, the staged record, the lock, or a temporary.
bool isOwnName(std::string_view name);
