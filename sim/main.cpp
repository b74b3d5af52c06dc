// tr52k-sim: the unit simulator as a program, for rehearsing updates and for
// scripts. Prints "listening on 127.0.0.1:PORT" once it accepts clients.
#include <CLI/CLI.hpp>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/CommandLine.h"
#include "platform/PacketFile.h"
#include "sim/ReplayPeer.h"
#include "sim/SimServer.h"
#include "sim/UnitSimulator.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

// Plays the unit's side of a capture to the clients that connect, until
// the session has ended or differed. 0: the whole session matched.
int Replay(const std::string& file, const std::string& unit, uint16_t port, const std::string& bind) {
    std::vector<CCapturedPacket> packets;
    std::string why;
    if (!ReadPacketFile(file, &packets, &why)) {
        std::fprintf(stderr, "tr52k-sim: cannot replay %s: %s\n", file.c_str(), why.c_str());
        return 2;
    }
    std::vector<CRecordedConnection> connections = ConnectionsOfUnit(RecordedConnections(packets), unit, &why);
    if (connections.empty()) {
        std::fprintf(stderr, "tr52k-sim: cannot replay %s: %s\n", file.c_str(), why.c_str());
        return 2;
    }
    const std::string name = EndpointText(connections.front().unit);
    CReplayPeer peer(std::move(connections));
    CSimServer server(peer);
    if (!server.Start(port, bind, &why)) {
        std::fprintf(stderr, "tr52k-sim: %s\n", why.c_str());
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("listening on %s:%u\n", bind.c_str(), server.Port());
    std::printf("replaying %s as %s\n", file.c_str(), name.c_str());
    std::fflush(stdout);
    while (!g_stop && peer.State() == CReplayPeer::EState::Playing)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server.Stop();
    switch (peer.State()) {
        case CReplayPeer::EState::Matched:
            std::printf("%s\n", peer.Report().c_str());
            return 0;
        case CReplayPeer::EState::Differed:
            std::fprintf(stderr, "%s\n", peer.Report().c_str());
            return 1;
        case CReplayPeer::EState::Playing:
            break;
    }
    std::fprintf(stderr, "replay: stopped before the session ended; it did not match\n");
    return 1;
}

// Writes the unit's state file on a thread of its own whenever asked; its
// destructor finishes a pending write and joins, so every path out of
// main() (a port in use among them) ends the thread.
class CStateSaver {
public:
    CStateSaver(CUnitSimulator& unit, std::string file) : m_unit(unit), m_file(std::move(file)) {
        m_thread = std::thread([this] { Run(); });
    }
    ~CStateSaver() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    CStateSaver(const CStateSaver&) = delete;
    CStateSaver& operator=(const CStateSaver&) = delete;

    void Request() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending = true;
        m_wake.notify_all();
    }
    void WaitIdle() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait(lock, [&] { return !m_pending && !m_saving; });
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (true) {
            m_wake.wait(lock, [&] { return m_pending || m_stop; });
            if (!m_pending) break;
            m_pending = false;
            m_saving = true;
            lock.unlock();
            std::string text, error;
            {
                std::lock_guard<std::mutex> unitLock(m_unit.m_mutex);
                text = m_unit.StateText();
            }
            if (!CUnitSimulator::WriteStateFile(m_file, text, &error)) std::fprintf(stderr, "tr52k-sim: %s\n", error.c_str());
            lock.lock();
            m_saving = false;
            m_wake.notify_all();
        }
    }

    CUnitSimulator& m_unit;
    const std::string m_file;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_pending = false, m_stop = false, m_saving = false;
    std::thread m_thread;
};

// What the command line asks for.
struct SimOptions {
    uint16_t port = 5000;
    std::string bind = "127.0.0.1", stateFile, wireLog, replayFile, replayUnit;
    bool realistic = false, digest = false, reset = false;
    int closeAfter = -1, failPages = 0;
    std::vector<std::string> drops, delays, shorts, extras, rules;
    CLI::Option *erase = nullptr, *page = nullptr, *mode = nullptr, *select = nullptr;
};

void AddOptions(CLI::App& app, SimOptions& o, CUnitSimulator& unit) {
    app.add_option("--port", o.port, "TCP port (0 picks a free one)")->capture_default_str();
    app.add_option("--bind", o.bind, "IPv4 address to listen on")->capture_default_str();
    app.add_option("--state", o.stateFile, "load the unit's state from FILE and save it there after changes");
    o.erase = app.add_option("--erase-ms", unit.m_eraseMs, "duration of an EEPROM bulk erase")->capture_default_str();
    o.page = app.add_option("--page-write-ms", unit.m_pageWriteMs, "time to write one EEPROM page")->capture_default_str();
    o.mode = app.add_option("--mode-ms", unit.m_modeMs, "time to switch the operational mode")->capture_default_str();
    o.select = app.add_option("--select-ms", unit.m_selectMs, "time to select an EEPROM")->capture_default_str();
    app.add_flag("--realistic", o.realistic,
                 "timing of a real unit (erase 8 s, page 3 ms, mode 2 s, select 3 s); the timing options above "
                 "still override it");
    app.add_option("--drop", o.drops, "CMD[:N]  do not answer command CMD (N times; always without N)");
    app.add_option("--delay", o.delays, "CMD:MS  answer command CMD after MS milliseconds");
    app.add_option("--short", o.shorts, "CMD:K  send only the first K bytes of the reply to CMD");
    app.add_option("--extra", o.extras, "CMD:N  append N stray bytes to the reply to CMD");
    app.add_option("--fault", o.rules,
                   "KIND:CMD[:VALUE][@FROM][*COUNT]  a fault on command CMD from its FROM-th occurrence on, COUNT "
                   "times; KIND is drop, ignore, delay:MS, short:K, extra:N, garbage, noop (answered, not done), hangup:MS (answered, "
                   "then the connection is reset MS ms later), close, reset or exit (the program dies at once, state "
                   "unsaved)");
    app.add_option("--close-after", o.closeAfter, "close the connection after N frames");
    app.add_flag("--reset", o.reset, "close with a reset instead of an orderly close");
    app.add_option("--fail-pages", o.failPages, "leave the next N page writes unanswered");
    app.add_option("--wire-log", o.wireLog, "write every chunk received and every reply sent, with its time, to FILE");
    app.add_option("--replay", o.replayFile,
                   "play the unit's side of a capture file (pcap or pcapng): each request is compared with the "
                   "recorded one and answered with the recorded reply after the recorded delay; exits 1 at the "
                   "first difference, 0 when the whole session matched");
    app.add_option("--unit", o.replayUnit, "with --replay: the unit to play, as ADDR:PORT in the capture (default: "
                                           "the first one)");
    app.add_flag("--digest", o.digest, "print the digests of the stored images and exit");
    app.add_flag("--print-port", "print the listening line (always printed; kept for scripts)");
}

