// The unit's information as the tool shows it, and what proves that it
// already holds an image.
#include "app/UpdateHistory.h"
#include "cli/JobParts.h"
#include "platform/Text.h"
#include "protocol/TR52K1_Comm.h"
#include "update/DspFlashUpdate.h"
#include "update/EepromUpdate.h"
#include "update/UnitInfo.h"

nlohmann::json InfoFields(const CUnitInfo& u) {
    nlohmann::json j = nlohmann::json::object();
    if (u.deviceRead) {
        j["serialNumber"] = u.serialNumber;
        j["deviceId"] = u.deviceId;
        j["dsp1FwVersion"] = VersionText(u.dsp1FwVersion);
        j["dsp2FwVersion"] = VersionText(u.dsp2FwVersion);
        j["fioFpgaFwVersion"] = VersionText(u.fioFpgaFwVersion);
        j["bridgeFpgaFwVersion"] = VersionText(u.bridgeFpgaFwVersion);
        j["dpFpgaFwVersion"] = VersionText(u.dpFpgaFwVersion);
        j["personality"] = Format("0x%2.2X", u.personality);
        j["personalityName"] = PersonalityName(u.personality);
        j["dspBoardPcbRev"] = u.dspBoardPcbRev;
        j["dpFpgaBoardPcbRev"] = u.dpFpgaBoardPcbRev;
        j["dhcpEnabled"] = u.dhcpEnabled;
        j["ipAddress"] = IpAddressText(u.ipAddress);
    }
    if (u.ModeRead()) {
        j["operationalMode"] = u.operationalMode;
        j["operationalModeName"] = PersonalityName(static_cast<uint32_t>(u.operationalMode));
    }
    if (u.directoryRead) {
        // Only a word that names an EEPROM is one; any other is shown raw.
        if (u.currentEepromWord < EEPROM_COUNT) j["currentEeprom"] = u.currentEepromWord;
        j["currentEepromWord"] = u.currentEepromWord;
        j["updateEnable"] = u.updateEnable;
        j["eeproms"] = nlohmann::json::array();
        for (int k = 0; k < EEPROM_COUNT; ++k)
            j["eeproms"].push_back({{"index", k},
                                    {"imageId", VersionText(u.eepromImageId[k])},
                                    {"personality", u.eepromPersonality[k]},
                                    {"personalityName", PersonalityName(u.eepromPersonality[k])}});
    }
    return j;
}

std::string InfoText(const CUnitInfo& u) {
    std::string t;
    if (u.deviceRead) {
        t += Format("Serial Number:              %s\n", u.serialNumber.c_str());
        t += Format("Device ID:                  %s\n", u.deviceId.c_str());
        t += Format("DSP1 Fw Ver:                %s\n", VersionText(u.dsp1FwVersion).c_str());
        t += Format("DSP2 Fw Ver:                %s\n", VersionText(u.dsp2FwVersion).c_str());
        t += Format("FIO FPGA Fw Ver:            %s\n", VersionText(u.fioFpgaFwVersion).c_str());
        t += Format("Bridge FPGA Fw Ver:         %s\n", VersionText(u.bridgeFpgaFwVersion).c_str());
        t += Format("DP FPGA Fw Ver:             %s\n", VersionText(u.dpFpgaFwVersion).c_str());
        t += Format("DP FPGA Personality Number: 0x%2.2X %s\n", u.personality, PersonalityName(u.personality));
        t += Format("DSP Board PCB Revison:      %u\n", u.dspBoardPcbRev);
        t += Format("DP FPGA Board PCB Rev:      %u\n", u.dpFpgaBoardPcbRev);
        t += Format("DHCP Enabled:               %s\n", u.dhcpEnabled ? "yes" : "no");
        t += Format("Device IP Address:          %s\n", IpAddressText(u.ipAddress).c_str());
    }
    if (u.ModeRead())
        t += Format("Operational Mode:           %d %s\n", u.operationalMode,
                    PersonalityName(static_cast<uint32_t>(u.operationalMode)));
    if (u.directoryRead) {
        t += Format("Updates enabled:            %s\n", u.updateEnable ? "yes" : "no");
        if (u.currentEepromWord >= EEPROM_COUNT)
            t += Format("Current EEPROM:             none named (word 43 reads %u)\n", u.currentEepromWord);
        for (int k = 0; k < EEPROM_COUNT; ++k)
            t += Format("%c EEPROM_%-2d %s : %s\n", k == u.currentEepromWord ? '*' : ' ', k,
                        VersionText(u.eepromImageId[k]).c_str(), PersonalityName(u.eepromPersonality[k]));
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
bool AlreadyThere(CTR52K1_Comm& comm, const CJobRequest& r, const CUnitInfo& unit, CUpdateOutcome* o) {
    const bool dsp = r.operation == EOperation::FlashDsp;
    if (dsp ? !r.skipIfVersion : !r.skipIfCurrent) return false;
    *o = CUpdateOutcome{};
    o->kind = dsp ? EUpdateKind::DspFlash : EUpdateKind::ConfigEeprom;
    o->target = dsp ? r.number - 1 : r.number;
    std::vector<uint8_t> image;
    const std::string& serial = unit.serialNumber;
    if (!unit.deviceRead || serial.empty() ||
        ReadImageFile(r.file, ImageSizeLimit(o->kind), &image, o) != EUpdateResult::Completed)
        return false;
    if (dsp) {
        const uint32_t version = r.number == 2 ? unit.dsp2FwVersion : unit.dsp1FwVersion;
        if (version != *r.skipIfVersion) return false;
        o->proof = {{"serialNumber", serial}, {"dsp", std::to_string(r.number)}, {"version", VersionText(version)}};
    } else {
        CHistoryRecord last;
        if (!ConfirmCurrentEeprom(comm, r.number, o) || !FindLastUpdate(serial, Format("EEPROM_%u", r.number), &last) ||
            last.result != UpdateResultName(EUpdateResult::Completed) || last.sha256 != o->imageSha256 ||
            last.imageId != VersionText(*o->imageId))
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
