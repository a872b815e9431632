#include "ftp/passive_reply.hpp"

namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// One run of decimal digits at `pos`: its text and its value modulo 65536 (all that
// the port arithmetic needs), without overflow however long the run is.
struct Number {
    std::string_view text;
    std::uint32_t low16 = 0;
};

std::optional<Number> readNumber(std::string_view s, std::size_t& pos)
{
    std::size_t start = pos;
    std::uint32_t value = 0;
    while (pos < s.size() && isDigit(s[pos])) {
        value = (value * 10 + static_cast<std::uint32_t>(s[pos] - '0')) & 0xFFFFu;
        ++pos;
    }
    if (pos == start) return std::nullopt;
    return Number{s.substr(start, pos - start), value};
}

// "," then blanks then a number.
std::optional<Number> readNextNumber(std::string_view s, std::size_t& pos)
{
    if (pos >= s.size() || s[pos] != ',') return std::nullopt;
    std::size_t at = pos + 1;
    while (at < s.size() && isBlank(s[at])) ++at;
    auto number = readNumber(s, at);
    if (number) pos = at;
    return number;
}
}

std::optional<PassiveTarget> parsePasvReply(std::string_view message)
{
    // A digit run can only end where a non-digit begins, so trying each run's first
    // digit as a start gives the same leftmost match as a backtracking search.
    for (std::size_t start = 0; start < message.size(); ++start) {
        if (!isDigit(message[start]) || (start > 0 && isDigit(message[start - 1]))) continue;
        std::size_t pos = start;
        Number numbers[6];
        bool matched = true;
        for (int i = 0; i < 5 && matched; ++i) {
            auto number = i == 0 ? readNumber(message, pos) : readNextNumber(message, pos);
            if (number)
                numbers[i] = *number;
            else
                matched = false;
        }
        if (!matched) continue;
        std::uint32_t low = 0;
        if (auto number = readNextNumber(message, pos)) low = number->low16;
        PassiveTarget target;
        for (int i = 0; i < 4; ++i) {
            if (i > 0) target.host += '.';
            target.host += numbers[i].text;
        }
        target.port = static_cast<std::uint16_t>((numbers[4].low16 * 256u + low) & 0xFFFFu);
        return target;
    }
    return std::nullopt;
}

std::optional<std::uint16_t> parseEpsvReply(std::string_view message)
{
    for (std::size_t open = message.find('('); open != std::string_view::npos; open = message.find('(', open + 1)) {
        std::size_t pos = open + 1;
        bool delimiters = pos + 3 <= message.size();
        for (std::size_t i = 0; delimiters && i < 3; ++i) delimiters = !isDigit(message[pos + i]);
        if (!delimiters) continue;
        pos += 3;
        auto number = readNumber(message, pos);
        if (!number || pos + 2 > message.size() || isDigit(message[pos]) || message[pos + 1] != ')') continue;
        return static_cast<std::uint16_t>(number->low16);
    }
    return std::nullopt;
}

std::uint16_t parseSpsvReply(std::string_view message)
{
    std::size_t pos = 0;
    while (pos < message.size() && (message[pos] == ' ' || message[pos] == '\t' || message[pos] == '+' ||
                                    message[pos] == '-'))
        ++pos;
    unsigned base = 10;
    if (pos + 1 < message.size() && message[pos] == '0') {
        char prefix = static_cast<char>(message[pos + 1] | 0x20);
        if (prefix == 'x') base = 16;
        if (prefix == 'b') base = 2;
        if (prefix == 'o') base = 8;
        if (base != 10) pos += 2;
    }
    std::uint32_t value = 0;
    for (; pos < message.size(); ++pos) {
        char c = message[pos];
        unsigned digit;
        if (isDigit(c))
            digit = static_cast<unsigned>(c - '0');
        else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
            digit = static_cast<unsigned>((c | 0x20) - 'a' + 10);
        else
            break;
        if (digit >= base) break;
        value = (value * base + digit) & 0xFFFFu;
    }
    return static_cast<std::uint16_t>(value);
}
