#pragma once
// Host-name lookup: IPv4 and IPv6 addresses, in the order the resolver gives them.
#include <cstdint>
#include <string>
#include <vector>

#include "net/ip_address.hpp"

class NetHost {
public:
    // The host's addresses with port 0; empty when the name does not resolve. An IPv4
    // or IPv6 literal (without brackets) resolves to itself. An empty name or one longer
    // than 1023 characters resolves to nothing, without asking the system.
    static std::vector<IpAddress> resolve(const std::string& host);
    // The first of them with `port`; none raises AddressException "Unable to resolve host '<host>'".
    static IpAddress resolveFirst(const std::string& host, std::uint16_t port);

private:
    static std::vector<IpAddress> systemResolve(const std::string& host);
};
