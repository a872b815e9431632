#pragma once
// An IPv4 address and port, held in host byte order.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class IPv4Address {
public:
    IPv4Address() = default;
    IPv4Address(std::uint32_t address, std::uint16_t port) : address_(address), port_(port) {}

    // Strict dotted-quad text ("a.b.c.d", each 0..255); nothing else is accepted.
    static std::optional<IPv4Address> parse(std::string_view dotted, std::uint16_t port = 0);
    static IPv4Address any(std::uint16_t port = 0) { return IPv4Address(0, port); }
    static IPv4Address loopback(std::uint16_t port = 0) { return IPv4Address(0x7F000001u, port); }

    std::uint32_t address() const { return address_; }
    std::uint16_t port() const { return port_; }
    IPv4Address withPort(std::uint16_t port) const { return IPv4Address(address_, port); }
    // The address byte at position 0..3, most significant first.
    std::uint8_t byte(int index) const { return static_cast<std::uint8_t>(address_ >> (8 * (3 - index))); }

    std::string hostText() const;  // "a.b.c.d"
    std::string toString() const;  // "a.b.c.d:port"

    friend bool operator==(const IPv4Address&, const IPv4Address&) = default;

private:
    std::uint32_t address_ = 0;
    std::uint16_t port_ = 0;
};