// The timing and the faults the options ask for, into the unit; false
// (said on stderr) for a fault that does not parse.
bool Configure(const SimOptions& o, CUnitSimulator& unit) {
    if (o.realistic) {
        if (!o.erase->count()) unit.m_eraseMs = 8000;
        if (!o.page->count()) unit.m_pageWriteMs = 3;
        if (!o.mode->count()) unit.m_modeMs = 2000;
        if (!o.select->count()) unit.m_selectMs = 3000;
    }
    std::vector<SimRule>& rules = unit.m_faultRules;
    // The shorthand options first, in this order: a reply is cut short
    // before stray bytes are added.
    const std::pair<const char*, const std::vector<std::string>*> older[] = {
        {"drop", &o.drops}, {"delay", &o.delays}, {"short", &o.shorts}, {"extra", &o.extras}};
    std::string why;
    for (const auto& [option, texts] : older)
        for (const std::string& text : *texts)
            if (!SimOptionRule(option, text, &rules.emplace_back(), &why)) {
                std::fprintf(stderr, "tr52k-sim: %s\n", why.c_str());
                return false;
            }
    if (o.failPages > 0) rules.push_back(LostPageWrites(o.failPages));
    for (const auto& text : o.rules)
        if (!ParseSimRule(text, &rules.emplace_back(), &why)) {
            std::fprintf(stderr, "tr52k-sim: %s\n", why.c_str());
            return false;
        }
    if (o.closeAfter >= 0) rules.push_back(CloseAfterFrames(o.closeAfter, o.reset));
    return true;
}

// Serves the unit until a signal stops the program; the state is saved as
// it changes and at the end.
int Serve(const SimOptions& o, CUnitSimulator& unit) {
    std::string error;
    CSimServer server(unit);
    std::FILE* log = nullptr;
    if (!o.wireLog.empty() && !(log = std::fopen(o.wireLog.c_str(), "a"))) {
        std::fprintf(stderr, "tr52k-sim: cannot write %s\n", o.wireLog.c_str());
        return 2;
    }
    server.m_wireLog = log;
    // Commits are written by a thread of their own: a unit keeps answering
    // while it stores its state, and a slow disk must not make it miss a
    // time-out. The state is taken under the unit's lock, written outside it.
    std::unique_ptr<CStateSaver> saver;
    if (!o.stateFile.empty()) {
        saver = std::make_unique<CStateSaver>(unit, o.stateFile);
        server.m_onCommit = [&saver] { saver->Request(); };
    }
    // A unit that loses power keeps what it had committed, and nothing after.
    server.m_onUnitDeath = [&saver] {
        if (saver) saver->WaitIdle();
        std::_Exit(70);
    };
    if (!server.Start(o.port, o.bind, &error)) {
        std::fprintf(stderr, "tr52k-sim: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("listening on %s:%u\n", o.bind.c_str(), server.Port());
    std::fflush(stdout);
    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server.Stop();
    saver.reset();  // its pending save done; the final one below
    if (!o.stateFile.empty() && !unit.SaveState(o.stateFile, &error)) {
        std::fprintf(stderr, "tr52k-sim: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    CUtf8Arguments utf8(argc, argv);  // non-ASCII paths on Windows too
    argc = utf8.Argc();
    argv = utf8.Argv();
    CLI::App app{"TR52K unit simulator: answers the loader's commands over TCP like the unit."};
    app.allow_windows_style_options(false);  // a path such as /x/state.json stays a path
    app.set_version_flag("--version", std::string("tr52k-sim ") + TR52K_VERSION, "show the program's version");
    SimOptions o;
    CUnitSimulator unit;
    AddOptions(app, o, unit);
    CLI11_PARSE(app, argc, argv);

    if (!o.replayFile.empty()) return Replay(o.replayFile, o.replayUnit, o.port, o.bind);
    if (!Configure(o, unit)) return 2;
    std::string error;
    std::error_code noState;
    if (!o.stateFile.empty() && std::filesystem::exists(std::filesystem::u8path(o.stateFile), noState) &&
        !unit.LoadState(o.stateFile, &error)) {
        std::fprintf(stderr, "tr52k-sim: %s\n", error.c_str());
        return 2;
    }
    if (o.digest) {
        for (int i = 0; i < 12; ++i) std::printf("EEPROM_%d %s\n", i, unit.EepromDigest(i).c_str());
        for (int i = 0; i < 2; ++i) std::printf("DSP%d %s\n", i + 1, unit.DspDigest(i).c_str());
        return 0;
    }
    return Serve(o, unit);
}
