#include "app/conversion.hpp"

#include <limits>

#include "common/exception.hpp"

namespace {
ConversionException notConvertible(std::string_view shown, std::string_view from, std::string_view to)
{
    return ConversionException("Could not convert `" + std::string(shown) + "` of type " + std::string(from) +
                               " to type " + std::string(to) + ".");
}
}

std::uint32_t parseUnsigned(std::string_view text)
{
    std::size_t at = 0;
    bool negative = false;
    for (; at < text.size(); ++at) {
        char c = text[at];
        if (c == '-') negative = true;
        else if (c == '+') negative = false;
        else if (c != ' ' && c != '\t') break;
    }

    // Unsigned accumulation cannot overflow before the check below catches it.
    constexpr std::uint64_t signedMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t magnitude = 0;
    bool overflow = false;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        std::uint64_t digit = static_cast<std::uint64_t>(text[at] - '0');
        if (magnitude > (signedMax - digit) / 10) overflow = true;
        else magnitude = magnitude * 10 + digit;
    }
    // Too many digits for a signed 64-bit number is refused like any other non-number.
    if (at < text.size() || overflow) throw notConvertible(text, "char[]", "uint");

    if (negative && magnitude != 0)
        throw notConvertible("-" + std::to_string(magnitude), "long", "uint");
    if (magnitude > std::numeric_limits<std::uint32_t>::max())
        throw notConvertible(std::to_string(magnitude), "long", "uint");
    return static_cast<std::uint32_t>(magnitude);
}

bool parseTruth(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (text == "true") return true;
    if (text == "false") return false;
    throw notConvertible(text, "char[]", "bool");
}

std::uint16_t narrowPort(std::uint32_t port)
{
    if (port > std::numeric_limits<std::uint16_t>::max())
        throw notConvertible(std::to_string(port), "uint", "ushort");
    return static_cast<std::uint16_t>(port);
}
