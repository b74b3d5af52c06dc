#include "platform/ErrorText.h"

#include <cerrno>
#include <map>
#include <netdb.h>

#include "platform/Text.h"

namespace {
// The system texts of the codes the loader can meet.
const std::map<uint32_t, const char*>& Texts() {
    static const std::map<uint32_t, const char*> texts = {
        {0, "The operation completed successfully."},
        {2, "The system cannot find the file specified."},
        {3, "The system cannot find the path specified."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {8, "Not enough memory resources are available to process this command."},
        {87, "The parameter is incorrect."},
        {234, "More data is available."},
        {1009, "The configuration registry database is corrupt."},
        {1013, "The configuration registry key could not be written."},
        {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
        {10009, "The file handle supplied is not valid."},
        {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
        {10014, "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
        {10022, "An invalid argument was supplied."},
        {10024, "Too many open sockets."},
        {10035, "A non-blocking socket operation could not be completed immediately."},
        {10036, "A blocking operation is currently executing."},
        {10037, "An operation was attempted on a non-blocking socket that already had an operation in progress."},
        {10038, "An operation was attempted on something that is not a socket."},
        {10039, "A required address was omitted from an operation on a socket."},
        {10040, "A message sent on a datagram socket was larger than the internal message buffer or some other network limit, or the buffer used to receive a datagram into was smaller than the datagram itself."},
        {10041, "A protocol was specified in the socket function call that does not support the semantics of the socket type requested."},
        {10042, "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt call."},
        {10043, "The requested protocol has not been configured into the system, or no implementation for it exists."},
        {10044, "The support for the specified socket type does not exist in this address family."},
        {10045, "The attempted operation is not supported for the type of object referenced."},
        {10046, "The protocol family has not been configured into the system or no implementation for it exists."},
        {10047, "An address incompatible with the requested protocol was used."},
        {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
        {10049, "The requested address is not valid in its context."},
        {10050, "A socket operation encountered a dead network."},
        {10051, "A socket operation was attempted to an unreachable network."},
        {10052, "The connection has been broken due to keep-alive activity detecting a failure while the operation was in progress."},
        {10053, "An established connection was aborted by the software in your host machine."},
        {10054, "An existing connection was forcibly closed by the remote host."},
        {10055, "An operation on a socket could not be performed because the system lacked sufficient buffer space or because a queue was full."},
        {10056, "A connect request was made on an already connected socket."},
        {10057, "A request to send or receive data was disallowed because the socket is not connected and (when sending on a datagram socket using a sendto call) no address was supplied."},
        {10058, "A request to send or receive data was disallowed because the socket had already been shut down in that direction with a previous shutdown call."},
        {10060, "A connection attempt failed because the connected party did not properly respond after a period of time, or established connection failed because connected host has failed to respond."},
        {10061, "No connection could be made because the target machine actively refused it."},
        {10064, "A socket operation failed because the destination host was down."},
        {10065, "A socket operation was attempted to an unreachable host."},
        {10093, "Either the application has not called WSAStartup, or WSAStartup failed."},
        {10101, "Returned by WSARecv or WSARecvFrom to indicate the remote party has initiated a graceful shutdown sequence."},
        {10109, "The specified class was not found."},
        {11001, "No such host is known."},
        {11002, "This is usually a temporary error during hostname resolution and means that the local server did not receive a response from an authoritative server."},
        {11003, "A non-recoverable error occurred during a database lookup."},
        {11004, "The requested name is valid, but no data of the requested type was found."},
    };
    return texts;
}
}  // namespace

std::string SystemErrorText(uint32_t code) {
    auto it = Texts().find(code);
    if (it == Texts().end()) return Format("Unknown error %u.\r\n", code);
    return std::string(it->second) + "\r\n";
}

uint32_t ErrnoToWsaError(int err) {
    switch (err) {
        case ECONNREFUSED: return 10061;
        case ETIMEDOUT: return 10060;
        case ENOTCONN: return 10057;
        case EBADF:
        case ENOTSOCK: return 10038;
        case ECONNRESET: return 10054;
        case EPIPE: return 10058;  // sending after the peer shut the connection down
        case EHOSTUNREACH:
        case ENETUNREACH: return 10051;
        case EHOSTDOWN: return 10064;
        case EINPROGRESS:
        case EALREADY: return 10036;
        case EINVAL: return 10022;
        case EMFILE:
        case ENFILE: return 10024;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETRESET: return 10052;
        case ECONNABORTED: return 10053;
        case ENOBUFS: return 10055;
        case EISCONN: return 10056;
        case ESHUTDOWN: return 10058;
        case EAFNOSUPPORT: return 10047;
        case EPROTONOSUPPORT: return 10043;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EOPNOTSUPP: return 10045;
        case EFAULT: return 10014;
        case EMSGSIZE: return 10040;
        case EDESTADDRREQ: return 10039;
        case EACCES: return 10013;
        case EINTR: return 10004;
        case ENOMEM: return 8;
        default:
            // EAGAIN and EWOULDBLOCK are the same value on Linux.
            if (err == EAGAIN || err == EWOULDBLOCK) return 10035;
            // No Windows Sockets equivalent: the trace shows the errno value
            // itself under "Unknown value returned from ...".
            return static_cast<uint32_t>(err);
    }
}

uint32_t ResolverErrorToWsa(int gaiError) {
    switch (gaiError) {
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
            return 11001;
        case EAI_AGAIN: return 11002;
        case EAI_FAIL: return 11003;
        case EAI_SERVICE:
        case EAI_SOCKTYPE: return 10109;
        case EAI_FAMILY: return 10047;
        case EAI_MEMORY: return 8;
        default: return 11003;
    }
}
