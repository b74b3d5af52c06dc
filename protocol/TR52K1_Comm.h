// The device command object: every exchange with the unit goes through it.
//
// A request is a six-byte header (0x0068, command, payload length; all
// little-endian) and the payload. The reply is read one byte at a time until
// the length fixed for that command has arrived, or the time-out has passed;
// the reply header is not interpreted. Values inside payloads are big-endian.
// Each operation returns a success flag (non-zero = success) and decodes
// whatever bytes arrived, zeros standing in for the missing ones.
//
// Where a reply decides what happens next (DSP start, blocks and finish,
// erase, erase status, pages, select, mode), only the command's own frame
// counts: header word 0x0068 and the command code echoed; bytes before it
// are skipped. A reply carries no sequence number, so there is never more
// than one request outstanding: a request whose reply did not come in time
// still owes it, and the next request goes out only after that reply has
// come and been dropped, or the owing request's own time-out has passed
// again. A late reply can then never be taken for a later request's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/BaseClass.h"
#include "platform/Clock.h"

// Command codes.
enum : uint16_t {
    CMD_NULL = 0x0000,
    CMD_SET_OPERATIONAL_MODE = 0x1000,
    CMD_DSP_FLASH = 0x1001,            // start and finish
    CMD_TURN_OFF = 0x1002,
    CMD_READ_DEVICE_ID = 0x1003,
    CMD_READ_STATUS_RECORD = 0x1008,
    CMD_DSP_FLASH_BLOCK = 0x1020,
    CMD_EEPROM_PAGE_WRITE = 0x1021,
    CMD_EEPROM_BULK_ERASE = 0x1022,
    CMD_CONTINUOUS_STATUS_READ = 0x1023,
    CMD_EEPROM_SELECT = 0x1024,
    CMD_READ_OPERATIONAL_STATUS = 0x2000,
    CMD_READ_NETWORK_SETTINGS = 0x2002,
    CMD_READ_DEVICE_INFO = 0x2003,
    CMD_READ_CONFIG_PAGE = 0x2009,
};

constexpr uint16_t FRAME_HEADER_WORD = 0x0068;
constexpr int FRAME_HEADER_SIZE = 6;
constexpr uint32_t MAX_REQUEST_PAYLOAD = 65529;

// Response payload lengths (bytes after the six-byte header).
constexpr int RSP_DSP_FLASH = 4;
constexpr int RSP_DEVICE_ID = 16;
constexpr int RSP_STATUS_RECORD = 256;
constexpr int RSP_BULK_ERASE = 4;
constexpr int RSP_CONTINUOUS_STATUS = 1;
constexpr int RSP_OPERATIONAL_STATUS = 23;
constexpr int RSP_NETWORK_SETTINGS = 5;
constexpr int RSP_DEVICE_INFO = 48;
constexpr int RSP_CONFIG_PAGE = 128;

// Request payload lengths.
constexpr int REQ_DSP_FLASH = 6;
constexpr int REQ_TURN_OFF = 7;
constexpr int REQ_DEVICE_ID = 17;
constexpr int REQ_EEPROM_PAGE_WRITE = 259;
constexpr int DSP_BLOCK_MAX = 128;
constexpr int EEPROM_PAGE_SIZE = 256;

// Time-outs of the long exchanges.
constexpr int32_t PAGE_WRITE_TIMEOUT_MS = 10000;
constexpr int32_t SELECT_EEPROM_TIMEOUT_MS = 25000;
constexpr int32_t SET_MODE_TIMEOUT_MS = 25000;

// Turn-off targets.
constexpr uint8_t TURN_OFF_GRAPHS_1 = 0x01;
constexpr uint8_t TURN_OFF_GRAPHS_2 = 0x02;
constexpr uint8_t TURN_OFF_CONSOLIDATED_STATUS = 0x06;

constexpr int EEPROM_COUNT = 12;
constexpr int CONFIG_TEXT_PAGES = 5;
constexpr uint8_t FIRST_TEXT_PAGE = 20;

