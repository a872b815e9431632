#include <cstring>

#include "net/socket_platform.hpp"

namespace sockapi {
NativeAddress toNative(const IpAddress& address)
{
    NativeAddress native;
    if (address.isV6()) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&native.storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(address.port());
        std::memcpy(in6->sin6_addr.s6_addr, address.bytes6().data(), 16);
        in6->sin6_scope_id = address.scope();
        native.length = sizeof *in6;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&native.storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(address.port());
        in->sin_addr.s_addr = htonl(address.address());
        native.length = sizeof *in;
    }
    return native;
}

std::optional<IpAddress> fromNative(const sockaddr* address)
{
    if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        IpAddress::Bytes6 bytes;
        std::memcpy(bytes.data(), in6->sin6_addr.s6_addr, 16);
        return IpAddress(bytes, ntohs(in6->sin6_port), in6->sin6_scope_id);
    }
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        return IpAddress(ntohl(in->sin_addr.s_addr), ntohs(in->sin_port));
    }
    return std::nullopt;
}
}
