#include "update/UnitInfo.h"

#include "platform/Text.h"

void ReadUnitInfo(CTR52K1_Comm& comm, unsigned reads, CUnitInfo* info) {
    CUnitInfo& u = *info;
    if ((reads & kReadDevice) && (u.deviceRead = comm.ReadDeviceInfo() != 0)) {
        u.serialNumber = comm.m_strSerialNumber;
        u.deviceId = Utf16ToUtf8(comm.m_szDeviceId);
        u.dsp1FwVersion = comm.m_dwDsp1FwVersion;
        u.dsp2FwVersion = comm.m_dwDsp2FwVersion;
        u.fioFpgaFwVersion = comm.m_dwFioFpgaFwVersion;
        u.bridgeFpgaFwVersion = comm.m_dwBridgeFpgaFwVersion;
        u.dpFpgaFwVersion = comm.m_dwDpFpgaFwVersion;
        u.personality = comm.m_byPersonality;
        u.dspBoardPcbRev = comm.m_byDspBoardPcbRev;
        u.dpFpgaBoardPcbRev = comm.m_wDpFpgaBoardPcbRev;
        u.dhcpEnabled = comm.m_bDhcpEnabled != 0;
        u.ipAddress = comm.m_dwIpAddress;
    }
    if ((reads & kReadDirectory) && (u.directoryRead = comm.ReadEepromDirectory() != 0)) {
        u.operationalMode = comm.m_nOperationalMode;
        u.updateEnable = comm.m_bUpdateEnable != 0;
        u.currentEepromWord = comm.m_wCurrentEepromWord;
        for (int k = 0; k < EEPROM_COUNT; ++k) {
            u.eepromImageId[k] = comm.m_dwEepromImageId[k];
            u.eepromPersonality[k] = comm.m_wEepromPersonality[k];
        }
    }
    // A failed status read leaves the directory's mode, not its own zeros.
    if ((reads & kReadStatus) && (u.statusRead = comm.ReadOperationalStatus() != 0))
        u.operationalMode = comm.m_nOperationalMode;
}

std::string VersionText(uint32_t value) { return Format("%8.8X", value); }

std::string IpAddressText(uint32_t a) {
    return Format("%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
}