// How one exchange ended.
enum class EExchangeResult {
    Answered,     // the whole reply arrived in time (in its own frame where that was asked)
    NoAnswer,     // nothing, or too little, arrived in time
    NotOwnFrame,  // bytes arrived, but not the request's own frame
    LinkLost,     // the connection is gone: the request could not be sent, or no reply can come
    NotSent,      // refused before sending (no link, or a payload too long for a frame)
};
const char* ExchangeResultText(EExchangeResult result);
const std::vector<EExchangeResult>& AllExchangeResults();

// Display text of a personality / operational-mode number.
const char* PersonalityName(uint32_t number);
// Select byte of EEPROM 0..11 (0x10..0x17, 0x30..0x33); false above 11.
bool EepromSelectCode(uint32_t index, uint8_t* code);

class CTR52K1_Comm {
public:
    explicit CTR52K1_Comm(CBaseClass* link, CClock& clock = SystemClock());
    virtual ~CTR52K1_Comm() = default;
    CTR52K1_Comm(const CTR52K1_Comm&) = delete;
    CTR52K1_Comm& operator=(const CTR52K1_Comm&) = delete;

    virtual CBaseClass* GetDeviceLink() { return m_pDeviceLink; }

    // --- Exchanges ---------------------------------------------------------
    // `request` holds 6 + requestPayloadLength bytes, payload at offset 6;
    // `response` receives 6 + responsePayloadLength bytes.
    uint32_t SendCommand(uint16_t command, uint8_t* request, uint32_t requestPayloadLength,
                         uint8_t* response, uint32_t responsePayloadLength);
    // Reads exactly the six-byte header (`response` holds 6 bytes) within
    // `timeoutMs`; traces a failure in three lines.
    uint32_t SendCommandLongTimeout(int32_t timeoutMs, uint16_t command, uint8_t* request,
                                    uint32_t requestPayloadLength, uint8_t* response);

    // How the last exchange ended, and whether its request went out.
    EExchangeResult LastExchange() const { return m_lastExchange; }
    bool LastRequestSent() const { return m_bLastRequestSent; }
    // A request whose reply is still owed: the next exchange waits for it.
    bool ReplyOwed() const { return m_owed.owed; }
    // Reads and drops what has arrived while no exchange runs (a front end
    // calls it when the connection becomes readable while idle). An owed
    // reply among it is settled, so the next request need not wait for it.
    // Returns how many bytes were dropped.
    uint32_t DropIdleInput();
    // Watches the link for `ms` without sending: an owed reply that comes is
    // dropped, stray bytes too. False as soon as the connection is lost.
    bool WatchLink(int32_t ms);

    // --- Device information ------------------------------------------------
    uint32_t ReadDeviceInfo();
    uint32_t ReadDeviceId();
    uint32_t ReadConfigPage(uint8_t page);
    uint32_t ReadTextPages();
    uint32_t ReadNetworkSettings();
    uint32_t ReadStatusRecord();
    uint32_t ReadEepromDirectory();
    uint32_t ReadOperationalStatus();
    uint32_t ReadIdentityPage();

    // --- Flash and EEPROM --------------------------------------------------
    uint32_t StartDSP_Flash(uint32_t selector);  // the start frame Load sends
    uint32_t WriteDSP_FlashBlock(uint32_t selector, const uint8_t* data, uint16_t count);
    uint32_t FinishDSP_Flash(uint32_t selector);
    uint32_t BulkEraseFPGA_ConfigEEPROM(uint32_t index);
    // On success stores bit 0 of the reply into m_bEraseComplete.
    uint32_t ReadContinuousStatus();
    uint32_t WriteFPGA_ConfigEEPROM_Page(uint32_t index, uint32_t byteOffset, const uint8_t* data);
    uint32_t SelectFPGA_ConfigEEPROM(uint32_t index);

    // --- Control -----------------------------------------------------------
    // The reply is kept in m_PingReply whatever it holds.
    uint32_t Ping();
    // Sets m_nOperationalMode to `mode` whatever the result.
    uint32_t SetOperationalMode(uint8_t mode);
    uint32_t TurnOff(uint8_t target);

