#include "sim/SimServer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

// The same server on both socket APIs; only these names differ.
#ifdef _WIN32
#include "platform/Win32Types.h"
#include <ws2tcpip.h>
namespace {
using socklen_t = int;
constexpr int MSG_NOSIGNAL = 0;  // Windows raises no signal on a broken connection
constexpr int SHUT_WR = SD_SEND;
int poll(pollfd* fds, unsigned long n, int ms) { return ::WSAPoll(fds, n, ms); }
int close(SimSocket s) { return ::closesocket(s); }
SimSocket accept4(SimSocket s, sockaddr* a, socklen_t* len, int) { return ::accept(s, a, len); }
constexpr int SOCK_CLOEXEC = 0;
bool WouldBlock() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }
std::string LastSocketError() { return "Windows Sockets error " + std::to_string(::WSAGetLastError()); }
bool AddressInUse() { return ::WSAGetLastError() == WSAEADDRINUSE; }
// SO_REUSEADDR would let another program take the port over on Windows.
constexpr int kReuseOption = SO_EXCLUSIVEADDRUSE;
bool StartSockets() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
}  // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
namespace {
bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }
std::string LastSocketError() { return std::strerror(errno); }
bool AddressInUse() { return errno == EADDRINUSE; }
constexpr int kReuseOption = SO_REUSEADDR;
bool StartSockets() { return true; }
}  // namespace
#endif

namespace {
constexpr SimSocket kNoSimSocket = static_cast<SimSocket>(-1);
template <typename T>
int SetOption(SimSocket s, int level, int name, const T& value) {
    return ::setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}
}  // namespace

namespace {
// The simulated unit, whose state other threads may look at under its lock.
class CUnitPeer : public CSimPeer {
public:
    explicit CUnitPeer(CUnitSimulator& unit) : m_unit(unit) {}
    void ResetConnection() override {
        std::lock_guard<std::mutex> lock(m_unit.m_mutex);
        m_unit.ResetConnection();
    }
    std::vector<SimReply> Feed(const uint8_t* data, size_t size) override { return m_unit.Feed(data, size); }
    uint64_t CommitCount() override {
        std::lock_guard<std::mutex> lock(m_unit.m_mutex);
        return m_unit.CommitCount();
    }

private:
    CUnitSimulator& m_unit;
};
}  // namespace

CSimServer::CSimServer(CUnitSimulator& unit) : m_unitPeer(std::make_unique<CUnitPeer>(unit)), m_peer(*m_unitPeer) {}

CSimServer::CSimServer(CSimPeer& peer) : m_peer(peer) {}

CSimServer::~CSimServer() { Stop(); }

bool CSimServer::Start(uint16_t port, const std::string& bindAddress, std::string* error) {
    if (!StartSockets()) {
        if (error) *error = "Windows Sockets could not be started";
        return false;
    }
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener == kNoSimSocket) {
        if (error) *error = LastSocketError();
        return false;
    }
    int one = 1;
    SetOption(m_listener, SOL_SOCKET, kReuseOption, one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, bindAddress.c_str(), &addr.sin_addr) != 1) {
        if (error) *error = "not an IPv4 address: " + bindAddress;
        close(m_listener);
        m_listener = kNoSimSocket;
        return false;
    }
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_listener, 4) != 0) {
        if (error && AddressInUse())
            *error = "port " + std::to_string(port) + " on " + bindAddress +
                     " is in use; stop what listens there, or choose another port with --port";
        else if (error)
            *error = std::string("cannot listen on ") + bindAddress + ":" + std::to_string(port) + ": " +
                     LastSocketError();
        close(m_listener);
        m_listener = kNoSimSocket;
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_stop = false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CSimServer::Stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_listener != kNoSimSocket) close(m_listener);
    m_listener = kNoSimSocket;
}

void CSimServer::Run() {
    while (!m_stop) {
        pollfd p{m_listener, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        const SimSocket client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client == kNoSimSocket) continue;
        ++m_clients;
        Log("client connected", nullptr, 0);
        Serve(client);
    }
}

