#include "sim/ReplayPeer.h"

#include "platform/Text.h"

namespace {
// The request frames of the client's bytes: a six-byte header whose last
// word is the payload length. A trailing piece that is no whole frame
// counts as one request too.
std::vector<size_t> RequestStarts(const std::vector<uint8_t>& bytes, size_t* whole) {
    std::vector<size_t> starts;
    size_t at = 0;
    *whole = 0;
    while (at < bytes.size()) {
        starts.push_back(at);
        if (at + 6 > bytes.size()) break;
        const size_t next = at + 6 + (bytes[at + 4] | bytes[at + 5] << 8);
        if (next > bytes.size()) break;
        ++*whole;
        at = next;
    }
    return starts;
}
}  // namespace

std::vector<CRecordedConnection> ConnectionsOfUnit(const std::vector<CRecordedConnection>& all,
                                                   const std::string& unit, std::string* why) {
    std::string chosen = unit;
    if (chosen.empty())
        for (const CRecordedConnection& c : all)
            if (!c.deliveries.empty()) {
                chosen = EndpointText(c.unit);
                break;
            }
    std::vector<CRecordedConnection> out;
    std::string units;
    for (const CRecordedConnection& c : all) {
        const std::string name = EndpointText(c.unit);
        if (name == chosen) out.push_back(c);
        if (units.find(name) == std::string::npos) units += (units.empty() ? "" : ", ") + name;
    }
    if (out.empty())
        *why = chosen.empty() ? "the capture holds no TCP connection with data"
                              : "the capture holds no connection to " + chosen +
                                    (units.empty() ? "" : " (it holds " + units + ")");
    return out;
}

CReplayPeer::CReplayPeer(std::vector<CRecordedConnection> connections) {
    for (CRecordedConnection& r : connections) {
        Connection c;
        for (const CStreamDelivery& d : r.deliveries)
            if (!d.fromUnit) c.clientBytes.insert(c.clientBytes.end(), d.bytes.begin(), d.bytes.end());
        c.requestStarts = RequestStarts(c.clientBytes, &c.requests);
        c.recorded = std::move(r);
        m_connections.push_back(std::move(c));
    }
}

CReplayPeer::EState CReplayPeer::State() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

std::string CReplayPeer::Report() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_report;
}

void CReplayPeer::Differ(const std::string& report) {
    m_state = EState::Differed;
    m_report = (m_connections.size() > 1 ? Format("replay: connection %zu: ", m_current + 1) : std::string("replay: ")) +
               report;
}

std::string CReplayPeer::RequestAt(size_t offset, size_t* within) const {
    const Connection& c = m_connections[m_current];
    size_t n = 0;
    while (n < c.requestStarts.size() && c.requestStarts[n] <= offset) ++n;
    // n: how many requests start at or before the offset.
    const size_t start = n ? c.requestStarts[n - 1] : 0;
    *within = offset - start;
    const std::vector<uint8_t>& head = c.clientBytes;
    if (start + 4 <= head.size())
        return Format("request %zu (command 0x%04X)", n, head[start + 2] | head[start + 3] << 8);
    return Format("request %zu", n);
}

void CReplayPeer::ResetConnection() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state != EState::Playing) return;
    if (m_started) ++m_current;
    m_started = true;
    m_at = m_pos = m_clientOffset = 0;
    if (m_current >= m_connections.size()) {
        m_current = m_connections.size() - 1;
        Differ(Format("a client connected once more; the capture holds %zu connection%s to the unit", m_connections.size(),
                      m_connections.size() == 1 ? "" : "s"));
        return;
    }
    const auto& d = m_connections[m_current].recorded.deliveries;
    m_lastUs = d.empty() ? 0 : d.front().timeUs;
}

void CReplayPeer::EmitUnitBytes(std::vector<SimReply>& replies) {
    const auto& d = m_connections[m_current].recorded.deliveries;
    while (m_pos == 0 && m_at < d.size() && d[m_at].fromUnit) {
        SimReply r;
        r.bytes = d[m_at].bytes;
        r.delayMs = static_cast<int>((std::max<int64_t>(0, d[m_at].timeUs - m_lastUs) + 500) / 1000);
        m_lastUs = d[m_at].timeUs;
        replies.push_back(std::move(r));
        ++m_at;
    }
}

std::vector<SimReply> CReplayPeer::Feed(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<SimReply> replies;
    if (m_state != EState::Playing) return replies;
    Connection& c = m_connections[m_current];
    const auto& d = c.recorded.deliveries;
    for (size_t i = 0; i < size; ++i) {
        EmitUnitBytes(replies);
        if (m_at >= d.size()) {
            Differ(Format("request %zu is not in the capture, which ends after %zu; it begins 0x%02X",
                          c.requests + 1, c.requests, data[i]));
        } else if (data[i] != d[m_at].bytes[m_pos]) {
            size_t within = 0;
            const std::string request = RequestAt(m_clientOffset, &within);
            Differ(Format("%s differs at byte %zu: recorded 0x%02X, received 0x%02X", request.c_str(), within,
                          d[m_at].bytes[m_pos], data[i]));
        }
        if (m_state != EState::Playing) {
            // What was due before the difference goes out; then the unit
            // hangs up, as a unit that lost track would.
            SimReply end;
            end.closeAfter = true;
            end.resetOnClose = true;
            replies.push_back(end);
            return replies;
        }
        ++m_clientOffset;
        if (++m_pos == d[m_at].bytes.size()) {
            m_lastUs = d[m_at].timeUs;
            ++m_at;
            m_pos = 0;
        }
    }
    EmitUnitBytes(replies);
    return replies;
}

void CReplayPeer::ConnectionClosed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state != EState::Playing || !m_started) return;
    const Connection& c = m_connections[m_current];
    if (m_at < c.recorded.deliveries.size()) {
        size_t done = 0;
        while (done < c.requestStarts.size() && c.requestStarts[done] < m_clientOffset) ++done;
        Differ(Format("the client closed the connection after %zu of the %zu recorded requests", done, c.requests));
        return;
    }
    m_answered += c.requests;
    if (m_current + 1 == m_connections.size()) {
        m_state = EState::Matched;
        m_report = Format("replay: the whole session matched: %zu request%s over %zu connection%s, each answered as "
                          "recorded",
                          m_answered, m_answered == 1 ? "" : "s", m_connections.size(),
                          m_connections.size() == 1 ? "" : "s");
    }
}
