#pragma once
// The content hash a remote manifest records for a local file.
#include <string>

// SHA-256 of the file at `nativePath` ("\" separators), as 64 lowercase hex digits.
// Raises IOException as LocalFile does when the file cannot be opened or read.
std::string hashLocalFile(const std::string& nativePath);
