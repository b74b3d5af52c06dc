#include "link/SocketDebugInfo.h"

#include "platform/DebugOutput.h"
#include "platform/Text.h"

namespace {
uint32_t GetLe32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
constexpr int kDeviceIdAt = 4, kParam1At = 15, kParam2At = 19, kParam3At = 23, kPortAt = 33;
}  // namespace

std::string CSocketDebugInfo::FitAddressField(const std::string& text) {
    std::u16string w = Utf8ToUtf16(text);
    if (w.size() <= MAX_ADDRESS_CHARS) return text;
    w.resize(MAX_ADDRESS_CHARS);
    if (w.back() >= 0xD800 && w.back() <= 0xDBFF) w.pop_back();
    return Utf16ToUtf8(w);
}

CSocketDebugInfo::CSocketDebugInfo() = default;

uint64_t CSocketDebugInfo::GetDeviceId48() {
    uint64_t v = 0;
    for (int i = 5; i >= 0; --i) v = v << 8 | m_DeviceRecord[kDeviceIdAt + i];
    return v;
}

uint16_t CSocketDebugInfo::GetRemotePort() {
    return static_cast<uint16_t>(m_DeviceRecord[kPortAt] | m_DeviceRecord[kPortAt + 1] << 8);
}

void CSocketDebugInfo::SetRemotePort(uint16_t port) {
    m_DeviceRecord[kPortAt] = static_cast<uint8_t>(port);
    m_DeviceRecord[kPortAt + 1] = static_cast<uint8_t>(port >> 8);
}

void CSocketDebugInfo::SetDeviceParam1(uint32_t v) { PutLe32(m_DeviceRecord + kParam1At, v); }
uint32_t CSocketDebugInfo::GetDeviceParam1() { return GetLe32(m_DeviceRecord + kParam1At); }
void CSocketDebugInfo::SetDeviceParam2(uint32_t v) { PutLe32(m_DeviceRecord + kParam2At, v); }
uint32_t CSocketDebugInfo::GetDeviceParam2() { return GetLe32(m_DeviceRecord + kParam2At); }
void CSocketDebugInfo::SetDeviceParam3(uint32_t v) { PutLe32(m_DeviceRecord + kParam3At, v); }
uint32_t CSocketDebugInfo::GetDeviceParam3() { return GetLe32(m_DeviceRecord + kParam3At); }

void CSocketDebugInfo::SetLocalAddress(const std::string& address) { m_szLocalAddress = FitAddressField(address); }

const char* CSocketDebugInfo::SocketErrorText(uint32_t code) {
    switch (code) {
        case 8: return "WSA_NOT_ENOUGH_MEMORY: A memory allocation failure occurred.\r\n";
        case 10014: return "WSAEFAULT: The nSockAddrLen argument is incorrect.\r\n";
        case 10022: return "WSAEINVAL: nHow is not valid.\r\n";
        case 10024: return "WSAEMFILE: No more file descriptors are available.\r\n";
        case 10035: return "WSAEWOULDBLOCK: The socket is marked as nonblocking and the Receive operation would block.\r\n";
        case 10036: return "WSAEINPROGRESS: A blocking Windows Sockets operation is in progress.\r\n";
        case 10038: return "WSAENOTSOCK: The descriptor is not a socket.\r\n";
        case 10039: return "WSAEDESTADDRREQ: A destination address is required.\r\n";
        case 10040: return "WSAEMSGSIZE: The datagram was too large to fit into the specified buffer and was truncated.\r\n";
        case 10041: return "WSAEPROTOTYPE: The specified port is the wrong type for this socket.\r\n";
        case 10042: return "WSAENOPROTOOPT: The option is unknown or unsupported. In particular, SO_BROADCAST is not supported on sockets of type SOCK_STREAM, while SO_DONTLINGER, SO_KEEPALIVE, SO_LINGER, and SO_OOBINLINE are not supported on sockets of type SOCK_DGRAM.\r\n";
        case 10043: return "WSAEPROTONOSUPPORT: The specified port is not supported.\r\n";
        case 10044: return "WSAESOCKTNOSUPPORT: The specified socket type is not supported in this address family.\r\n";
        case 10045: return "WSAEOPNOTSUPP: MSG_OOB was specified, but the socket is not of type SOCK_STREAM or the referenced socket is not of a type that supports the Listen operation.\r\n";
        case 10047: return "WSAEAFNOSUPPORT: Addresses in the specified family cannot be used with this socket.\r\n";
        case 10048: return "WSAEADDRINUSE: The specified address is already in use.\r\n";
        case 10049: return "WSAEADDRNOTAVAIL: The specified address is not available from the local machine.\r\n";
        case 10050: return "WSAENETDOWN: The Windows Sockets implementation detected that the network subsystem failed.\r\n";
        case 10051: return "WSAENETUNREACH: The network cannot be reached from this host at this time.\r\n";
        case 10052: return "WSAENETRESET: Connection has timed out when SO_KEEPALIVE is set.";
        case 10053: return "WSAECONNABORTED: The virtual circuit was aborted due to timeout or other failure.\r\n";
        case 10054: return "WSAECONNRESET: The virtual circuit was reset by the remote side.\r\n";
        case 10055: return "WSAENOBUFS: No buffer space is available. The socket cannot be connected.\r\n";
        case 10056: return "WSAEISCONN: The socket is already connected.\r\n";
        case 10057: return "WSAENOTCONN: The socket is not connected.\r\n";
        case 10058: return "WSAESHUTDOWN: The socket has been shut down; it is not possible to call Receive on a socket after ShutDown has been invoked with nHow set to 0 or 2.\r\n";
        case 10060: return "WSAETIMEDOUT: Attempt to connect timed out without establishing a connection.\r\n";
        case 10061: return "WSAECONNREFUSED: The attempt to connect was rejected.\r\n";
        case 10093: return "WSANOTINITIALISED: A successful AfxSocketInit must occur before using this API.\r\n";
        case 10109: return "WSATYPE_NOT_FOUND: The pServiceName parameter is not supported for the specified ai_socktype member of the pHints parameter.\r\n";
        case 11001: return "WSAHOST_NOT_FOUND: The name does not resolve for the supplied parameters or the pNodeName and pServiceName parameters were not provided.\r\n";
        case 11002: return "WSATRY_AGAIN: A temporary failure in name resolution occurred.\r\n";
        case 11003: return "WSANO_RECOVERY: A nonrecoverable failure in name resolution occurred.\r\n";
        default: return "";
    }
}

void CSocketDebugInfo::ReportSocketError(uint32_t errorCode, const std::string& operation) {
    DebugOutput("*****\r\n");
    DebugOutput("***** " + operation + " failed.\r\n");
    const char* text = SocketErrorText(errorCode);
    if (*text) {
        DebugOutput(text);
        if (errorCode == 10022) DebugOutput("The socket has not been bound with Bind.\r\n");
    } else {
        DebugOutput("Unknown value returned from " + operation + ".\r\n");
        DebugOutput(Format("GetLastError=%u.\r\n", errorCode));
    }
    DebugOutput("*****\r\n");
}
