#include "app/OutcomeJson.h"

#include "platform/Text.h"
#include "protocol/TR52K1_Comm.h"
#include "update/UnitInfo.h"

nlohmann::ordered_json OutcomeJson(const CUpdateOutcome& o) {
    nlohmann::ordered_json j;
    j["result"] = UpdateResultName(o.result);
    j["resultText"] = UpdateResultText(o.result);
    j["skipped"] = o.result == EUpdateResult::AlreadyCurrent;
    j["writeSent"] = o.writeSent;
    if (!o.proof.empty()) {
        nlohmann::ordered_json proof = nlohmann::ordered_json::object();
        for (const auto& [name, value] : o.proof) proof[name] = value;
        j["proof"] = proof;
    }
    j["file"] = o.imagePath;
    j["imageRead"] = o.imageRead;
    if (o.imageRead) {
        j["size"] = o.imageSize;
        j["sha256"] = o.imageSha256;
    }
    if (o.kind == EUpdateKind::DspFlash) {
        j["dsp"] = o.target + 1;
        j["startAcknowledged"] = o.startAcknowledged;
        j["blocks"] = o.blocksTotal;
        j["blocksAcknowledged"] = o.blocksAcknowledged;
        j["finishSent"] = o.finishSent;
        j["finishAcknowledged"] = o.finishAcknowledged;
        j["writeWaitDone"] = o.writeWaitDone;
    } else {
        j["eeprom"] = o.target;
        if (o.imageRead) {
            j["bytesToWrite"] = o.bytesToWrite;
            j["sentSha256"] = o.sentSha256;
        }
        j["eraseAcknowledged"] = o.eraseAcknowledged;
        j["eraseCompleted"] = o.eraseCompleted;
        j["pages"] = o.pagesTotal;
        j["pagesAcknowledged"] = o.pagesAcknowledged;
        j["pageRetries"] = o.pageRetries;
        j["bytesWritten"] = static_cast<uint64_t>(o.pagesAcknowledged) * EEPROM_PAGE_SIZE;
        j["selectAcknowledged"] = o.selectAcknowledged;
        j["directoryRead"] = o.directoryRead;
        if (o.currentEeprom) j["currentEeprom"] = *o.currentEeprom;
        if (o.currentEepromWord) j["currentEepromWord"] = *o.currentEepromWord;
        if (o.imageId) j["imageId"] = VersionText(*o.imageId);
        if (o.modeBefore) j["modeBefore"] = *o.modeBefore;
        j["modeRestored"] = o.modeRestored;
    }
    return j;
}
