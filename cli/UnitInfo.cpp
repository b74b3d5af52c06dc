// The unit's information as the tool shows it, and what proves that it
// already holds an image.
#include "app/UpdateHistory.h"
#include "cli/JobParts.h"
#include "platform/Text.h"
#include "protocol/TR52K1_Comm.h"
#include "update/DspFlashUpdate.h"
#include "update/EepromUpdate.h"

namespace {
std::string Ip(uint32_t v) { return Format("%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF); }
}  // namespace

nlohmann::json InfoFields(CTR52K1_Comm& c, const CInfoReads& read) {
    nlohmann::json j = nlohmann::json::object();
    if (read.device) {
        j["serialNumber"] = c.m_strSerialNumber;
        j["deviceId"] = Utf16ToUtf8(c.m_szDeviceId);
        j["dsp1FwVersion"] = Format("%8.8X", c.m_dwDsp1FwVersion);
        j["dsp2FwVersion"] = Format("%8.8X", c.m_dwDsp2FwVersion);
        j["fioFpgaFwVersion"] = Format("%8.8X", c.m_dwFioFpgaFwVersion);
        j["bridgeFpgaFwVersion"] = Format("%8.8X", c.m_dwBridgeFpgaFwVersion);
        j["dpFpgaFwVersion"] = Format("%8.8X", c.m_dwDpFpgaFwVersion);
        j["personality"] = Format("0x%2.2X", c.m_byPersonality);
        j["personalityName"] = PersonalityName(c.m_byPersonality);
        j["dspBoardPcbRev"] = c.m_byDspBoardPcbRev;
        j["dpFpgaBoardPcbRev"] = c.m_wDpFpgaBoardPcbRev;
        j["dhcpEnabled"] = c.m_bDhcpEnabled != 0;
        j["ipAddress"] = Ip(c.m_dwIpAddress);
    }
    if (read.directory || read.status) {
        j["operationalMode"] = c.m_nOperationalMode;
        j["operationalModeName"] = PersonalityName(static_cast<uint32_t>(c.m_nOperationalMode));
    }
    if (read.directory) {
        // Only a word that names an EEPROM is one; any other is shown raw.
        if (c.m_wCurrentEepromWord < EEPROM_COUNT) j["currentEeprom"] = c.m_wCurrentEepromWord;
        j["currentEepromWord"] = c.m_wCurrentEepromWord;
        j["updateEnable"] = c.m_bUpdateEnable != 0;
        j["eeproms"] = nlohmann::json::array();
        for (int k = 0; k < EEPROM_COUNT; ++k)
            j["eeproms"].push_back({{"index", k},
                                    {"imageId", Format("%8.8X", c.m_dwEepromImageId[k])},
                                    {"personality", c.m_wEepromPersonality[k]},
                                    {"personalityName", PersonalityName(c.m_wEepromPersonality[k])}});
    }
    return j;
}

std::string InfoText(CTR52K1_Comm& c, const CInfoReads& read) {
    std::string t;
    if (read.device) {
        t += Format("Serial Number:              %s\n", c.m_strSerialNumber.c_str());
        t += Format("Device ID:                  %s\n", Utf16ToUtf8(c.m_szDeviceId).c_str());
        t += Format("DSP1 Fw Ver:                %8.8X\n", c.m_dwDsp1FwVersion);
        t += Format("DSP2 Fw Ver:                %8.8X\n", c.m_dwDsp2FwVersion);
        t += Format("FIO FPGA Fw Ver:            %8.8X\n", c.m_dwFioFpgaFwVersion);
        t += Format("Bridge FPGA Fw Ver:         %8.8X\n", c.m_dwBridgeFpgaFwVersion);
        t += Format("DP FPGA Fw Ver:             %8.8X\n", c.m_dwDpFpgaFwVersion);
        t += Format("DP FPGA Personality Number: 0x%2.2X %s\n", c.m_byPersonality, PersonalityName(c.m_byPersonality));
        t += Format("DSP Board PCB Revison:      %u\n", c.m_byDspBoardPcbRev);
        t += Format("DP FPGA Board PCB Rev:      %u\n", c.m_wDpFpgaBoardPcbRev);
        t += Format("DHCP Enabled:               %s\n", c.m_bDhcpEnabled ? "yes" : "no");
        t += Format("Device IP Address:          %s\n", Ip(c.m_dwIpAddress).c_str());
    }
    if (read.directory || read.status)
        t += Format("Operational Mode:           %d %s\n", c.m_nOperationalMode,
                    PersonalityName(static_cast<uint32_t>(c.m_nOperationalMode)));
    if (read.directory) {
        t += Format("Updates enabled:            %s\n", c.m_bUpdateEnable ? "yes" : "no");
        if (c.m_wCurrentEepromWord >= EEPROM_COUNT)
            t += Format("Current EEPROM:             none named (word 43 reads %u)\n", c.m_wCurrentEepromWord);
        for (int k = 0; k < EEPROM_COUNT; ++k)
            t += Format("%c EEPROM_%-2d %8.8X : %s\n", k == c.m_wCurrentEepromWord ? '*' : ' ', k,
                        c.m_dwEepromImageId[k], PersonalityName(c.m_wEepromPersonality[k]));
    }
    return t;
}

// Whether the unit provably holds what this run would write, so nothing need
// be written: the image file is read, then
//  - a DSP: the unit reports exactly the version the user named;
//  - an EEPROM: the unit's serial number, its current EEPROM (the target,
//    by the directory's own reply) and that EEPROM's image id now all match
//    the last update of this target of this unit in the history, which
//    completed with this same image (SHA-256).
// Anything unread or unmatched means no. On yes, `o` is the skipped outcome
// with the facts that proved it.
bool AlreadyThere(CTR52K1_Comm& comm, const CJobRequest& r, const std::string& serial, CUpdateOutcome* o) {
    const bool dsp = r.operation == EOperation::FlashDsp;
    if (dsp ? !r.skipIfVersion : !r.skipIfCurrent) return false;
    *o = CUpdateOutcome{};
    o->kind = dsp ? EUpdateKind::DspFlash : EUpdateKind::ConfigEeprom;
    o->target = dsp ? r.number - 1 : r.number;
    std::vector<uint8_t> image;
    if (serial.empty() ||
        ReadImageFile(r.file, dsp ? DSP_IMAGE_MAX : EEPROM_IMAGE_MAX - 1, &image, o) != EUpdateResult::Completed)
        return false;
    if (dsp) {
        const uint32_t version = r.number == 2 ? comm.m_dwDsp2FwVersion : comm.m_dwDsp1FwVersion;
        if (!comm.m_bVersionsRead || version != *r.skipIfVersion) return false;
        o->proof = {{"serialNumber", serial}, {"dsp", std::to_string(r.number)}, {"version", Format("%8.8X", version)}};
    } else {
        CHistoryRecord last;
        if (!ConfirmCurrentEeprom(comm, r.number, o) || !FindLastUpdate(serial, Format("EEPROM_%u", r.number), &last) ||
            last.result != UpdateResultName(EUpdateResult::Completed) || last.sha256 != o->imageSha256 ||
            last.imageId != Format("%8.8X", *o->imageId))
            return false;
        o->proof = {{"serialNumber", serial},
                    {"currentEeprom", std::to_string(r.number)},
                    {"imageId", last.imageId},
                    {"sha256", o->imageSha256},
                    {"lastUpdate", last.time}};
    }
    o->result = EUpdateResult::AlreadyCurrent;
    return true;
}
