#pragma once
// Wildcard patterns ("*", "?", "[set]", "[!set]") matched against whole native paths.
#include <string>
#include <string_view>
#include <vector>

// Cut at every "|"; k delimiters give k+1 patterns, empty ones included.
std::vector<std::string> splitPatterns(std::string_view value);
// Equal bytes, or equal after folding ASCII a-z to A-Z.
bool charMatch(unsigned char a, unsigned char b);
bool patternMatch(std::string_view name, std::string_view pattern);
// True when every "[" or "[!" in the pattern has its closing "]".
bool patternWellFormed(std::string_view pattern);
