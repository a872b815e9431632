#pragma once
// Host-name lookup: IPv4 addresses only, in the order the resolver gives them.
#include <string>
#include <vector>

#include "net/ipv4_address.hpp"

class NetHost {
public:
    // The host's IPv4 addresses with port 0; empty when the name does not resolve.
    // A dotted IPv4 text resolves to itself. An empty name or one longer than
    // 1023 characters resolves to nothing, without asking the system.
    static std::vector<IPv4Address> resolve(const std::string& host);

private:
    static std::vector<IPv4Address> systemResolve(const std::string& host);
};