    // --- Last values read from the unit ------------------------------------
    uint16_t m_ConfigPage[64] = {};
    CBaseClass* m_pDeviceLink;
    int32_t m_nResponseTimeoutMs = 1000;
    uint32_t m_bVersionsRead = 0;
    uint16_t m_wSerialPrefix = 0;
    uint16_t m_wSerialSequence = 0;
    std::string m_strSerialNumber;
    char16_t m_szDeviceId[17] = {};
    uint32_t m_dwDsp1FwVersion = 0;
    uint32_t m_dwDsp2FwVersion = 0;
    uint32_t m_dwFioFpgaFwVersion = 0;
    uint32_t m_dwBridgeFpgaFwVersion = 0;
    uint32_t m_dwDpFpgaFwVersion = 0;
    uint8_t m_byPersonality = 0;
    uint8_t m_byDspBoardPcbRev = 0;
    uint16_t m_wDpFpgaBoardPcbRev = 0;
    char16_t m_szConfigText[CONFIG_TEXT_PAGES][33] = {};
    uint32_t m_bDhcpEnabled = 0;
    uint32_t m_dwIpAddress = 0;
    int32_t m_nOperationalMode = 0;
    uint32_t m_bEraseComplete = 0;
    int32_t m_nCurrentEeprom = 0;
    uint32_t m_dwEepromImageId[EEPROM_COUNT] = {};
    uint16_t m_wEepromPersonality[EEPROM_COUNT] = {};
    uint32_t m_bIdentityRead = 0;
    uint8_t m_PingReply[6] = {};
    uint32_t m_bUpdateEnable = 0;
    // m_nOperationalMode came from a read that succeeded, or from a mode
    // command the unit acknowledged: only then is it the unit's mode.
    uint32_t m_bOperationalModeRead = 0;
    // Word 43 of configuration page 2 as the unit sent it. m_nCurrentEeprom
    // shows any value outside 1..11 as 0; only this word tells a unit that
    // names EEPROM_0 (0) from one that names none.
    uint16_t m_wCurrentEepromWord = 0;
    // Non-zero: every exchange, reads included, counts only its own frame.
    // Set by callers whose every answer is reported as the unit's word.
    uint32_t m_bOwnFrameOnly = 0;

    // Raises m_bOwnFrameOnly for a scope.
    class COwnFrameScope {
    public:
        explicit COwnFrameScope(CTR52K1_Comm& comm) : m_comm(comm), m_saved(comm.m_bOwnFrameOnly) {
            comm.m_bOwnFrameOnly = 1;
        }
        ~COwnFrameScope() { m_comm.m_bOwnFrameOnly = m_saved; }
        COwnFrameScope(const COwnFrameScope&) = delete;
        COwnFrameScope& operator=(const COwnFrameScope&) = delete;

    private:
        CTR52K1_Comm& m_comm;
        uint32_t m_saved;
    };

private:
    struct CExchange {
        uint16_t command;
        uint8_t* request;
        uint32_t requestPayloadLength;
        uint8_t* response;
        uint32_t responsePayloadLength;
        int32_t timeoutMs;
        bool ownFrame;        // only the command's own frame answers it
        bool traceFailure;    // the long exchange's three failure lines
    };
    // The one exchange all commands go through; returns the success flag.
    uint32_t Exchange(const CExchange& x);
    // Waits for the reply an earlier request still owes, and drops it.
    void SettleOwedReply();
    bool LinkLost();
    void TraceLongFailure(uint16_t command, uint32_t requestPayloadLength, const uint8_t* response, uint32_t count);
    void DecodeDeviceInfo(const uint8_t* payload);
    void DecodeEepromDirectoryPage2();

    struct COwed {
        bool owed = false;
        uint16_t command = 0;
        uint32_t length = 0;        // header and payload
        int32_t timeoutMs = 0;
        std::vector<uint8_t> got;   // the part of its frame that came in time
    };

    CClock& m_clock;
    COwed m_owed;
    EExchangeResult m_lastExchange = EExchangeResult::Answered;
    bool m_bLastRequestSent = false;
};
