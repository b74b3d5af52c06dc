// The units of one run: the --targets-file list, the key that tells two
// entries naming the same unit apart from two units, and whether an address
// is on this machine.
#pragma once

#ifdef _WIN32
#include "platform/Win32Types.h"
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/File.h"

namespace target_list {

// A list of units is a few lines; anything much bigger is the wrong file.
constexpr uint64_t kMaxTargetsFileBytes = 1 << 20;

// One address per line; blank lines and lines starting with '#' are skipped,
// and so is a UTF-8 byte-order mark. False, with the reason, for a file that
// cannot be read or that names no unit: a run must never fall back to the
// saved address because its list came out empty.
inline bool ReadTargetsFile(const std::string& path, std::vector<std::string>* targets, std::string* why) {
    const std::string kind = NonRegularFileKind(path);
    if (!kind.empty()) return *why = "it is " + kind + ", not a regular file", false;
    CImageFile file;
    CFileException error(0, 0, path);
    if (!file.Open(path, &error)) return *why = std::strerror(error.m_lOsError), false;
    std::string text;
    try {
        if (file.GetLength() > kMaxTargetsFileBytes)
            return *why = "it is larger than a list of units can be (1 MiB)", false;
        text.resize(static_cast<size_t>(kMaxTargetsFileBytes) + 1);
        text.resize(file.Read(reinterpret_cast<uint8_t*>(text.data()), static_cast<uint32_t>(text.size())));
    } catch (const CFileException& e) {
        return *why = std::strerror(e.m_lOsError), false;
    }
    if (text.size() > kMaxTargetsFileBytes) return *why = "it is larger than a list of units can be (1 MiB)", false;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    std::vector<std::string> found;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        line.erase(0, line.find_first_not_of(" \t\r"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (!line.empty() && line[0] != '#') found.push_back(line);
    }
    if (found.empty()) return *why = "it names no unit (only blank lines and comments)", false;
    targets->insert(targets->end(), found.begin(), found.end());
    return true;
}

// The same for every way of writing one unit: a numeric address in its
// standard form ("::0:1" and "::1" alike), a host name in lower case (names
// are not case-sensitive), and the port.
inline std::string UnitKey(const std::string& host, uint16_t port) {
    std::string canonical = host;
    unsigned char raw[sizeof(in6_addr)];
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_pton(AF_INET, host.c_str(), raw) == 1)
        canonical = ::inet_ntop(AF_INET, raw, text, sizeof text);
    else if (::inet_pton(AF_INET6, host.c_str(), raw) == 1)
        canonical = ::inet_ntop(AF_INET6, raw, text, sizeof text);
    else
        std::transform(canonical.begin(), canonical.end(), canonical.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return canonical + "|" + std::to_string(port);
}

inline bool IsLoopbackAddress(const sockaddr* a) {
    if (a->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr) >> 24) == 127;
    if (a->sa_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
    }
    return false;
}

// True when every address the host stands for is on this machine's loopback
// (127.0.0.0/8, ::1). A numeric address is judged as it is written; a name
// is resolved as the connection would resolve it, and one result elsewhere,
// or none, is enough to say no.
inline bool IsLoopbackHost(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) {
        if (list) ::freeaddrinfo(list);
        return false;
    }
    bool all = true;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) all = all && IsLoopbackAddress(ai->ai_addr);
    ::freeaddrinfo(list);
    return all;
}

}  // namespace target_list
