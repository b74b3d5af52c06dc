// The device command object: every exchange with the unit goes through it.
//
// A request is a six-byte header (0x0068, command, payload length; all
// little-endian) and the payload. The reply is read one byte at a time until
// the length fixed for that command has arrived, or the time-out has passed;
// the reply header is not interpreted. Values inside payloads are big-endian.
// Each operation returns a success flag (non-zero = success) and decodes
// whatever bytes arrived, zeros standing in for the missing ones.
//
// Where an acknowledgement decides what happens next (DSP blocks and finish,
// erase, erase status, pages, select, mode), only the command's own frame
// counts: header word 0x0068 and the command code echoed; bytes before it
// are skipped. And after an exchange that timed out, whatever is still on
// its way is drained before the next request, so one late reply cannot
// shift every later exchange into a false acknowledgement.
#pragma once

#include <cstdint>
#include <string>

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

private:
    // An exchange whose answer must be the command's own frame.
    uint32_t SendCommandOwnReply(int32_t timeoutMs, uint16_t command, uint8_t* request, uint32_t requestPayloadLength,
                                 uint8_t* response, uint32_t responsePayloadLength, bool traceFailure);
    void TraceLongFailure(uint16_t command, uint32_t requestPayloadLength, const uint8_t* response, uint32_t count);
    void DrainIfStale();
    void DecodeDeviceInfo(const uint8_t* payload);
    void DecodeEepromDirectoryPage2();

    CClock& m_clock;
    bool m_bStaleInput = false;
};
