#pragma once
// Option values turned into numbers and truth values; failures raise ConversionException.
#include <cstdint>
#include <string>
#include <string_view>

// Leading blanks and signs (the last sign counts), then decimal digits, nothing after them.
std::uint32_t parseUnsigned(std::string_view text);
// "true" or "false" in any case.
bool parseTruth(std::string text);
// A control port must fit 16 bits; a larger one is refused rather than cut down.
std::uint16_t narrowPort(std::uint32_t port);
