// What a unit reports about itself, read once into one record, and the
// value texts every front end shows it with.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "protocol/TR52K1_Comm.h"

struct CUnitInfo {
    // Which reads the unit answered; the values of the others are zero.
    bool deviceRead = false;     // versions, serial, device id, personality, boards, network
    bool directoryRead = false;  // EEPROM directory, current EEPROM word, update enable, mode
    bool statusRead = false;     // operational status: the mode

    std::string serialNumber;
    std::string deviceId;
    uint32_t dsp1FwVersion = 0, dsp2FwVersion = 0, fioFpgaFwVersion = 0, bridgeFpgaFwVersion = 0,
             dpFpgaFwVersion = 0;
    uint8_t personality = 0;
    uint8_t dspBoardPcbRev = 0;
    uint16_t dpFpgaBoardPcbRev = 0;
    bool dhcpEnabled = false;
    uint32_t ipAddress = 0;

    // From the status read when answered, else from the directory.
    int32_t operationalMode = 0;
    bool updateEnable = false;
    // Word 43 as sent: an EEPROM only when below EEPROM_COUNT.
    uint16_t currentEepromWord = 0;
    std::array<uint32_t, EEPROM_COUNT> eepromImageId{};
    std::array<uint16_t, EEPROM_COUNT> eepromPersonality{};

    bool ModeRead() const { return directoryRead || statusRead; }
};

// The reads a record is filled from, in this order.
enum EUnitReads : unsigned {
    kReadDevice = 1,
    kReadDirectory = 2,
    kReadStatus = 4,
    kReadAll = kReadDevice | kReadDirectory | kReadStatus,
};

// Makes the reads asked for, each on its own, so one that fails hides only
// its own values; parts not asked for are left as they are in `info`.
void ReadUnitInfo(CTR52K1_Comm& comm, unsigned reads, CUnitInfo* info);

// "%8.8X", as every version and image id is shown.
std::string VersionText(uint32_t value);
// Dotted quad, the first field in the highest byte.
std::string IpAddressText(uint32_t address);
