// The TR52K as a peer on the wire: parses request frames as they arrive and
// answers each command with a reply of the length the loader expects, from
// one consistent unit state (versions, network, configuration pages and the
// EEPROM directory, twelve EEPROM images, two DSP flash images). Faults can
// be injected per command. Time comes from a CClock so tests can run the
// erase timing on a fake clock.
#pragma once

#include <array>
#include <initializer_list>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"

// One fault on one command, for its occurrences from `from` on (counted since
// the simulator started, so a fault can hit page 7 of an update), `count`
// times (-1: every one from there on). Written "KIND:CMD[:VALUE][@FROM][*COUNT]",
// e.g. "delay:0x1021:10500@3*1" or "exit:0x1020@4". The simulator's
// shorthand options (--drop, --delay, --short, --extra) are rules too
// (SimOptionRule).
struct SimRule {
    enum class EKind {
        Drop,     // handled, reply swallowed
        Ignore,   // neither handled nor answered, as a frame lost on the way
        Delay,    // reply after VALUE ms more
        Short,    // only the first VALUE bytes of the reply
        Extra,    // VALUE stray bytes after the reply
        Garbage,  // a reply of the right length that is no frame
        Close,    // not handled; the connection is closed in order
        Reset,    // not handled; the connection is reset
        Exit,     // not handled; the unit dies (the program exits, state unsaved)
        Noop,     // answered as if done, but not carried out (a unit that acknowledges and does nothing)
        Hangup,   // handled and answered, then the connection is reset VALUE ms later (a unit that restarts)
        CloseAfter,  // handled and answered, then the connection is closed (VALUE 1: reset)
    };
    EKind kind = EKind::Drop;
    uint16_t command = 0;
    int value = 0;
    int from = 1;
    int count = -1;
    // Any command, its occurrence being the frame's number on its connection.
    bool anyCommand = false;
    bool Covers(int occurrence) const { return occurrence >= from && (count < 0 || occurrence < from + count); }
};
// False, with the reason, for a text that is not a whole rule.
bool ParseSimRule(const std::string& text, SimRule* rule, std::string* error);
// The rule an older option stands for: "drop" ("CMD[:N]": not answered, N
// times or always), "delay" ("CMD:MS"), "short" ("CMD:K"), "extra"
// ("CMD:N"). False, with the reason, for a value that is not whole.
bool SimOptionRule(const std::string& option, const std::string& text, SimRule* rule, std::string* error);
// Every connection is closed (or reset) after its `frames`-th frame.
SimRule CloseAfterFrames(int frames, bool reset);
// The next `pages` page writes are lost on the way (none for 0 or less).
SimRule LostPageWrites(int pages);

struct SimReply {
    std::vector<uint8_t> bytes;
    int delayMs = 0;
    bool closeAfter = false;
    bool resetOnClose = false;  // with closeAfter: abort the connection instead
    bool exitProcess = false;   // with closeAfter: the unit dies here
};

class CUnitSimulator {
public:
    explicit CUnitSimulator(CClock& clock = SystemClock());

    // Feeds received bytes; returns the replies due, in order.
    std::vector<SimReply> Feed(const uint8_t* data, size_t size);
    void ResetConnection();  // a new client: parser and frame count start over

    // --- State -------------------------------------------------------------
    struct Versions {
        uint16_t serialPrefix = 0x00AB;
        uint16_t serialSequence = 5;
        uint32_t dsp1 = 0x01020003, dsp2 = 0x01020004, fio = 0x0000003F, bridge = 0x00110022,
                 dpFpga = 0x20240601;
        uint8_t dspPcbRev = 3;
        uint16_t dpPcbRev = 300;
        uint8_t personality = 1;
    };
    Versions m_versions;
    std::string m_deviceId = "TR52K-UNIT-0001 ";
    bool m_bDhcp = false;
    uint32_t m_ipAddress = 0xC0A80164;  // 192.168.1.100
    bool m_bUpdateEnable = true;
    uint8_t m_operationalMode = 1;
    int m_currentEeprom = 0;
    std::array<uint32_t, 12> m_imageIds{};
    std::array<uint16_t, 12> m_personalities{};
    std::array<std::vector<uint8_t>, 12> m_eeproms;
    std::array<std::vector<uint8_t>, 2> m_dspImages;
    std::array<std::string, 5> m_texts{{"TR52K Telemetry Receiver", "Korvanex", "Rack 1", "", ""}};
    std::vector<uint8_t> m_turnOffs;  // targets received, in order

    // Timing of the unit's own work.
    int m_eraseMs = 200;
    int m_pageWriteMs = 0;
    int m_modeMs = 0;
    int m_selectMs = 0;

    std::vector<SimRule> m_faultRules;  // the faults the unit injects, in order
    std::mutex m_mutex;  // held by Feed; take it to change state from another thread

    // Statistics.
    std::map<uint16_t, int> m_commandCounts;
    int m_pageWrites = 0;

    // Digest of a stored image: "<length>:<fnv1a-64 hex>".
    static std::string Digest(const std::vector<uint8_t>& data);
    std::string EepromDigest(int index) const { return Digest(m_eeproms.at(index)); }
    std::string DspDigest(int dsp) const { return Digest(m_dspImages.at(dsp)); }

    bool SaveState(const std::string& path, std::string* error);
    // SaveState in two steps, so the file can be written without holding the
    // unit: the state as text (take m_mutex around it), then the file.
    std::string StateText() const;
    static bool WriteStateFile(const std::string& path, const std::string& text, std::string* error);
    bool LoadState(const std::string& path, std::string* error);

    // Counts the changes worth keeping across a restart (erase, select, DSP
    // finish, mode, turn-off); page writes and blocks alone do not count, so
    // a state file is not rewritten for every page.
    uint64_t CommitCount() const { return m_commits; }

private:
    // The next whole frame in m_rx, taken out of it; false when none is.
    bool NextFrame(uint16_t* command, std::vector<uint8_t>* payload);
    // The replies to one frame; true when the connection ends after them.
    bool Answer(uint16_t command, const std::vector<uint8_t>& payload, std::vector<SimReply>& out);
    std::vector<SimReply> Handle(uint16_t command, const std::vector<uint8_t>& payload);
    // What a command does to the unit, its reply payload filled in; the
    // unit's working time.
    int Act(uint16_t command, const std::vector<uint8_t>& q, std::vector<uint8_t>& payload);
    void DspUpload(const std::vector<uint8_t>& q);
    void WritePage(const std::vector<uint8_t>& q);
    int Erase(uint8_t selectCode);
    void Select(uint8_t selectCode);
    void PutVersions(std::vector<uint8_t>& payload) const;
    // The first rule of one of `kinds` that covers this frame.
    const SimRule* Rule(uint16_t command, int occurrence, std::initializer_list<SimRule::EKind> kinds) const;
    void ApplyRules(uint16_t command, int occurrence, std::vector<SimReply>& replies) const;
    std::vector<uint8_t> ConfigPage(uint8_t page) const;
    void FinishEraseIfDue();

    CClock& m_clock;
    std::vector<uint8_t> m_rx;
    int m_frames = 0;
    int m_eraseIndex = -1;
    int64_t m_eraseStart = 0;
    bool m_bEraseDone = true;
    int m_uploadDsp = -1;
    std::vector<uint8_t> m_upload;
    uint64_t m_commits = 0;
};

int EepromIndexFromSelectCode(uint8_t code);  // -1 for an unknown code
