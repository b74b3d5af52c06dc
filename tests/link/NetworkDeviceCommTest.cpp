// The TCP link against sockets on 127.0.0.1: the constructor's trace, reads
// paced at 1 ms, whole sends, draining, and how a closed, reset or never
// connected link reports itself.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "link/NetworkDeviceComm.h"
#include "platform/DebugOutput.h"
#include "platform/Text.h"

namespace {
using Writes = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

const Writes kCreated = {"***** CSocket::Create() in CNetworkDeviceComm() ctor succeeded.\r\n",
                         "***** CSocket::SetSockOpt() in CNetworkDeviceComm() ctor succeeded.\r\n"};
const char kNotConn[] = "WSAENOTCONN: The socket is not connected.\r\n";

// `before`, then the error block `times` times.
Writes Block(const std::string& op, const std::string& text, int times = 1, Writes before = {}) {
    for (int i = 0; i < times; ++i)
        before.insert(before.end(), {"*****\r\n", "***** " + op + " failed.\r\n", text, "*****\r\n"});
    return before;
}

bool WaitReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1;  // generous, so a fault fails instead of hanging
}

// A TCP socket on 127.0.0.1 with a system-chosen port; one that is only
// bound refuses connections.
struct Loopback {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    uint16_t port = 0;
    explicit Loopback(bool listening) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listening ? ::listen(fd, 4) : 0, 0);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Loopback() { ::close(fd); }
};

struct NetworkDeviceCommTest : ::testing::Test {
    CCapturingDebugSink sink;
    CScopedThreadDebugSink scope{&sink};
    CFakeClock clock;
    Loopback listener{true};
    int peer = -1;  // the device's end
    const uint8_t frame[6] = {0x68, 0, 0, 0x10, 0, 0};

