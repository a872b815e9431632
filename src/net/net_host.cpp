#include "net/net_host.hpp"

#include "net/net_exception.hpp"

std::vector<IPv4Address> NetHost::resolve(const std::string& host)
{
    // An empty name would resolve to the local machine on some platforms.
    if (host.empty() || host.size() > 1023) return {};
    if (auto dotted = IPv4Address::parse(host)) return {*dotted};
    return systemResolve(host);
}

IPv4Address NetHost::resolveFirst(const std::string& host, std::uint16_t port)
{
    std::vector<IPv4Address> addresses = resolve(host);
    if (addresses.empty()) throw AddressException("Unable to resolve host '" + host + "'");
    return addresses.front().withPort(port);
}
