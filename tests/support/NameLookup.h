// Whether a host name resolves here. A bare system (a fresh container, a
// debootstrap root) may have no /etc/hosts, so not even "localhost"
// resolves; the tests that need the name skip with the reason instead of
// failing.
#pragma once

#include <netdb.h>
#include <string>

// Empty when `name` resolves; otherwise the reason to give for a skip.
inline std::string UnresolvedNameReason(const std::string& name) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (list) ::freeaddrinfo(list);
    if (error == 0) return {};
    return "'" + name + "' does not resolve on this machine (" + ::gai_strerror(error) +
           "; /etc/hosts names it on most systems)";
}
