// Frames and the one exchange, then every command built on it.
#include "protocol/TR52K1_Comm.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/Text.h"

namespace {

// Bounds-checked big-endian view of a reply payload.
class CPayload {
public:
    CPayload(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    uint8_t U8(size_t at) const { return at < m_size ? m_data[at] : 0; }
    uint16_t U16(size_t at) const { return static_cast<uint16_t>(U8(at) << 8 | U8(at + 1)); }
    uint32_t U32(size_t at) const { return static_cast<uint32_t>(U16(at)) << 16 | U16(at + 2); }

private:
    const uint8_t* m_data;
    size_t m_size;
};

void PutHeader(uint8_t* frame, uint16_t command, uint32_t payloadLength) {
    frame[0] = static_cast<uint8_t>(FRAME_HEADER_WORD & 0xFF);
    frame[1] = static_cast<uint8_t>(FRAME_HEADER_WORD >> 8);
    frame[2] = static_cast<uint8_t>(command & 0xFF);
    frame[3] = static_cast<uint8_t>(command >> 8);
    frame[4] = static_cast<uint8_t>(payloadLength & 0xFF);
    frame[5] = static_cast<uint8_t>((payloadLength >> 8) & 0xFF);
}

uint8_t SelectorFlag(uint32_t selector) { return selector ? 0x01 : 0x00; }

}  // namespace

const char* PersonalityName(uint32_t number) {
    switch (number) {
        case 0: return "Unused";
        case 1: return "2 BitSyncs, 3 Decoms, 2 Sims Mode";
        case 2: return "1 BitSync, 2 Decoms, 1 Sim, 1 Super Sim Mode";
        case 3: return "1 Decom, 2 Super Sims Mode";
        default: return "Unknown";
    }
}

bool EepromSelectCode(uint32_t index, uint8_t* code) {
    if (index > 11) return false;
    *code = static_cast<uint8_t>(index < 8 ? 0x10 + index : 0x30 + (index - 8));
    return true;
}

CTR52K1_Comm::CTR52K1_Comm(CBaseClass* link, CClock& clock) : m_pDeviceLink(link), m_clock(clock) {}

// --- Exchanges -------------------------------------------------------------

const char* ExchangeResultText(EExchangeResult result) {
    switch (result) {
        case EExchangeResult::Answered: return "answered";
        case EExchangeResult::NoAnswer: return "no answer in time";
        case EExchangeResult::NotOwnFrame: return "the reply was not the request's own frame";
        case EExchangeResult::LinkLost: return "the connection to the unit is lost";
        case EExchangeResult::NotSent: return "the request was not sent";
    }
    return "unknown exchange result";
}

const std::vector<EExchangeResult>& AllExchangeResults() {
    static const std::vector<EExchangeResult> all = {EExchangeResult::Answered, EExchangeResult::NoAnswer,
                                                     EExchangeResult::NotOwnFrame, EExchangeResult::LinkLost,
                                                     EExchangeResult::NotSent};
    return all;
}

namespace {
// Collects one command's own reply frame in `buffer`. The unit echoes the
// header word and the command code (a ping is answered 68 00 00 00 00 00);
// the length field is left alone, its value in replies is the unit's own
// business. A byte that cannot begin that frame (a late reply to an earlier
// request, stray input) is skipped and noted for the trace.
class COwnFrame {
public:
    COwnFrame(uint16_t command, uint8_t* buffer, uint32_t length)
        : m_own{FRAME_HEADER_WORD & 0xFF, FRAME_HEADER_WORD >> 8, static_cast<uint8_t>(command & 0xFF),
                static_cast<uint8_t>(command >> 8)},
          m_buffer(buffer), m_length(length) {}

