#include "net/ip_address.hpp"

namespace {
std::optional<std::uint32_t> parseDotted(std::string_view dotted)
{
    std::uint32_t address = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= dotted.size() || dotted[pos] != '.') return std::nullopt;
            ++pos;
        }
        std::size_t start = pos;
        unsigned value = 0;
        while (pos < dotted.size() && dotted[pos] >= '0' && dotted[pos] <= '9' && pos - start < 3) {
            value = value * 10 + static_cast<unsigned>(dotted[pos] - '0');
            ++pos;
        }
        if (pos == start || value > 255) return std::nullopt;
        address = (address << 8) | value;
    }
    if (pos != dotted.size()) return std::nullopt;
    return address;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
    return -1;
}

// Colon-separated groups of 1..4 hex digits; the last may be a dotted quad (two groups)
// where `dottedTail` allows. Empty text is no groups.
bool parseGroups(std::string_view text, std::vector<std::uint16_t>& groups, bool dottedTail)
{
    if (text.empty()) return true;
    for (std::size_t start = 0;;) {
        const std::size_t colon = text.find(':', start);
        const std::string_view piece = text.substr(start, colon == std::string_view::npos ? colon : colon - start);
        if (colon == std::string_view::npos && dottedTail && piece.find('.') != std::string_view::npos) {
            auto v4 = parseDotted(piece);
            if (!v4) return false;
            groups.push_back(static_cast<std::uint16_t>(*v4 >> 16));
            groups.push_back(static_cast<std::uint16_t>(*v4 & 0xFFFFu));
            return true;
        }
        if (piece.empty() || piece.size() > 4) return false;
        unsigned value = 0;
        for (char c : piece) {
            const int digit = hexValue(c);
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        groups.push_back(static_cast<std::uint16_t>(value));
        if (colon == std::string_view::npos) return true;
        start = colon + 1;
    }
}

std::optional<IpAddress::Bytes6> parseV6(std::string_view text)
{
    std::vector<std::uint16_t> head, tail;
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        if (!parseGroups(text, head, true) || head.size() != 8) return std::nullopt;
    } else {
        if (text.find("::", gap + 1) != std::string_view::npos) return std::nullopt;
        if (!parseGroups(text.substr(0, gap), head, false) || !parseGroups(text.substr(gap + 2), tail, true))
            return std::nullopt;
        if (head.size() + tail.size() > 7) return std::nullopt;
        head.resize(8 - tail.size(), 0);
        head.insert(head.end(), tail.begin(), tail.end());
    }
    IpAddress::Bytes6 bytes{};
    for (std::size_t i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(head[i] >> 8);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(head[i] & 0xFF);
    }
    return bytes;
}

std::string dottedText(std::uint32_t address)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) text += '.';
        text += std::to_string((address >> (8 * (3 - i))) & 0xFFu);
    }
    return text;
}

std::string hexText(unsigned value)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return text;
}

std::string v6Text(const IpAddress::Bytes6& bytes)
{
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    // An IPv4-mapped address reads as the IPv4 address it stands for.
    if (groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 && groups[4] == 0 && groups[5] == 0xFFFF)
        return "::ffff:" + dottedText(static_cast<std::uint32_t>(groups[6] << 16 | groups[7]));
    // The longest run of two or more zero groups (the first of equals) becomes "::".
    int bestStart = -1, bestLength = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j > i ? j : i + 1;
    }
    std::string text;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        text += hexText(groups[i]);
    }
    return text;
}
}

std::optional<IpAddress> IpAddress::parse(std::string_view text, std::uint16_t port)
{
    if (auto dotted = parseDotted(text)) return IpAddress(*dotted, port);
    // The longest IPv6 text is 45 characters; anything without a colon is no IPv6 address.
    if (text.size() > 45 || text.find(':') == std::string_view::npos) return std::nullopt;
    if (auto bytes = parseV6(text)) return IpAddress(*bytes, port);
    return std::nullopt;
}

IpAddress IpAddress::loopback6(std::uint16_t port)
{
    Bytes6 bytes{};
    bytes[15] = 1;
    return IpAddress(bytes, port);
}

std::vector<std::uint8_t> IpAddress::bytes() const
{
    if (isV6()) return {v6_.begin(), v6_.end()};
    return {static_cast<std::uint8_t>(v4_ >> 24), static_cast<std::uint8_t>(v4_ >> 16),
            static_cast<std::uint8_t>(v4_ >> 8), static_cast<std::uint8_t>(v4_)};
}

std::string IpAddress::hostText() const { return isV6() ? v6Text(v6_) : dottedText(v4_); }

std::string IpAddress::toString() const
{
    const std::string host = hostText();
    return (isV6() ? "[" + host + "]" : host) + ":" + std::to_string(port_);
}

std::string_view withoutBrackets(std::string_view host)
{
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}
