#pragma once
// Strict UTF-8: the shortest form only, no surrogates, nothing past U+10FFFF.
#include <cstddef>
#include <string>
#include <string_view>

// Bytes of the well-formed sequence starting at `at` (1 to 4), or 0 when the byte there
// does not start one (a stray continuation, an overlong or truncated form).
std::size_t utf8SequenceLength(std::string_view text, std::size_t at);
bool isValidUtf8(std::string_view text);
// `text` with each byte that is not part of a well-formed sequence written as "\xNN", for
// a line about a name that is not UTF-8.
std::string withInvalidBytesShown(std::string_view text);
