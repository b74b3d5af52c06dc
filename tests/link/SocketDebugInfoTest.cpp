#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/FileExeptionErrorMsgs.h"
#include "link/SocketDebugInfo.h"
#include "platform/DebugOutput.h"

namespace {

using Writes = std::vector<std::string>;

Writes BlockFor(uint32_t code, const std::string& op) {
    CCapturingDebugSink sink;
    CScopedThreadDebugSink scope(&sink);
    CSocketDebugInfo::ReportSocketError(code, op);
    return sink.Writes();
}

struct TableRow {
    uint32_t code;
    const char* text;
};

// Every code with a single text: the block is four writes, the text third.
const TableRow kSingleTextCodes[] = {
    {8, "WSA_NOT_ENOUGH_MEMORY: A memory allocation failure occurred.\r\n"},
    {10014, "WSAEFAULT: The nSockAddrLen argument is incorrect.\r\n"},
    {10024, "WSAEMFILE: No more file descriptors are available.\r\n"},
    {10035, "WSAEWOULDBLOCK: The socket is marked as nonblocking and the Receive operation would block.\r\n"},
    {10036, "WSAEINPROGRESS: A blocking Windows Sockets operation is in progress.\r\n"},
    {10038, "WSAENOTSOCK: The descriptor is not a socket.\r\n"},
    {10039, "WSAEDESTADDRREQ: A destination address is required.\r\n"},
    {10040, "WSAEMSGSIZE: The datagram was too large to fit into the specified buffer and was truncated.\r\n"},
    {10041, "WSAEPROTOTYPE: The specified port is the wrong type for this socket.\r\n"},
    {10042, "WSAENOPROTOOPT: The option is unknown or unsupported. In particular, SO_BROADCAST is not "
            "supported on sockets of type SOCK_STREAM, while SO_DONTLINGER, SO_KEEPALIVE, SO_LINGER, and "
            "SO_OOBINLINE are not supported on sockets of type SOCK_DGRAM.\r\n"},
    {10043, "WSAEPROTONOSUPPORT: The specified port is not supported.\r\n"},
    {10044, "WSAESOCKTNOSUPPORT: The specified socket type is not supported in this address family.\r\n"},
    {10045, "WSAEOPNOTSUPP: MSG_OOB was specified, but the socket is not of type SOCK_STREAM or the "
            "referenced socket is not of a type that supports the Listen operation.\r\n"},
    {10047, "WSAEAFNOSUPPORT: Addresses in the specified family cannot be used with this socket.\r\n"},
    {10048, "WSAEADDRINUSE: The specified address is already in use.\r\n"},
    {10049, "WSAEADDRNOTAVAIL: The specified address is not available from the local machine.\r\n"},
    {10050, "WSAENETDOWN: The Windows Sockets implementation detected that the network subsystem failed.\r\n"},
    {10051, "WSAENETUNREACH: The network cannot be reached from this host at this time.\r\n"},
    {10052, "WSAENETRESET: Connection has timed out when SO_KEEPALIVE is set."},
    {10053, "WSAECONNABORTED: The virtual circuit was aborted due to timeout or other failure.\r\n"},
    {10054, "WSAECONNRESET: The virtual circuit was reset by the remote side.\r\n"},
    {10055, "WSAENOBUFS: No buffer space is available. The socket cannot be connected.\r\n"},
    {10056, "WSAEISCONN: The socket is already connected.\r\n"},
    {10057, "WSAENOTCONN: The socket is not connected.\r\n"},
    {10058, "WSAESHUTDOWN: The socket has been shut down; it is not possible to call Receive on a socket "
            "after ShutDown has been invoked with nHow set to 0 or 2.\r\n"},
    {10060, "WSAETIMEDOUT: Attempt to connect timed out without establishing a connection.\r\n"},
    {10061, "WSAECONNREFUSED: The attempt to connect was rejected.\r\n"},
    {10093, "WSANOTINITIALISED: A successful AfxSocketInit must occur before using this API.\r\n"},
    {10109, "WSATYPE_NOT_FOUND: The pServiceName parameter is not supported for the specified "
            "ai_socktype member of the pHints parameter.\r\n"},
    {11001, "WSAHOST_NOT_FOUND: The name does not resolve for the supplied parameters or the pNodeName "
            "and pServiceName parameters were not provided.\r\n"},
    {11002, "WSATRY_AGAIN: A temporary failure in name resolution occurred.\r\n"},
    {11003, "WSANO_RECOVERY: A nonrecoverable failure in name resolution occurred.\r\n"},
};

TEST(SocketErrorBlock, EveryTableCodeIsFramedWriteByWrite) {
    for (const TableRow& row : kSingleTextCodes) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(BlockFor(row.code, "CSocket::Connect()"),
                  (Writes{"*****\r\n", "***** CSocket::Connect() failed.\r\n", row.text, "*****\r\n"}));
        EXPECT_STREQ(CSocketDebugInfo::SocketErrorText(row.code), row.text);
    }
}