    void Add(uint8_t byte) {
        if (m_count >= m_length) return;
        m_buffer[m_count++] = byte;
        uint32_t skip = 0;
        while (skip < m_count &&
               std::memcmp(m_buffer + skip, m_own, std::min<uint32_t>(m_count - skip, sizeof m_own)) != 0) {
            if (m_skipped.size() < 5 * 32) m_skipped += Format(" 0x%2.2X", m_buffer[skip]);
            ++skip;
            ++m_nSkipped;
        }
        if (skip) {
            std::memmove(m_buffer, m_buffer + skip, m_count - skip);
            m_count -= skip;
        }
    }
    uint32_t Count() const { return m_count; }
    bool Complete() const { return m_count >= m_length; }
    uint32_t SkippedCount() const { return m_nSkipped; }
    const std::string& Skipped() const { return m_skipped; }

private:
    uint8_t m_own[4];
    uint8_t* m_buffer;
    uint32_t m_length;
    uint32_t m_count = 0;
    uint32_t m_nSkipped = 0;
    std::string m_skipped;
};

bool IsOwnFrame(const uint8_t* frame, uint16_t command) {
    return frame[0] == (FRAME_HEADER_WORD & 0xFF) && frame[1] == (FRAME_HEADER_WORD >> 8) &&
           frame[2] == (command & 0xFF) && frame[3] == (command >> 8);
}
}  // namespace

bool CTR52K1_Comm::LinkLost() {
    // Only a network link knows it is connected; nothing reconnects one
    // that is gone, so no reply can come over it.
    return m_pDeviceLink->GetLinkType() == LINK_TYPE_NETWORK && !m_pDeviceLink->IsConnected();
}

// The unit answers in order, one reply per request. The owed reply is read
// as its own frame and dropped, for at most the owing request's time-out;
// if it never comes, the request is taken as lost and the next goes out.
void CTR52K1_Comm::SettleOwedReply() {
    if (!m_owed.owed) return;
    COwed owed = std::move(m_owed);
    m_owed = COwed{};
    std::vector<uint8_t> buffer(owed.length, 0);
    COwnFrame frame(owed.command, buffer.data(), owed.length);
    for (uint8_t b : owed.got) frame.Add(b);
    const int64_t start = m_clock.NowMs();
    while (!frame.Complete()) {
        uint8_t byte = 0;
        const uint32_t r = m_pDeviceLink->ReadByte(&byte);
        if (r) frame.Add(byte);
        if (frame.Complete() || m_clock.NowMs() - start >= owed.timeoutMs) break;
        if (!r && LinkLost()) break;
    }
    if (!frame.Skipped().empty())
        DebugOutput(Format("***** Bytes before the late reply to 0x%4.4X dropped:", owed.command) + frame.Skipped() +
                    "\r\n");
    if (frame.Complete())
        DebugOutput(Format("***** Late reply to 0x%4.4X dropped after %lld ms more.\r\n", owed.command,
                           static_cast<long long>(m_clock.NowMs() - start)));
    else
        DebugOutput(Format("***** No late reply to 0x%4.4X within %d ms more; taken as lost.\r\n", owed.command,
                           owed.timeoutMs));
}

uint32_t CTR52K1_Comm::DropIdleInput() {
    if (!m_pDeviceLink) return 0;
    std::vector<uint8_t> got;
    uint8_t byte = 0;
    while (m_pDeviceLink->ReadByte(&byte)) got.push_back(byte);
    if (m_owed.owed && !got.empty()) {
        std::vector<uint8_t> buffer(m_owed.length, 0);
        COwnFrame frame(m_owed.command, buffer.data(), m_owed.length);
        for (uint8_t b : m_owed.got) frame.Add(b);
        for (uint8_t b : got) frame.Add(b);
        if (frame.Complete()) {
            DebugOutput(Format("***** Late reply to 0x%4.4X dropped while idle.\r\n", m_owed.command));
            m_owed = COwed{};
        } else {
            m_owed.got.assign(buffer.begin(), buffer.begin() + frame.Count());
        }
    }
    return static_cast<uint32_t>(got.size());
}

bool CTR52K1_Comm::WatchLink(int32_t ms) {
    if (!m_pDeviceLink) return false;
    const int64_t start = m_clock.NowMs();
    uint32_t stray = 0;
    bool lost = false;
    while (m_clock.NowMs() - start < ms) {
        if (m_owed.owed) {
            // The owed reply may come while we watch; it is settled within
            // what is left of the watch.
            const int32_t left = static_cast<int32_t>(ms - (m_clock.NowMs() - start));
            m_owed.timeoutMs = std::min(m_owed.timeoutMs, std::max(left, 0));
            SettleOwedReply();
            continue;
        }
        uint8_t byte = 0;
        if (m_pDeviceLink->ReadByte(&byte)) {
            ++stray;
        } else if (LinkLost()) {
            lost = true;
            break;
        }
    }
    if (stray) DebugOutput(Format("***** %u bytes arrived while no request was out; dropped.\r\n", stray));
    return !lost;
}

// Frames and writes the request, then reads the reply one byte per link
// attempt. After every attempt the elapsed time is tested first (elapsed
// >= time-out fails, even when that attempt brought the last byte), then
// the count. A reply not asked to be its own frame is read as it comes, so
// surplus bytes of one reply open the next; whether it was its own frame is
// still recorded.
uint32_t CTR52K1_Comm::Exchange(const CExchange& x) {
    m_bLastRequestSent = false;
    // A longer payload would not fit the 16-bit frame length: refuse it
    // rather than send a truncated frame.
    if (!m_pDeviceLink || x.requestPayloadLength > MAX_REQUEST_PAYLOAD) {
        m_lastExchange = EExchangeResult::NotSent;
        return 0;
    }
    SettleOwedReply();
    PutHeader(x.request, x.command, x.requestPayloadLength);
    if (!m_pDeviceLink->WriteBuffer(x.request, (x.requestPayloadLength + FRAME_HEADER_SIZE) & 0xFFFF)) {
        m_lastExchange = EExchangeResult::LinkLost;
        return 0;
    }
    m_bLastRequestSent = true;
    const bool ownFrame = x.ownFrame || m_bOwnFrameOnly;
    const uint32_t target = FRAME_HEADER_SIZE + x.responsePayloadLength;
    COwnFrame frame(x.command, x.response, target);
    const int64_t start = m_clock.NowMs();
    uint32_t count = 0, result = 0;
    EExchangeResult outcome = EExchangeResult::NoAnswer;
    while (true) {
        uint32_t r;
        if (ownFrame) {
            uint8_t byte = 0;
            r = m_pDeviceLink->ReadByte(&byte);
            if (r) frame.Add(byte);
            count = frame.Count();
        } else {
            r = m_pDeviceLink->ReadByte(x.response + count);
            if (r) ++count;
        }
        if (m_clock.NowMs() - start >= x.timeoutMs) {
            outcome = frame.SkippedCount() ? EExchangeResult::NotOwnFrame : EExchangeResult::NoAnswer;
            break;
        }
        if (count >= target) {
            result = r;
            outcome = ownFrame || IsOwnFrame(x.response, x.command) ? EExchangeResult::Answered
                                                                     : EExchangeResult::NotOwnFrame;
            break;
        }
        if (!r && LinkLost()) {
            outcome = EExchangeResult::LinkLost;
            break;
        }
    }
    m_lastExchange = outcome;
    if (!frame.Skipped().empty())
        DebugOutput(Format("***** Reply to 0x%4.4X is not its frame:", x.command) + frame.Skipped() + "\r\n");
    if (outcome == EExchangeResult::NoAnswer || outcome == EExchangeResult::NotOwnFrame) {
        // Its reply may still come: it is owed, and waited for before the
        // next request. What came already is kept as far as it begins the
        // reply's own frame.
        m_owed.owed = true;
        m_owed.command = x.command;
        m_owed.length = target;
        m_owed.timeoutMs = std::max(x.timeoutMs, 0);
        m_owed.got.assign(x.response, x.response + count);
    }
    if (!result && x.traceFailure) TraceLongFailure(x.command, x.requestPayloadLength, x.response, count);
    return result;
}

void CTR52K1_Comm::TraceLongFailure(uint16_t command, uint32_t requestPayloadLength, const uint8_t* response,
                                    uint32_t count) {
    DebugOutput(Format("***** CTR52K1_Comm::SendCommandLongTimeout(0x%4.4X, %u, %u) failed.\r\n", command,
                       requestPayloadLength, 0u));
    DebugOutput(Format("***** Number of Bytes Received: %u.\r\n", count));
    std::string values = "***** Values:";
    for (uint32_t i = 0; i < count; ++i) values += Format(" 0x%2.2X", response[i]);
    DebugOutput(values + "\r\n");
}

uint32_t CTR52K1_Comm::SendCommand(uint16_t command, uint8_t* request, uint32_t requestPayloadLength,
                                   uint8_t* response, uint32_t responsePayloadLength) {
    return Exchange({command, request, requestPayloadLength, response, responsePayloadLength, m_nResponseTimeoutMs,
                     false, false});
}

uint32_t CTR52K1_Comm::SendCommandLongTimeout(int32_t timeoutMs, uint16_t command, uint8_t* request,
                                              uint32_t requestPayloadLength, uint8_t* response) {
    return Exchange({command, request, requestPayloadLength, response, 0, timeoutMs, false, true});
}

// --- Device information ----------------------------------------------------

void CTR52K1_Comm::DecodeDeviceInfo(const uint8_t* payload) {
    CPayload p(payload, RSP_DEVICE_INFO);
    m_wSerialPrefix = p.U16(4);
    m_wSerialSequence = p.U16(6);
    m_dwDsp1FwVersion = p.U32(8);
    m_dwDsp2FwVersion = p.U32(12);
    m_dwFioFpgaFwVersion = p.U32(16);
    m_dwBridgeFpgaFwVersion = p.U32(20);
    m_dwDpFpgaFwVersion = p.U32(24);
    m_byDspBoardPcbRev = p.U8(29);
    m_wDpFpgaBoardPcbRev = p.U16(30);
    m_byPersonality = p.U8(32);
    // Three digits at least; the 0 flag would add nothing beside a precision.
    m_strSerialNumber = Format("%4.4X-%.3u", m_wSerialPrefix, m_wSerialSequence);
}

uint32_t CTR52K1_Comm::ReadDeviceInfo() {
    uint8_t request[FRAME_HEADER_SIZE] = {};
    uint8_t response[FRAME_HEADER_SIZE + RSP_DEVICE_INFO] = {};
    uint32_t r = SendCommand(CMD_READ_DEVICE_INFO, request, 0, response, RSP_DEVICE_INFO);
    DecodeDeviceInfo(response + FRAME_HEADER_SIZE);
    if (!r) return 0;
    if (!ReadDeviceId()) return 0;
    if (!ReadTextPages()) return 0;
    if (!ReadNetworkSettings()) return 0;
    m_bVersionsRead = 1;
    return 1;
}

uint32_t CTR52K1_Comm::ReadDeviceId() {
    uint8_t request[FRAME_HEADER_SIZE + REQ_DEVICE_ID] = {};
    uint8_t response[FRAME_HEADER_SIZE + RSP_DEVICE_ID] = {};
    uint32_t r = SendCommand(CMD_READ_DEVICE_ID, request, REQ_DEVICE_ID, response, RSP_DEVICE_ID);
    for (int i = 0; i < RSP_DEVICE_ID; ++i) m_szDeviceId[i] = response[FRAME_HEADER_SIZE + i];
    m_szDeviceId[RSP_DEVICE_ID] = 0;
    return r;
}

uint32_t CTR52K1_Comm::ReadConfigPage(uint8_t page) {
    uint8_t request[FRAME_HEADER_SIZE + 1] = {};
    request[FRAME_HEADER_SIZE] = page;
    uint8_t response[FRAME_HEADER_SIZE + RSP_CONFIG_PAGE] = {};
    uint32_t r = SendCommand(CMD_READ_CONFIG_PAGE, request, 1, response, RSP_CONFIG_PAGE);
    CPayload p(response + FRAME_HEADER_SIZE, RSP_CONFIG_PAGE);
    for (int i = 0; i < 64; ++i) m_ConfigPage[i] = p.U16(2 * static_cast<size_t>(i));
    return r;
}

uint32_t CTR52K1_Comm::ReadTextPages() {
    uint32_t r = 0;
    for (int k = 0; k < CONFIG_TEXT_PAGES; ++k) {
        r = ReadConfigPage(static_cast<uint8_t>(FIRST_TEXT_PAGE + k));
        for (int i = 0; i < 32; ++i) m_szConfigText[k][i] = static_cast<char16_t>(m_ConfigPage[i] & 0xFF);
        m_szConfigText[k][32] = 0;
        if (!r) return 0;
    }
    return r;
}

uint32_t CTR52K1_Comm::ReadNetworkSettings() {
    uint8_t request[FRAME_HEADER_SIZE] = {};
    uint8_t response[FRAME_HEADER_SIZE + RSP_NETWORK_SETTINGS] = {};
    uint32_t r = SendCommand(CMD_READ_NETWORK_SETTINGS, request, 0, response, RSP_NETWORK_SETTINGS);
    CPayload p(response + FRAME_HEADER_SIZE, RSP_NETWORK_SETTINGS);
    m_bDhcpEnabled = p.U8(0) & 0x01;
    m_dwIpAddress = p.U32(1);
    return r;
}

uint32_t CTR52K1_Comm::ReadStatusRecord() {
    uint8_t request[FRAME_HEADER_SIZE] = {};
    std::vector<uint8_t> response(FRAME_HEADER_SIZE + RSP_STATUS_RECORD, 0);
    return SendCommand(CMD_READ_STATUS_RECORD, request, 0, response.data(), RSP_STATUS_RECORD);
}

uint32_t CTR52K1_Comm::ReadOperationalStatus() {
    uint8_t request[FRAME_HEADER_SIZE] = {};
    uint8_t response[FRAME_HEADER_SIZE + RSP_OPERATIONAL_STATUS] = {};
    uint32_t r = SendCommand(CMD_READ_OPERATIONAL_STATUS, request, 0, response, RSP_OPERATIONAL_STATUS);
    m_nOperationalMode = response[FRAME_HEADER_SIZE + 2] & 0x7F;
    m_bOperationalModeRead = r ? 1 : 0;
    return r;
}

uint32_t CTR52K1_Comm::ReadIdentityPage() {
    uint32_t r = ReadConfigPage(0);
    m_bDhcpEnabled = (m_ConfigPage[34] >> 1) & 0x01;
    m_dwIpAddress = static_cast<uint32_t>(m_ConfigPage[38]) << 16 | m_ConfigPage[39];
    m_bIdentityRead = 1;
    return r;
}

void CTR52K1_Comm::DecodeEepromDirectoryPage2() {
    for (int i = 0; i < 8; ++i)
        m_dwEepromImageId[i] = static_cast<uint32_t>(m_ConfigPage[27 + 2 * i]) << 16 | m_ConfigPage[28 + 2 * i];
    const uint16_t current = m_ConfigPage[43];
    m_wCurrentEepromWord = current;
    m_nCurrentEeprom = (current >= 1 && current <= 11) ? current : 0;
    for (int i = 0; i < EEPROM_COUNT; ++i) m_wEepromPersonality[i] = m_ConfigPage[44 + i];
    m_bUpdateEnable = m_ConfigPage[60] & 0x01;
    m_nOperationalMode = m_ConfigPage[63] & 0x7F;
}

uint32_t CTR52K1_Comm::ReadEepromDirectory() {
    uint32_t r = ReadConfigPage(2);
    DecodeEepromDirectoryPage2();
    m_bOperationalModeRead = r ? 1 : 0;
    if (r) r = ReadConfigPage(3);
    for (int j = 0; j < 4; ++j)
        m_dwEepromImageId[8 + j] = static_cast<uint32_t>(m_ConfigPage[2 * j]) << 16 | m_ConfigPage[2 * j + 1];
    return r;
}

// --- Flash and EEPROM --------------------------------------------------------

uint32_t CTR52K1_Comm::StartDSP_Flash(uint32_t selector) {
    uint8_t request[FRAME_HEADER_SIZE + REQ_DSP_FLASH] = {0, 0, 0, 0, 0, 0, 0x13, 0x01,
                                                         static_cast<uint8_t>(selector), 0, 0, 0};
    uint8_t response[FRAME_HEADER_SIZE + RSP_DSP_FLASH] = {};
    return Exchange({CMD_DSP_FLASH, request, REQ_DSP_FLASH, response, RSP_DSP_FLASH, m_nResponseTimeoutMs, true, false});
}

uint32_t CTR52K1_Comm::WriteDSP_FlashBlock(uint32_t selector, const uint8_t* data, uint16_t count) {
    // Blocks beyond 128 bytes do not exist on the unit's side; refusing them
    // keeps the frame inside its buffer.
    if (count == 0 || count > DSP_BLOCK_MAX || !data) return 0;
    uint8_t request[FRAME_HEADER_SIZE + 1 + DSP_BLOCK_MAX] = {};
    request[FRAME_HEADER_SIZE] = SelectorFlag(selector);
    std::memcpy(request + FRAME_HEADER_SIZE + 1, data, count);
    uint8_t response[FRAME_HEADER_SIZE] = {};
    return Exchange({CMD_DSP_FLASH_BLOCK, request, count + 1u, response, 0, m_nResponseTimeoutMs, true, false});
}

uint32_t CTR52K1_Comm::FinishDSP_Flash(uint32_t selector) {
    uint8_t request[FRAME_HEADER_SIZE + REQ_DSP_FLASH] = {0, 0, 0, 0, 0, 0, 0x13, 0xFF, SelectorFlag(selector),
                                                         0, 0, 0};
    uint8_t response[FRAME_HEADER_SIZE + RSP_DSP_FLASH] = {};
    return Exchange({CMD_DSP_FLASH, request, REQ_DSP_FLASH, response, RSP_DSP_FLASH, m_nResponseTimeoutMs, true, false});
}

uint32_t CTR52K1_Comm::BulkEraseFPGA_ConfigEEPROM(uint32_t index) {
    uint8_t code;
    if (!EepromSelectCode(index, &code)) return 0;
    uint8_t request[FRAME_HEADER_SIZE + 1] = {};
    request[FRAME_HEADER_SIZE] = code & 0x7F;
    uint8_t response[FRAME_HEADER_SIZE + RSP_BULK_ERASE] = {};
    return Exchange({CMD_EEPROM_BULK_ERASE, request, 1, response, RSP_BULK_ERASE, m_nResponseTimeoutMs, true, false});
}

uint32_t CTR52K1_Comm::ReadContinuousStatus() {
    uint8_t request[FRAME_HEADER_SIZE] = {};
    uint8_t response[FRAME_HEADER_SIZE + RSP_CONTINUOUS_STATUS] = {};
    // Programming starts on this bit: a garbled reply must not start it
    // while the EEPROM is still being erased.
    const uint32_t r = Exchange({CMD_CONTINUOUS_STATUS_READ, request, 0, response, RSP_CONTINUOUS_STATUS,
                                 m_nResponseTimeoutMs, true, false});
    if (r) m_bEraseComplete = response[FRAME_HEADER_SIZE] & 0x01;
    return r;
}

uint32_t CTR52K1_Comm::WriteFPGA_ConfigEEPROM_Page(uint32_t index, uint32_t byteOffset, const uint8_t* data) {
    uint8_t code;
    if (!EepromSelectCode(index, &code) || !data) return 0;
    uint8_t request[FRAME_HEADER_SIZE + REQ_EEPROM_PAGE_WRITE] = {};
    request[FRAME_HEADER_SIZE] = code;
    request[FRAME_HEADER_SIZE + 1] = static_cast<uint8_t>(byteOffset >> 16);
    request[FRAME_HEADER_SIZE + 2] = static_cast<uint8_t>(byteOffset >> 8);
    std::memcpy(request + FRAME_HEADER_SIZE + 3, data, EEPROM_PAGE_SIZE);
    uint8_t response[FRAME_HEADER_SIZE] = {};
    // Only the page write's own acknowledgement confirms the page.
    return Exchange({CMD_EEPROM_PAGE_WRITE, request, REQ_EEPROM_PAGE_WRITE, response, 0, PAGE_WRITE_TIMEOUT_MS, true,
                     true});
}

uint32_t CTR52K1_Comm::SelectFPGA_ConfigEEPROM(uint32_t index) {
    uint8_t code;
    if (!EepromSelectCode(index, &code)) return 0;
    uint8_t request[FRAME_HEADER_SIZE + 1] = {};
    request[FRAME_HEADER_SIZE] = code;
    uint8_t response[FRAME_HEADER_SIZE] = {};
    return Exchange({CMD_EEPROM_SELECT, request, 1, response, 0, SELECT_EEPROM_TIMEOUT_MS, true, true});
}

// --- Control -----------------------------------------------------------------

uint32_t CTR52K1_Comm::Ping() {
    uint8_t request[FRAME_HEADER_SIZE] = {};
    uint8_t response[FRAME_HEADER_SIZE] = {};
    uint32_t r = SendCommand(CMD_NULL, request, 0, response, 0);
    std::memcpy(m_PingReply, response, sizeof m_PingReply);
    return r;
}

uint32_t CTR52K1_Comm::SetOperationalMode(uint8_t mode) {
    uint8_t request[FRAME_HEADER_SIZE + 1] = {};
    request[FRAME_HEADER_SIZE] = mode;
    uint8_t response[FRAME_HEADER_SIZE] = {};
    const uint32_t r = Exchange({CMD_SET_OPERATIONAL_MODE, request, 1, response, 0, SET_MODE_TIMEOUT_MS, true, true});
    m_nOperationalMode = mode;
    m_bOperationalModeRead = r ? 1 : 0;
    return r;
}

uint32_t CTR52K1_Comm::TurnOff(uint8_t target) {
    uint8_t request[FRAME_HEADER_SIZE + REQ_TURN_OFF] = {};
    request[FRAME_HEADER_SIZE] = target;
    uint8_t response[FRAME_HEADER_SIZE] = {};
    return SendCommand(CMD_TURN_OFF, request, REQ_TURN_OFF, response, 0);
}
