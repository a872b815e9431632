#include "net/net_host.hpp"

std::vector<IPv4Address> NetHost::resolve(const std::string& host)
{
    // An empty name would resolve to the local machine on some platforms.
    if (host.empty() || host.size() > 1023) return {};
    if (auto dotted = IPv4Address::parse(host)) return {*dotted};
    return systemResolve(host);
}
