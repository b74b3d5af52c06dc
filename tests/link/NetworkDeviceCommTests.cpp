// The TCP link against a listener of the test's own on 127.0.0.1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"

namespace {
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 2);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd); }
    int Accept() { return ::accept(fd, nullptr, nullptr); }
};

uint16_t ClosedPort() {
    Listener l;
    return l.port;  // closed again when `l` goes
}

struct Tcp : ::testing::Test {
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped{&trace};
};

TEST_F(Tcp, ConnectsAndTracesEachStep) {
    Listener server;
    CNetworkDeviceComm link("127.0.0.1", server.port);
    EXPECT_NE(link.IsConnected(), 0u);
    EXPECT_EQ(link.GetRemotePort(), server.port);
    EXPECT_STREQ(link.GetLocalAddress(), "127.0.0.1");
    EXPECT_NE(link.GetLocalPort(), 0);
    EXPECT_EQ(link.GetLinkType(), LINK_TYPE_NETWORK);
    auto w = trace.Writes();
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0], "***** CSocket::Create() in CNetworkDeviceComm() ctor succeeded.\r\n");
    EXPECT_EQ(w[1], "***** CSocket::SetSockOpt() in CNetworkDeviceComm() ctor succeeded.\r\n");
    EXPECT_EQ(w[2], "***** CSocket::Connect() in CNetworkDeviceComm() ctor succeeded.\r\n");
    EXPECT_EQ(w[3], "***** CSocket::GetSockName() in CNetworkDeviceComm() ctor succeeded.\r\n");
    EXPECT_EQ(w[4], "***** CNetworkDeviceComm() ctor Local IP Addr and Port Num: 127.0.0.1:" +
                        std::to_string(link.GetLocalPort()) + ".\r\n");
}

TEST_F(Tcp, HostNamesResolve) {
    Listener server;
    CNetworkDeviceComm link("localhost", server.port);
    EXPECT_NE(link.IsConnected(), 0u);
}

TEST_F(Tcp, RefusedConnectionIsTracedAndLeavesDefaults) {
    uint16_t port = ClosedPort();
    {
        CNetworkDeviceComm link("127.0.0.1", port);
        EXPECT_EQ(link.IsConnected(), 0u);
        EXPECT_STREQ(link.GetLocalAddress(), "localhost");
        EXPECT_EQ(link.GetLocalPort(), 0);
        uint8_t frame[6] = {0x68, 0, 0, 0, 0, 0};
        EXPECT_EQ(link.WriteBuffer(frame, 6), 1u);
        uint8_t b;
        EXPECT_EQ(link.ReadByte(&b), 0u);
        auto w = trace.Writes();
        ASSERT_GE(w.size(), 6u);
        EXPECT_EQ(w[2], "*****\r\n");
        EXPECT_EQ(w[3], "***** CSocket::Connect() failed.\r\n");
        EXPECT_EQ(w[4], "WSAECONNREFUSED: The attempt to connect was rejected.\r\n");
        trace.Clear();
    }
    // Destroying a link that never connected reports the shutdown failure.
    EXPECT_EQ(trace.Writes(), (std::vector<std::string>{"*****\r\n", "***** CSocket::ShutDown() failed.\r\n",
                                                         "WSAENOTCONN: The socket is not connected.\r\n",
                                                         "*****\r\n"}));
}

TEST_F(Tcp, UnknownHostAndOverlongHostAreRefused) {
    {
        CNetworkDeviceComm link("no-such-host.invalid", 5000);
        EXPECT_EQ(link.IsConnected(), 0u);
        EXPECT_NE(trace.Text().find("***** CSocket::Connect() failed.\r\n"), std::string::npos);
    }
    trace.Clear();
    CNetworkDeviceComm link(std::string(300, '1'), 5000);
    EXPECT_EQ(link.IsConnected(), 0u);
    EXPECT_NE(trace.Text().find("refused"), std::string::npos);
    EXPECT_EQ(std::string(link.GetRemoteAddress()).size(), MAX_ADDRESS_CHARS);
}

TEST_F(Tcp, ReadsBytesAndFlushCountsStrays) {
    Listener server;
    CNetworkDeviceComm link("127.0.0.1", server.port);
    int peer = server.Accept();
    ASSERT_GE(peer, 0);
    uint8_t b = 0;
    trace.Clear();
    EXPECT_EQ(link.ReadByte(&b), 0u);  // nothing waiting
    EXPECT_TRUE(trace.Writes().empty());
    const uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(::send(peer, ten, 1, 0), 1);
    int tries = 0;
    while (!link.ReadByte(&b) && ++tries < 1000) {
    }
    EXPECT_EQ(b, 1);
    ASSERT_EQ(::send(peer, ten, 10, 0), 10);
    EXPECT_EQ(link.FlushReceive(), 10);
    EXPECT_EQ(link.FlushReceive(), 0);
    uint8_t frame[3] = {9, 8, 7}, got[3] = {};
    EXPECT_EQ(link.WriteBuffer(frame, 3), 1u);
    ASSERT_EQ(::recv(peer, got, 3, MSG_WAITALL), 3);
    EXPECT_EQ(got[2], 7);
    ::close(peer);
}

TEST_F(Tcp, OrderlyCloseIsTracedOnce) {
    Listener server;
    CNetworkDeviceComm link("127.0.0.1", server.port);
    ::close(server.Accept());
    trace.Clear();
    uint8_t b;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(link.ReadByte(&b), 0u);
    EXPECT_EQ(link.IsConnected(), 0u);
    EXPECT_EQ(trace.Writes(),
              (std::vector<std::string>{"***** CAsyncSocket::Receive() connection closed by the device.\r\n"}));
}

TEST_F(Tcp, ResetByThePeerGivesTheResetBlock) {
    Listener server;
    CNetworkDeviceComm link("127.0.0.1", server.port);
    int peer = server.Accept();
    linger l{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(peer);
    trace.Clear();
    uint8_t b;
    for (int i = 0; i < 20 && trace.Writes().empty(); ++i) link.ReadByte(&b);
    EXPECT_EQ(link.IsConnected(), 0u);
    EXPECT_NE(trace.Text().find("***** CAsyncSocket::Receive() failed.\r\n"
                                "WSAECONNRESET: The virtual circuit was reset by the remote side.\r\n"),
              std::string::npos);
}
}  // namespace
