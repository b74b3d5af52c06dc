// TCP front of the simulator: listens on loopback, serves one client at a
// time like the unit (a second client is accepted and closed at once, so it
// sees a refusal instead of hanging), and sends each reply after the delay
// the unit's work or an injected fault asks for.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "sim/UnitSimulator.h"

#ifdef _WIN32
using SimSocket = uintptr_t;  // SOCKET
#else
using SimSocket = int;
#endif

// What answers the clients: the simulated unit, or a recorded session
// played back (sim/ReplayPeer.h). Called on the server thread only.
class CSimPeer {
public:
    virtual ~CSimPeer() = default;
    virtual void ResetConnection() = 0;  // a new client
    virtual std::vector<SimReply> Feed(const uint8_t* data, size_t size) = 0;
    // Counts the changes worth keeping (see CUnitSimulator::CommitCount).
    virtual uint64_t CommitCount() { return 0; }
    virtual void ConnectionClosed() {}  // the client's connection has ended
};

class CSimServer {
public:
    explicit CSimServer(CUnitSimulator& unit);
    explicit CSimServer(CSimPeer& peer);
    ~CSimServer();
    CSimServer(const CSimServer&) = delete;
    CSimServer& operator=(const CSimServer&) = delete;

    // Port 0 picks a free port. Returns false (with a reason) when the
    // address cannot be bound.
    bool Start(uint16_t port, const std::string& bindAddress = "127.0.0.1", std::string* error = nullptr);
    void Stop();
    uint16_t Port() const { return m_port; }

    // Called on the server thread, after the replies are sent, whenever the
    // unit committed a change (see CUnitSimulator::CommitCount); used to save
    // the state file. Called with the unit's mutex not held.
    std::function<void()> m_onCommit;
    // Called on the server thread when an injected fault kills the unit;
    // without it the connection is only reset.
    std::function<void()> m_onUnitDeath;
    // When set, every chunk received and every reply sent is written here
    // with its time, for reading a rehearsal back afterwards.
    std::FILE* m_wireLog = nullptr;
    std::atomic<int> m_refusedClients{0};
    std::atomic<int> m_clients{0};

private:
    void Run();
    void EndConnection(SimSocket client, const SimReply& reply);
    void Serve(SimSocket client);
    void RefuseWaiting(SimSocket listener);
    void Log(const char* what, const uint8_t* data, size_t size, int delayMs = 0);

    std::unique_ptr<CSimPeer> m_unitPeer;  // the simulated unit's, when serving one
    CSimPeer& m_peer;
    SimSocket m_listener = static_cast<SimSocket>(-1);
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    uint64_t m_savedCommits = 0;
    std::thread m_thread;
};
