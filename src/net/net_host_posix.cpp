#include "net/net_host.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <mutex>

std::vector<IPv4Address> NetHost::systemResolve(const std::string& host)
{
    // getaddrinfo is thread-safe, but one lookup at a time keeps resolver load and
    // ordering behaviour the same on every platform.
    static std::mutex lookupLock;
    std::lock_guard<std::mutex> guard(lookupLock);

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    std::vector<IPv4Address> result;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return result;
    for (addrinfo* entry = list; entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || !entry->ai_addr) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        IPv4Address address(ntohl(in->sin_addr.s_addr), 0);
        bool seen = false;
        for (const auto& known : result) seen = seen || known == address;
        if (!seen) result.push_back(address);
    }
    freeaddrinfo(list);
    return result;
}