void CSimServer::Log(const char* what, const uint8_t* data, size_t size, int delayMs) {
    if (!m_wireLog) return;
    static const auto t0 = std::chrono::steady_clock::now();
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(m_wireLog, "%10.3f %s %zu", t, what, size);
    if (delayMs) std::fprintf(m_wireLog, " after %d ms", delayMs);
    std::fputs(":", m_wireLog);
    for (size_t i = 0; i < size && i < 12; ++i) std::fprintf(m_wireLog, " %02X", data[i]);
    std::fputs(size > 12 ? " ...\n" : "\n", m_wireLog);
    std::fflush(m_wireLog);
}

void CSimServer::RefuseWaiting(SimSocket listener) {
    pollfd p{listener, POLLIN, 0};
    while (poll(&p, 1, 0) > 0) {
        const SimSocket other = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (other == kNoSimSocket) break;
        ++m_refusedClients;
        std::fprintf(stderr, "tr52k-sim: refused a second client; the unit serves one connection at a time\n");
        close(other);
    }
}

// The unit ends the connection after a reply: reset, closed in order, or
// the unit dies.
void CSimServer::EndConnection(SimSocket client, const SimReply& r) {
    uint8_t buf[4096];
    if (r.exitProcess && m_onUnitDeath) m_onUnitDeath();
    if (r.resetOnClose) {
        linger l{1, 0};  // close with a reset
        SetOption(client, SOL_SOCKET, SO_LINGER, l);
    } else {
        // An orderly close: closing with unread input would make
        // the kernel send a reset instead, so the client's next
        // frames are read and dropped until it closes too.
        ::shutdown(client, SHUT_WR);
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (!m_stop && std::chrono::steady_clock::now() < until) {
            pollfd d{client, POLLIN, 0};
            if (poll(&d, 1, 10) > 0 && ::recv(client, reinterpret_cast<char*>(buf), sizeof buf, 0) <= 0)
                break;
        }
    }
}

void CSimServer::Serve(SimSocket client) {
    int one = 1;
    SetOption(client, IPPROTO_TCP, TCP_NODELAY, one);
    m_peer.ResetConnection();
    uint8_t buf[4096];
    bool open = true;
    while (open && !m_stop) {
        pollfd p[2] = {{client, POLLIN, 0}, {m_listener, POLLIN, 0}};
        if (poll(p, 2, 20) <= 0) continue;
        if (p[1].revents & POLLIN) {
            // A newcomer. A tool that reconnects at once has closed its
            // previous connection a moment earlier: give that close a few
            // ms to show, so a quick reconnect is served and not refused.
            pollfd c{client, POLLIN, 0};
            bool gone = false;
            if (poll(&c, 1, 5) > 0) {
                // Readable, so the peek does not wait.
                char b;
                const auto peek = ::recv(client, &b, 1, MSG_PEEK);
                gone = peek == 0 || (peek < 0 && !WouldBlock());
            }
            if (gone) break;
            RefuseWaiting(m_listener);
        }
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const auto n = ::recv(client, reinterpret_cast<char*>(buf), sizeof buf, 0);
        if (n <= 0) {
            Log(n == 0 ? "closed by client" : "receive error", buf, 0);
            break;
        }
        Log("rx", buf, static_cast<size_t>(n));
        std::vector<SimReply> replies = m_peer.Feed(buf, static_cast<size_t>(n));
        const uint64_t commits = m_peer.CommitCount();
        for (const SimReply& r : replies) {
            if (r.delayMs > 0) {
                auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(r.delayMs);
                while (!m_stop && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            Log(r.closeAfter ? (r.resetOnClose ? "tx, then reset" : "tx, then close") : "tx", r.bytes.data(),
                r.bytes.size(), r.delayMs);
            size_t done = 0;
            while (done < r.bytes.size()) {
                const auto w = ::send(client, reinterpret_cast<const char*>(r.bytes.data()) + done,
                                      static_cast<int>(r.bytes.size() - done), MSG_NOSIGNAL);
                if (w <= 0) {
                    open = false;
                    break;
                }
                done += static_cast<size_t>(w);
            }
            if (r.closeAfter) {
                EndConnection(client, r);
                open = false;
                break;
            }
        }
        if (commits != m_savedCommits && m_onCommit) {
            m_savedCommits = commits;
            auto t0 = std::chrono::steady_clock::now();
            m_onCommit();
            Log("state saved", nullptr, 0,
                static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - t0).count()));
        }
    }
    close(client);
    m_peer.ConnectionClosed();
}
