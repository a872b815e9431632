#include "net/net_host.hpp"

#include <winsock2.h>

#include <cstring>
#include <mutex>

std::vector<IPv4Address> NetHost::systemResolve(const std::string& host)
{
    // gethostbyname returns a per-thread static result; one lookup at a time.
    static std::mutex lookupLock;
    std::lock_guard<std::mutex> guard(lookupLock);

    char name[1024];
    std::memcpy(name, host.c_str(), host.size() + 1);
    std::vector<IPv4Address> result;
    const hostent* entry = gethostbyname(name);
    if (!entry || entry->h_addrtype != AF_INET || entry->h_length != 4) return result;
    for (char** item = entry->h_addr_list; item && *item; ++item) {
        in_addr in;
        std::memcpy(&in, *item, sizeof in);
        result.emplace_back(ntohl(in.s_addr), 0);
    }
    return result;
}
