#pragma once
// Host-name lookup: IPv4 addresses only, in the order the resolver gives them.
#include <cstdint>
#include <string>
#include <vector>

#include "net/ipv4_address.hpp"

class NetHost {
public:
    // The host's IPv4 addresses with port 0; empty when the name does not resolve.
    // A dotted IPv4 text resolves to itself. An empty name or one longer than
    // 1023 characters resolves to nothing, without asking the system.
    static std::vector<IPv4Address> resolve(const std::string& host);
    // The first of them with `port`; none raises AddressException "Unable to resolve host '<host>'".
    static IPv4Address resolveFirst(const std::string& host, std::uint16_t port);

private:
    static std::vector<IPv4Address> systemResolve(const std::string& host);
};
