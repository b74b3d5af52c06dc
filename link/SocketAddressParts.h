// What the systems' socket files (link/posix, link/win32) share: sockaddr
// and addrinfo have the same names and members on every system, so taking
// them apart is written once. Include it after the system's socket headers.
#pragma once

#include <cstring>
#include <vector>

#include "link/SocketIo.h"

namespace socket_io {

// The address and port of an IPv4 or IPv6 socket address; false for any
// other family.
inline bool ToEndpoint(const sockaddr_storage& a, CCaptureEndpoint* e) {
    *e = CCaptureEndpoint{};
    if (a.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&a);
        std::memcpy(e->address, &in->sin_addr, 4);
        e->port = ntohs(in->sin_port);
        return true;
    }
    if (a.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
        e->v6 = true;
        std::memcpy(e->address, &in6->sin6_addr, 16);
        e->port = ntohs(in6->sin6_port);
        return true;
    }
    return false;
}

// The IPv4 and IPv6 addresses of a resolver's list, in its order.
inline void AddressesOf(const addrinfo* list, std::vector<CSocketAddress>* addresses) {
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        CSocketAddress a;
        a.v6 = ai->ai_family == AF_INET6;
        a.length = static_cast<uint32_t>(ai->ai_addrlen);
        std::memcpy(a.bytes, ai->ai_addr, ai->ai_addrlen);
        addresses->push_back(a);
    }
}

}  // namespace socket_io