    std::unique_ptr<CNetworkDeviceComm> Connect(const std::string& host = "127.0.0.1") {
        auto link = std::make_unique<CNetworkDeviceComm>(host, listener.port, clock);
        peer = WaitReadable(listener.fd) ? ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        EXPECT_GE(peer, 0);
        return link;
    }
    void Send(const Bytes& b, int link) {
        EXPECT_EQ(::send(peer, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
        EXPECT_TRUE(WaitReadable(link));
    }
    void ClosePeer() {
        if (peer >= 0) ::close(peer);
        peer = -1;
    }
    ~NetworkDeviceCommTest() override { ClosePeer(); }
};

TEST_F(NetworkDeviceCommTest, ConnectTracesEveryStepAndShutDownEndsTheStream) {
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        sink.Clear();
        auto link = Connect(host);
        sockaddr_in local{};
        socklen_t len = sizeof local;
        ASSERT_EQ(::getpeername(peer, reinterpret_cast<sockaddr*>(&local), &len), 0);
        Writes trace = kCreated;
        trace.push_back("***** CSocket::Connect() in CNetworkDeviceComm() ctor succeeded.\r\n");
        trace.push_back("***** CSocket::GetSockName() in CNetworkDeviceComm() ctor succeeded.\r\n");
        trace.push_back(Format("***** CNetworkDeviceComm() ctor Local IP Addr and Port Num: 127.0.0.1:%u.\r\n",
                               ntohs(local.sin_port)));
        EXPECT_EQ(sink.Writes(), trace);
        EXPECT_NE(link->IsConnected(), 0u);
        EXPECT_STREQ(link->GetLocalAddress(), "127.0.0.1");
        EXPECT_EQ(link->GetLocalPort(), ntohs(local.sin_port));
        EXPECT_STREQ(link->GetRemoteAddress(), host);
        EXPECT_EQ(link->GetRemotePort(), listener.port);
        EXPECT_EQ(link->GetDeviceRecord()[33] | link->GetDeviceRecord()[34] << 8, listener.port);

        sink.Clear();
        link.reset();
        EXPECT_EQ(sink.Writes(), Writes{"***** CSocket::ShutDown() in ~CNetworkDeviceComm() dtor succeeded.\r\n"});
        uint8_t b;
        ASSERT_TRUE(WaitReadable(peer));
        EXPECT_EQ(::recv(peer, &b, 1, 0), 0);
        ClosePeer();
    }
}

TEST_F(NetworkDeviceCommTest, RefusedConnectionIsTracedAndSoIsEveryReadAfterIt) {
    Loopback closedPort(false);
    auto link = std::make_unique<CNetworkDeviceComm>("127.0.0.1", closedPort.port, clock);
    EXPECT_EQ(sink.Writes(),
              Block("CSocket::Connect()", "WSAECONNREFUSED: The attempt to connect was rejected.\r\n", 1, kCreated));
    EXPECT_EQ(link->IsConnected(), 0u);
    EXPECT_STREQ(link->GetLocalAddress(), "localhost");

    sink.Clear();
    EXPECT_EQ(link->WriteBuffer(frame, sizeof frame), 1u);  // not examined: the missing reply tells
    EXPECT_EQ(link->FlushReceive(), 0u);
    EXPECT_TRUE(sink.Writes().empty());
    uint8_t b = 0;
    EXPECT_EQ(link->ReadByte(&b) + link->ReadByte(&b), 0u);
    EXPECT_EQ(clock.NowMs(), 2);  // paced, so a time-out loop cannot spin
    EXPECT_EQ(sink.Writes(), Block("CAsyncSocket::Receive()", kNotConn, 2));
    sink.Clear();
    link.reset();
    EXPECT_EQ(sink.Writes(), Block("CSocket::ShutDown()", kNotConn));
}

TEST_F(NetworkDeviceCommTest, OverlongHostIsRefusedWithoutTraffic) {
    // 258 characters and a surrogate pair: 260 UTF-16 units; the pair is not cut in half.
    CNetworkDeviceComm link(std::string(258, 'h') + "\xF0\x9F\x98\x80", listener.port, clock);
    EXPECT_EQ(sink.Writes(),
              Block("CSocket::Connect()", "WSAEFAULT: The nSockAddrLen argument is incorrect.\r\n", 1,
                    {kCreated[0], kCreated[1],
                     "***** Host address of 260 characters refused; at most 259 are accepted.\r\n"}));
    EXPECT_EQ(link.IsConnected(), 0u);
    EXPECT_EQ(std::string(link.GetRemoteAddress()), std::string(258, 'h'));
    pollfd p{listener.fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);  // no connection attempt
}

TEST_F(NetworkDeviceCommTest, InputIsReadInOrderOrDrained) {
    auto link = Connect();
    const int fd = link->SocketHandle();
    sink.Clear();
    uint8_t b = 0x77;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(link->ReadByte(&b), 0u);
    EXPECT_EQ(b, 0x77);
    EXPECT_EQ(clock.NowMs(), 5);  // one millisecond per empty attempt
    EXPECT_EQ(link->FlushReceive(), 0u);
    EXPECT_GE(clock.NowMs(), 105);  // a flush listens for 100 ms

    Send(Bytes(5000, 0x11), fd);  // more than one receive buffer, counted whole
    uint32_t total = 0;
    for (int i = 0; i < 50 && total < 5000; ++i) total += link->FlushReceive();
    EXPECT_EQ(total, 5000u);
    Send({1, 2, 3}, fd);
    link->OnReceive();  // input while idle is dropped
    link->OnReceive();  // and with none left this does not block

    Send({0x68, 0x00, 0x01, 0x10, 0xFF}, fd);
    Bytes got;
    for (int attempt = 0; attempt < 5000 && got.size() < 5; ++attempt)
        if (link->ReadByte(&b)) got.push_back(b);
    EXPECT_EQ(got, (Bytes{0x68, 0x00, 0x01, 0x10, 0xFF}));
    EXPECT_EQ(link->ReadByte(&b), 0u);
    EXPECT_TRUE(sink.Writes().empty());
}

TEST_F(NetworkDeviceCommTest, CloseIsTracedOnceButResetAtEveryAttempt) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset);
        auto link = Connect();
        linger hard{1, 0};
        if (reset) ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        else Send({0x42}, link->SocketHandle());
        ClosePeer();
        ASSERT_TRUE(WaitReadable(link->SocketHandle()));
        sink.Clear();
        uint8_t b = 0;
        EXPECT_EQ(link->ReadByte(&b), reset ? 0u : 1u);  // what came before the close still counts
        const int64_t start = clock.NowMs();
        for (int i = 0; i < 3; ++i) EXPECT_EQ(link->ReadByte(&b), 0u);
        EXPECT_EQ(clock.NowMs() - start, 3);
        EXPECT_EQ(link->IsConnected(), 0u);
        EXPECT_EQ(sink.Writes(),
                  reset ? Block("CAsyncSocket::Receive()",
                                "WSAECONNRESET: The virtual circuit was reset by the remote side.\r\n", 4)
                        : Writes{"***** CAsyncSocket::Receive() connection closed by the device.\r\n"});
        for (int i = 0; i < 3; ++i) EXPECT_EQ(link->WriteBuffer(frame, sizeof frame), 1u);  // and no SIGPIPE
        EXPECT_EQ(link->FlushReceive(), 0u);
    }
}

TEST_F(NetworkDeviceCommTest, WholeBufferIsSentEvenWhenItFillsTheSocket) {
    auto link = Connect();
    Bytes image(4 * 1024 * 1024), received;
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 13));
    std::thread reader([&] {
        uint8_t chunk[65536];
        ssize_t r = 0;
        while (received.size() < image.size() && WaitReadable(peer) && (r = ::recv(peer, chunk, sizeof chunk, 0)) > 0)
            received.insert(received.end(), chunk, chunk + r);
    });
    EXPECT_EQ(link->WriteBuffer(image.data(), static_cast<uint32_t>(image.size())), 1u);
    reader.join();
    EXPECT_TRUE(received == image);
}
}  // namespace
