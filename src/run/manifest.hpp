#pragma once
// The manifest kept on the server beside an upload: each file's SHA-256, one line a file
// in the form sha256sum writes and checks ("<hex>  <relative/path>\n").
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

// A manifest is some 100 bytes a file; far beyond any tree this program is run on.
inline constexpr std::size_t maxManifestBytes = 64 * 1024 * 1024;

struct Manifest {
    std::map<std::string, std::string> hashes;  // relative path ("/" separators) -> 64 lowercase hex
};

// The manifest's lines that can be trusted. The text may be missing, cut off, from another
// tree or written by someone else, so a doubtful line is skipped rather than guessed at:
// only "<64 lowercase hex>  <path>" (or " *" for the binary marker) with a clean path, a
// complete last line, and a path given once.
Manifest parseManifest(std::string_view text);

// Sorted by path; entries parseManifest would not take back are left out.
std::string formatManifest(const Manifest& manifest);

// Relative and plain: not empty, at most 4096 bytes, valid UTF-8, no "\", no control
// character, no empty, "." or ".." component (so no leading or trailing "/").
bool manifestPathIsClean(std::string_view path);
