#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/NetworkDeviceComm.h"
#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"

namespace {

using Writes = std::vector<std::string>;

const char kCreateOk[] = "***** CSocket::Create() in CNetworkDeviceComm() ctor succeeded.\r\n";
const char kSetSockOptOk[] = "***** CSocket::SetSockOpt() in CNetworkDeviceComm() ctor succeeded.\r\n";
const char kConnectOk[] = "***** CSocket::Connect() in CNetworkDeviceComm() ctor succeeded.\r\n";
const char kGetSockNameOk[] = "***** CSocket::GetSockName() in CNetworkDeviceComm() ctor succeeded.\r\n";

Writes Block(const std::string& op, const std::string& text) {
    return {"*****\r\n", "***** " + op + " failed.\r\n", text, "*****\r\n"};
}
Writes Concat(Writes a, const Writes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A TCP socket on 127.0.0.1 with a system-chosen port; listening or only
// bound (a bound socket that does not listen refuses connections).
class CLoopbackSocket {
public:
    explicit CLoopbackSocket(bool listening) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "bind";
        if (listening && ::listen(m_fd, 4) != 0) ADD_FAILURE() << "listen";
        socklen_t len = sizeof a;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
    }
    ~CLoopbackSocket() { ::close(m_fd); }
    uint16_t Port() const { return m_port; }

    // The peer end of the link's connection (or -1 after a generous wait,
    // so a fault fails the test instead of hanging it).
    int Accept() {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return -1;
        return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

    bool HasPendingConnection() {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

bool WaitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1;
}

void SendAllFrom(int fd, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

void CloseWithReset(int fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

class NetworkDeviceCommTest : public ::testing::Test {
protected:
    CCapturingDebugSink m_sink;
    CScopedThreadDebugSink m_scope{&m_sink};
};

TEST_F(NetworkDeviceCommTest, ConnectTracesEveryStepAndTheLocalEnd) {
    CLoopbackSocket listener(true);
    CNetworkDeviceComm link("127.0.0.1", listener.Port());
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    sockaddr_in remote{};
    socklen_t len = sizeof remote;
    ASSERT_EQ(::getpeername(peer, reinterpret_cast<sockaddr*>(&remote), &len), 0);
    const uint16_t localPort = ntohs(remote.sin_port);

    EXPECT_EQ(m_sink.Writes(),
              (Writes{kCreateOk, kSetSockOptOk, kConnectOk, kGetSockNameOk,
                      Format("***** CNetworkDeviceComm() ctor Local IP Addr and Port Num: 127.0.0.1:%u.\r\n",
                             localPort)}));
    EXPECT_NE(link.IsConnected(), 0u);
    EXPECT_STREQ(link.GetLocalAddress(), "127.0.0.1");
    EXPECT_EQ(link.GetLocalPort(), localPort);
    EXPECT_STREQ(link.GetRemoteAddress(), "127.0.0.1");
    EXPECT_EQ(link.GetRemotePort(), listener.Port());
    EXPECT_EQ(link.GetDeviceRecord()[33], listener.Port() & 0xFF);
    EXPECT_EQ(link.GetDeviceRecord()[34], listener.Port() >> 8);
    EXPECT_EQ(link.GetLinkType(), LINK_TYPE_NETWORK);
    ::close(peer);
}

TEST_F(NetworkDeviceCommTest, HostNameIsResolved) {
    CLoopbackSocket listener(true);
    CNetworkDeviceComm link("localhost", listener.Port());
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_NE(link.IsConnected(), 0u);
    EXPECT_STREQ(link.GetRemoteAddress(), "localhost");
    EXPECT_STREQ(link.GetLocalAddress(), "127.0.0.1");
    ASSERT_EQ(m_sink.Writes().size(), 5u);
    EXPECT_EQ(m_sink.Writes()[2], kConnectOk);
    ::close(peer);
}

TEST_F(NetworkDeviceCommTest, RefusedConnectionLeavesTheDefaults) {
    CLoopbackSocket closedPort(false);
    auto link = std::make_unique<CNetworkDeviceComm>("127.0.0.1", closedPort.Port());
    EXPECT_EQ(m_sink.Writes(),
              Concat({kCreateOk, kSetSockOptOk},
                     Block("CSocket::Connect()", "WSAECONNREFUSED: The attempt to connect was rejected.\r\n")));
    EXPECT_EQ(link->IsConnected(), 0u);
    EXPECT_STREQ(link->GetLocalAddress(), "localhost");
    EXPECT_EQ(link->GetLocalPort(), 0u);
    EXPECT_EQ(link->GetRemotePort(), closedPort.Port());

    // Sends still "succeed" and trace nothing; the missing reply tells.
    m_sink.Clear();
    const uint8_t frame[] = {0x68, 0, 0, 0x10, 0, 0};
    EXPECT_EQ(link->WriteBuffer(frame, sizeof frame), 1u);
    EXPECT_EQ(link->WriteHeader(frame), 1u);
    EXPECT_EQ(link->WriteByte(0x68), 1u);
    EXPECT_TRUE(m_sink.Writes().empty());

    // Nothing to flush from a socket that never connected.
    EXPECT_EQ(link->FlushReceive(), 0u);

    m_sink.Clear();
    link.reset();
    EXPECT_EQ(m_sink.Writes(), Block("CSocket::ShutDown()", "WSAENOTCONN: The socket is not connected.\r\n"));
}

TEST_F(NetworkDeviceCommTest, ReadOnUnconnectedLinkReportsEachAttemptAtItsOwnPace) {
    CLoopbackSocket closedPort(false);
    CFakeClock clock(0);
    CNetworkDeviceComm link("127.0.0.1", closedPort.Port(), clock);
    m_sink.Clear();
    uint8_t b = 0;
    EXPECT_EQ(link.ReadByte(&b), 0u);
    EXPECT_EQ(link.ReadByte(&b), 0u);
    const Writes block = Block("CAsyncSocket::Receive()", "WSAENOTCONN: The socket is not connected.\r\n");
    EXPECT_EQ(m_sink.Writes(), Concat(block, block));
    EXPECT_EQ(clock.NowMs(), 2);  // paced, so a time-out loop cannot spin
}

TEST_F(NetworkDeviceCommTest, OverlongHostIsRefusedWithoutTraffic) {
    CLoopbackSocket listener(true);
    // 258 characters and a surrogate pair: 260 UTF-16 units.
    const std::string host = std::string(258, 'h') + "\xF0\x9F\x98\x80";
    ASSERT_EQ(Utf16Length(host), 260u);
    auto link = std::make_unique<CNetworkDeviceComm>(host, listener.Port());
    EXPECT_EQ(m_sink.Writes(),
              Concat({kCreateOk, kSetSockOptOk,
                      "***** Host address of 260 characters refused; at most 259 are accepted.\r\n"},
                     Block("CSocket::Connect()", "WSAEFAULT: The nSockAddrLen argument is incorrect.\r\n")));
    EXPECT_EQ(link->IsConnected(), 0u);
    EXPECT_EQ(std::string(link->GetRemoteAddress()), std::string(258, 'h'));
    EXPECT_EQ(link->GetRemotePort(), listener.Port());
    EXPECT_FALSE(listener.HasPendingConnection());
}

TEST_F(NetworkDeviceCommTest, IdleReadWaitsAMillisecondAndTracesNothing) {
    CLoopbackSocket listener(true);
    CFakeClock clock(0);
    CNetworkDeviceComm link("127.0.0.1", listener.Port(), clock);
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    m_sink.Clear();
    uint8_t b = 0x77;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(link.ReadByte(&b), 0u);
    EXPECT_EQ(b, 0x77);
    EXPECT_TRUE(m_sink.Writes().empty());
    EXPECT_EQ(clock.NowMs(), 5);  // one millisecond per empty attempt
    EXPECT_NE(link.IsConnected(), 0u);
    ::close(peer);
}

TEST_F(NetworkDeviceCommTest, BytesAreReadOneAtATimeInOrder) {
    CLoopbackSocket listener(true);
    CNetworkDeviceComm link("127.0.0.1", listener.Port());
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    SendAllFrom(peer, {0x68, 0x00, 0x01, 0x10, 0xFF});
    ASSERT_TRUE(WaitReadable(link.SocketHandle()));
    std::vector<uint8_t> got;
    uint8_t b = 0;
    for (int attempt = 0; attempt < 5000 && got.size() < 5; ++attempt)
        if (link.ReadByte(&b)) got.push_back(b);
    EXPECT_EQ(got, (std::vector<uint8_t>{0x68, 0x00, 0x01, 0x10, 0xFF}));
    EXPECT_EQ(link.ReadByte(&b), 0u);
    ::close(peer);
}

TEST_F(NetworkDeviceCommTest, WholeBufferIsSentEvenWhenItFillsTheSocket) {
    CLoopbackSocket listener(true);
    CNetworkDeviceComm link("127.0.0.1", listener.Port());
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    std::vector<uint8_t> image(4 * 1024 * 1024);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 13));
    std::vector<uint8_t> received;
    std::thread reader([&] {
        uint8_t chunk[65536];
        while (received.size() < image.size()) {
            if (!WaitReadable(peer)) break;
            ssize_t r = ::recv(peer, chunk, sizeof chunk, 0);
            if (r <= 0) break;
            received.insert(received.end(), chunk, chunk + r);
        }
    });
    EXPECT_EQ(link.WriteBuffer(image.data(), static_cast<uint32_t>(image.size())), 1u);
    reader.join();
    EXPECT_TRUE(received == image);
    EXPECT_TRUE(m_sink.Writes().size() == 5u);  // only the constructor's lines
    ::close(peer);
}

TEST_F(NetworkDeviceCommTest, FlushCountsAndDropsStrayBytes) {
    CLoopbackSocket listener(true);
    CFakeClock clock(0);
    CNetworkDeviceComm link("127.0.0.1", listener.Port(), clock);
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);

    EXPECT_EQ(link.FlushReceive(), 0u);
    EXPECT_GE(clock.NowMs(), 100);

    SendAllFrom(peer, std::vector<uint8_t>(10, 0xA5));
    ASSERT_TRUE(WaitReadable(link.SocketHandle()));
    const int64_t start = clock.NowMs();
    EXPECT_EQ(link.FlushReceive(), 10u);
    EXPECT_GE(clock.NowMs() - start, 100);
    uint8_t b = 0;
    EXPECT_EQ(link.ReadByte(&b), 0u);  // they are gone

    // More than one receive buffer's worth, and the count is kept whole.
    SendAllFrom(peer, std::vector<uint8_t>(5000, 0x11));
    ASSERT_TRUE(WaitReadable(link.SocketHandle()));
    uint32_t total = 0;
    for (int i = 0; i < 50 && total < 5000; ++i) total += link.FlushReceive();
    EXPECT_EQ(total, 5000u);
    ::close(peer);
}

TEST_F(NetworkDeviceCommTest, OrderlyCloseIsTracedOnceAndPaced) {
    CLoopbackSocket listener(true);
    CFakeClock clock(0);
    auto link = std::make_unique<CNetworkDeviceComm>("127.0.0.1", listener.Port(), clock);
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    SendAllFrom(peer, {0x42});
    ::close(peer);
    ASSERT_TRUE(WaitReadable(link->SocketHandle()));
    m_sink.Clear();

    uint8_t b = 0;
    EXPECT_EQ(link->ReadByte(&b), 1u);  // what came before the close still counts
    EXPECT_EQ(b, 0x42);
    const int64_t start = clock.NowMs();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(link->ReadByte(&b), 0u);
    EXPECT_EQ(clock.NowMs() - start, 4);
    EXPECT_EQ(link->IsConnected(), 0u);
    EXPECT_EQ(m_sink.Writes(), (Writes{"***** CAsyncSocket::Receive() connection closed by the device.\r\n"}));

    // Writing to the closed connection neither fails nor kills the process.
    const uint8_t frame[] = {0x68, 0, 0, 0x10, 0, 0};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(link->WriteBuffer(frame, sizeof frame), 1u);
}

TEST_F(NetworkDeviceCommTest, ResetByTheDeviceIsReportedAtEveryAttempt) {
    CLoopbackSocket listener(true);
    CFakeClock clock(0);
    auto link = std::make_unique<CNetworkDeviceComm>("127.0.0.1", listener.Port(), clock);
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    CloseWithReset(peer);
    ASSERT_TRUE(WaitReadable(link->SocketHandle()));
    m_sink.Clear();

    uint8_t b = 0;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(link->ReadByte(&b), 0u);
    const Writes block =
        Block("CAsyncSocket::Receive()", "WSAECONNRESET: The virtual circuit was reset by the remote side.\r\n");
    EXPECT_EQ(m_sink.Writes(), Concat(Concat(block, block), block));
    EXPECT_EQ(link->IsConnected(), 0u);
    EXPECT_EQ(clock.NowMs(), 3);

    // A dead peer must not raise SIGPIPE.
    const uint8_t frame[] = {0x68, 0, 0, 0x10, 0, 0};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(link->WriteBuffer(frame, sizeof frame), 1u);
    EXPECT_EQ(link->FlushReceive(), 0u);
}

TEST_F(NetworkDeviceCommTest, ConnectedLinkShutsDownCleanly) {
    CLoopbackSocket listener(true);
    auto link = std::make_unique<CNetworkDeviceComm>("127.0.0.1", listener.Port());
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    m_sink.Clear();
    link.reset();
    EXPECT_EQ(m_sink.Writes(), (Writes{"***** CSocket::ShutDown() in ~CNetworkDeviceComm() dtor succeeded.\r\n"}));
    // The device sees the end of the stream.
    ASSERT_TRUE(WaitReadable(peer));
    uint8_t b;
    EXPECT_EQ(::recv(peer, &b, 1, 0), 0);
    ::close(peer);
}

TEST_F(NetworkDeviceCommTest, OnReceiveDropsIdleInput) {
    CLoopbackSocket listener(true);
    CFakeClock clock(0);
    CNetworkDeviceComm link("127.0.0.1", listener.Port(), clock);
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    SendAllFrom(peer, {1, 2, 3});
    ASSERT_TRUE(WaitReadable(link.SocketHandle()));
    link.OnReceive();
    link.OnReceive();  // nothing left: must not block
    uint8_t b = 0;
    EXPECT_EQ(link.ReadByte(&b), 0u);
    ::close(peer);
}

}  // namespace
