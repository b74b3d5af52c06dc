// A recorded session played back as the unit: each request that arrives is
// compared with the recorded one, byte for byte, and the recorded reply
// follows after the recorded delay. The first difference ends the session;
// its report says where (request number, byte offset, both bytes).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "sim/CaptureStreams.h"
#include "sim/SimServer.h"

class CReplayPeer : public CSimPeer {
public:
    // The connections to serve, one per client, in order (all of one unit).
    explicit CReplayPeer(std::vector<CRecordedConnection> connections);

    void ResetConnection() override;
    std::vector<SimReply> Feed(const uint8_t* data, size_t size) override;
    void ConnectionClosed() override;

    enum class EState { Playing, Matched, Differed };
    EState State();
    // What happened, in one line: the first difference, or the session's
    // outcome once it has ended.
    std::string Report();

private:
    struct Connection {
        CRecordedConnection recorded;
        std::vector<uint8_t> clientBytes;   // all the client sent, in order
        std::vector<size_t> requestStarts;  // offsets of the request frames in the client's bytes
        size_t requests = 0;                // whole frames among them
    };
    void EmitUnitBytes(std::vector<SimReply>& replies);
    void Differ(const std::string& report);
    // "request N (command 0x....)" for an offset into the client's bytes,
    // and the offset inside that request.
    std::string RequestAt(size_t offset, size_t* within) const;

    std::mutex m_mutex;
    std::vector<Connection> m_connections;
    size_t m_current = 0;      // index of the connection being served (+1 once started)
    bool m_started = false;
    size_t m_at = 0;           // delivery being played
    size_t m_pos = 0;          // bytes of it matched (client deliveries)
    size_t m_clientOffset = 0;
    int64_t m_lastUs = 0;      // recorded time of the last event played
    size_t m_answered = 0;     // requests matched, all connections
    EState m_state = EState::Playing;
    std::string m_report;
};

// The connections of `unit` ("address:port"; empty: the unit of the first
// connection that carries data). Empty, with the reason, when there are none.
std::vector<CRecordedConnection> ConnectionsOfUnit(const std::vector<CRecordedConnection>& all,
                                                   const std::string& unit, std::string* why);
