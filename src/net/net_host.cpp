#include "net/net_host.hpp"

#include <mutex>

#include "net/net_exception.hpp"
#include "net/socket_platform.hpp"

std::vector<IpAddress> NetHost::resolve(const std::string& host)
{
    // An empty name would resolve to the local machine on some platforms.
    if (host.empty() || host.size() > 1023) return {};
    if (auto literal = IpAddress::parse(host)) return {*literal};
    return systemResolve(host);
}

IpAddress NetHost::resolveFirst(const std::string& host, std::uint16_t port)
{
    std::vector<IpAddress> addresses = resolve(host);
    if (addresses.empty()) throw AddressException("Unable to resolve host '" + host + "'");
    return addresses.front().withPort(port);
}

std::vector<IpAddress> NetHost::systemResolve(const std::string& host)
{
    // getaddrinfo is thread-safe, but one lookup at a time keeps resolver load and
    // ordering behaviour the same on every platform.
    static std::mutex lookupLock;
    std::lock_guard<std::mutex> guard(lookupLock);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    std::vector<IpAddress> result;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return result;
    for (addrinfo* entry = list; entry; entry = entry->ai_next) {
        std::optional<IpAddress> address = entry->ai_addr ? sockapi::fromNative(entry->ai_addr) : std::nullopt;
        if (!address) continue;
        bool seen = false;
        for (const auto& known : result) seen = seen || known == address->withPort(0);
        if (!seen) result.push_back(address->withPort(0));
    }
    freeaddrinfo(list);
    return result;
}
