#pragma once
// Names compared without regard to letter case, as servers that fold case compare them:
// ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic capitals map to their small letters.
// Bytes that are not well-formed UTF-8 are kept as they are.
#include <string>
#include <string_view>

std::string caseFolded(std::string_view name);
