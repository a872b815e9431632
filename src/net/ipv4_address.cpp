#include "net/ipv4_address.hpp"

std::optional<IPv4Address> IPv4Address::parse(std::string_view dotted, std::uint16_t port)
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
    return IPv4Address(address, port);
}

std::string IPv4Address::hostText() const
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) text += '.';
        text += std::to_string(byte(i));
    }
    return text;
}

std::string IPv4Address::toString() const { return hostText() + ":" + std::to_string(port_); }