TEST(SocketErrorBlock, EinvalAddsTheBindLine) {
    EXPECT_EQ(BlockFor(10022, "CSocket::ShutDown()"),
              (Writes{"*****\r\n", "***** CSocket::ShutDown() failed.\r\n", "WSAEINVAL: nHow is not valid.\r\n",
                      "The socket has not been bound with Bind.\r\n", "*****\r\n"}));
}

TEST(SocketErrorBlock, NetResetRunsIntoTheClosingFrame) {
    CCapturingDebugSink sink;
    CScopedThreadDebugSink scope(&sink);
    CSocketDebugInfo::ReportSocketError(10052, "CAsyncSocket::Receive()");
    EXPECT_EQ(sink.Text(),
              "*****\r\n***** CAsyncSocket::Receive() failed.\r\n"
              "WSAENETRESET: Connection has timed out when SO_KEEPALIVE is set.*****\r\n");
}

TEST(SocketErrorBlock, CodesWithoutTextNameTheOperationAndTheCode) {
    struct {
        uint32_t code;
        const char* lastError;
    } rows[] = {{0, "GetLastError=0.\r\n"},
                {10004, "GetLastError=10004.\r\n"},
                {10059, "GetLastError=10059.\r\n"},  // between two table entries
                {4294967295u, "GetLastError=4294967295.\r\n"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(BlockFor(row.code, "CSocket::GetSockName()"),
                  (Writes{"*****\r\n", "***** CSocket::GetSockName() failed.\r\n",
                          "Unknown value returned from CSocket::GetSockName().\r\n", row.lastError, "*****\r\n"}));
        EXPECT_STREQ(CSocketDebugInfo::SocketErrorText(row.code), "");
    }
}

// Exposes the port setter the TCP link uses.
class CTestLink : public CSocketDebugInfo {
public:
    using CSocketDebugInfo::FitAddressField;
    using CSocketDebugInfo::SetRemotePort;
};

TEST(DeviceRecord, FreshLinkIsZeroAndLocalhost) {
    CTestLink link;
    EXPECT_EQ(link.GetDeviceId48(), 0u);
    EXPECT_EQ(link.GetRemotePort(), 0u);
    EXPECT_EQ(link.IsConnected(), 0u);
    EXPECT_STREQ(link.GetLocalAddress(), "localhost");
    EXPECT_EQ(link.GetLocalPort(), 0u);
    EXPECT_EQ(link.GetLinkType(), LINK_TYPE_NONE);
    for (int i = 0; i < DEVICE_RECORD_SIZE; ++i) EXPECT_EQ(link.GetDeviceRecord()[i], 0) << i;
    for (int i = 0; i < LINK_INFO_SIZE; ++i) EXPECT_EQ(link.GetLinkInfo()[i], 0) << i;
}

TEST(DeviceRecord, ParametersAreLittleEndianAtTheirUnalignedPositions) {
    struct Param {
        int at;
        void (CSocketDebugInfo::*set)(uint32_t);
        uint32_t (CSocketDebugInfo::*get)();
    } params[] = {{15, &CSocketDebugInfo::SetDeviceParam1, &CSocketDebugInfo::GetDeviceParam1},
                  {19, &CSocketDebugInfo::SetDeviceParam2, &CSocketDebugInfo::GetDeviceParam2},
                  {23, &CSocketDebugInfo::SetDeviceParam3, &CSocketDebugInfo::GetDeviceParam3}};
    for (const Param& p : params) {
        SCOPED_TRACE(p.at);
        CTestLink link;
        (link.*p.set)(0x89ABCDEFu);
        const uint8_t* rec = link.GetDeviceRecord();
        EXPECT_EQ(rec[p.at], 0xEF);
        EXPECT_EQ(rec[p.at + 1], 0xCD);
        EXPECT_EQ(rec[p.at + 2], 0xAB);
        EXPECT_EQ(rec[p.at + 3], 0x89);
        // Nothing outside the four bytes moved.
        for (int i = 0; i < DEVICE_RECORD_SIZE; ++i) {
            if (i < p.at || i >= p.at + 4) {
                EXPECT_EQ(rec[i], 0) << i;
            }
        }
        EXPECT_EQ((link.*p.get)(), 0x89ABCDEFu);
        (link.*p.set)(0xFFFFFFFFu);
        EXPECT_EQ((link.*p.get)(), 0xFFFFFFFFu);
    }
}

TEST(DeviceRecord, DeviceIdIsBytes4To9LowFirst) {
    CTestLink link;
    uint8_t* rec = link.GetDeviceRecord();
    rec[3] = 0xAA;  // neighbours must not leak in
    rec[10] = 0xBB;
    for (int i = 0; i < 6; ++i) rec[4 + i] = static_cast<uint8_t>(0x81 + i);
    EXPECT_EQ(link.GetDeviceId48(), 0x868584838281ull);
}

TEST(DeviceRecord, RemotePortIsBytes33And34) {
    CTestLink link;
    link.SetRemotePort(5000);
    EXPECT_EQ(link.GetDeviceRecord()[33], 0x88);
    EXPECT_EQ(link.GetDeviceRecord()[34], 0x13);
    EXPECT_EQ(link.GetRemotePort(), 5000u);
    link.SetRemotePort(0xFFFF);
    EXPECT_EQ(link.GetRemotePort(), 0xFFFFu);
}

TEST(AddressField, KeepsAtMost259Utf16Units) {
    CTestLink link;
    link.SetLocalAddress(std::string(300, 'x'));
    EXPECT_EQ(std::string(link.GetLocalAddress()), std::string(259, 'x'));
    link.SetLocalAddress("10.0.0.7");
    EXPECT_STREQ(link.GetLocalAddress(), "10.0.0.7");

    // Counted in UTF-16 units, not bytes: 259 two-byte characters fit.
    const std::string umlauts = [] {
        std::string s;
        for (int i = 0; i < 259; ++i) s += "\xC3\xA4";
        return s;
    }();
    EXPECT_EQ(CTestLink::FitAddressField(umlauts), umlauts);

    // A surrogate pair that would straddle the limit is dropped whole.
    const std::string emoji = "\xF0\x9F\x98\x80";
    EXPECT_EQ(CTestLink::FitAddressField(std::string(258, 'a') + emoji), std::string(258, 'a'));
    EXPECT_EQ(CTestLink::FitAddressField(std::string(257, 'a') + emoji), std::string(257, 'a') + emoji);
}

TEST(FileExceptionMessage, NamesTheCauseOrLeavesItEmpty) {
    struct {
        int cause;
        const char* text;
    } rows[] = {{0, "CFileException.m_cause = none.\r\n"},
                {2, "CFileException.m_cause = fileNotFound.\r\n"},
                {5, "CFileException.m_cause = accessDenied.\r\n"},
                {14, "CFileException.m_cause = endOfFile.\r\n"},
                {15, "CFileException.m_cause = .\r\n"},
                {-1, "CFileException.m_cause = .\r\n"},
                {-2147483647 - 1, "CFileException.m_cause = .\r\n"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cause);
        CCapturingDebugSink sink;
        CScopedThreadDebugSink scope(&sink);
        std::string result = CFileExeptionErrorMsgs::GetFileExceptionMsg(CFileException(row.cause, 0, "x.bin"));
        EXPECT_EQ(result, row.text);
        EXPECT_EQ(sink.Writes(), (Writes{"CFileException Caught\r\n", row.text}));
    }
}

}  // namespace
