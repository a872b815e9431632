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

bool IPv4Address::isNonPublic() const
{
    auto in = [this](std::uint32_t network, int prefix) {
        std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t(0) << (32 - prefix);
        return (address_ & mask) == network;
    };
    return in(0x00000000u, 8) || in(0x0A000000u, 8) || in(0x7F000000u, 8) || in(0xA9FE0000u, 16) ||
           in(0xAC100000u, 12) || in(0xC0A80000u, 16) || in(0x64400000u, 10);
}
