#include "platform/UnitLock.h"

#include <mutex>
#include <set>

#include "platform/Text.h"

namespace {
// Names held in this process. A flock()ed file would refuse a second open
// of its own, but a Windows mutex lets its owning thread in again, so both
// systems keep this list and refuse a second holder here first.
std::mutex g_heldMutex;
std::set<std::string> g_held;

std::string UnitText(const std::string& host, uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

uint64_t Fnv1a64(const std::string& s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ull;
    return h;
}
}  // namespace

std::string UnitLockName(const std::string& host, uint16_t port) {
    std::string name = "unit-";
    for (unsigned char c : host) {
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-')
            name += static_cast<char>(c);
        else
            name += Format("%%%02x", c);
    }
    name += "_" + std::to_string(port);
    // File names end at 255 bytes and object names soon after: a host name
    // from a command line has no such limit.
    constexpr size_t kMax = 160;
    if (name.size() > kMax)
        name = name.substr(0, kMax - 17) + "~" + Format("%016llx", static_cast<unsigned long long>(Fnv1a64(name)));
    return name;
}

CUnitLock::CUnitLock(const std::string& host, uint16_t port) : m_strName(UnitLockName(host, port)) {
    const std::string unit = UnitText(host, port);
    {
        std::lock_guard<std::mutex> lock(g_heldMutex);
        if (!g_held.insert(m_strName).second) {
            m_bHeldElsewhere = true;
            m_strError = "Another update on this machine is writing to the unit at " + unit + ".";
            return;
        }
    }
    std::string why;
    m_handle = AcquireSystemUnitLock(m_strName, &m_bHeldElsewhere, &why);
    if (m_handle != -1) {
        m_bHeld = true;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_heldMutex);
        g_held.erase(m_strName);
    }
    m_strError = m_bHeldElsewhere ? "Another update on this machine is writing to the unit at " + unit + "."
                                  : "The update lock of the unit at " + unit + " could not be taken: " + why;
}

CUnitLock::~CUnitLock() {
    if (!m_bHeld) return;
    ReleaseSystemUnitLock(m_handle);
    std::lock_guard<std::mutex> lock(g_heldMutex);
    g_held.erase(m_strName);
}
