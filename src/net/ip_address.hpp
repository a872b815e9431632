#pragma once
// An IPv4 or IPv6 address and a port. IPv4 is held in host byte order, IPv6 as its
// 16 bytes in network order (with the interface scope of a link-local address).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class IpAddress {
public:
    enum class Family { v4, v6 };
    using Bytes6 = std::array<std::uint8_t, 16>;

    IpAddress() = default;
    IpAddress(std::uint32_t v4, std::uint16_t port) : v4_(v4), port_(port) {}
    IpAddress(const Bytes6& v6, std::uint16_t port, std::uint32_t scope = 0)
        : family_(Family::v6), v6_(v6), port_(port), scope_(scope)
    {
    }

    // A strict dotted quad ("a.b.c.d", each 0..255), or IPv6 text in the forms of
    // RFC 4291 (hex groups, one "::", a dotted tail), without brackets or a zone.
    static std::optional<IpAddress> parse(std::string_view text, std::uint16_t port = 0);
    static IpAddress any(std::uint16_t port = 0) { return IpAddress(0, port); }
    static IpAddress loopback(std::uint16_t port = 0) { return IpAddress(0x7F000001u, port); }
    static IpAddress loopback6(std::uint16_t port = 0);

    Family family() const { return family_; }
    bool isV6() const { return family_ == Family::v6; }
    // The IPv4 address; 0 for IPv6.
    std::uint32_t address() const { return v4_; }
    // The IPv6 bytes; all zero for IPv4.
    const Bytes6& bytes6() const { return v6_; }
    std::uint32_t scope() const { return scope_; }
    // The address in network order: 4 or 16 bytes (as certificates hold IP names).
    std::vector<std::uint8_t> bytes() const;
    std::uint16_t port() const { return port_; }
    IpAddress withPort(std::uint16_t port) const
    {
        IpAddress copy = *this;
        copy.port_ = port;
        return copy;
    }

    // "a.b.c.d", or IPv6 in the canonical text of RFC 5952 ("::1", "2001:db8::7").
    std::string hostText() const;
    // "a.b.c.d:port", or "[v6]:port".
    std::string toString() const;

    friend bool operator==(const IpAddress&, const IpAddress&) = default;

private:
    Family family_ = Family::v4;
    std::uint32_t v4_ = 0;
    Bytes6 v6_{};
    std::uint16_t port_ = 0;
    std::uint32_t scope_ = 0;
};

// A host as a URL writes an IPv6 literal, "[::1]", without its brackets; any other text as it is.
std::string_view withoutBrackets(std::string_view host);
