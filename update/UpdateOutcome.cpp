#include "update/UpdateOutcome.h"

#include "platform/Text.h"

namespace {
struct SResultInfo {
    EUpdateResult result;
    const char* name;
    const char* text;
};
const SResultInfo kResults[] = {
    {EUpdateResult::Completed, "completed", "The unit confirmed every step of the update."},
    {EUpdateResult::InProgress, "in-progress", "The update is still running."},
    {EUpdateResult::Busy, "busy", "An EEPROM update is already running; nothing was sent."},
    {EUpdateResult::InvalidFileName, "invalid-file-name", "No image file was given; nothing was sent."},
    {EUpdateResult::InvalidFlashFile, "invalid-flash-file",
     "The file name does not mark an image for this target; nothing was sent."},
    {EUpdateResult::FileUnreadable, "file-unreadable", "The image file could not be read; nothing was sent."},
    {EUpdateResult::FileTooBig, "file-too-big", "The image file is larger than the target holds; nothing was sent."},
    {EUpdateResult::AllocationFailed, "allocation-failed",
     "There was not enough memory for the image; nothing was sent."},
    {EUpdateResult::UnknownException, "unknown-exception",
     "Reading the image failed unexpectedly; nothing was sent."},
    {EUpdateResult::BlockNotAcknowledged, "block-not-acknowledged",
     "The unit did not acknowledge a block of the image; the upload was abandoned."},
    {EUpdateResult::FinishNotAcknowledged, "finish-not-acknowledged",
     "The whole image was sent, but the unit did not acknowledge the end of the upload."},
    {EUpdateResult::EraseNotAcknowledged, "erase-not-acknowledged",
     "The unit did not acknowledge the bulk erase; nothing was written."},
    {EUpdateResult::EraseStatusFailed, "erase-status-failed",
     "The erase status could not be read; no page was written and the EEPROM may be left erased."},
    {EUpdateResult::EraseNotConfirmed, "erase-not-confirmed",
     "The connection was lost while the unit erased; the EEPROM may be left erased."},
    {EUpdateResult::EraseTimedOut, "erase-timed-out",
     "The erase did not finish within the time allowed; the EEPROM may be left erased."},
    {EUpdateResult::PageNotAcknowledged, "page-not-acknowledged",
     "The unit did not acknowledge a page; the EEPROM is erased and only partly written."},
    {EUpdateResult::SelectNotAcknowledged, "select-not-acknowledged",
     "Every page was written, but the unit did not acknowledge the select command."},
    {EUpdateResult::DirectoryNotRead, "directory-not-read",
     "Every page was written and selected, but the EEPROM directory could not be read back."},
    {EUpdateResult::NotCurrent, "not-current",
     "Every page was written, but the unit's directory does not show this EEPROM as current."},
    {EUpdateResult::ModeUnknown, "mode-unknown",
     "The EEPROM was written and is current, but the operational mode could not be read before the "
     "erase, so it was not restored."},
    {EUpdateResult::ModeOutOfRange, "mode-out-of-range",
     "The EEPROM was written and is current, but the operational mode read before the erase cannot be "
     "sent back."},
    {EUpdateResult::ModeNotRestored, "mode-not-restored",
     "The EEPROM was written and is current, but the unit did not acknowledge the operational mode "
     "sent back."},
    {EUpdateResult::AlreadyCurrent, "already-current",
     "The unit already holds this image, as its own replies and the update history show; nothing was written."},
    {EUpdateResult::ConnectionLostInWriteWait, "connection-lost-in-write-wait",
     "The connection was lost while the unit wrote its flash; the image may be incomplete. Check the DSP's "
     "firmware version after the unit restarts."},
    {EUpdateResult::Interrupted, "interrupted", "The update was interrupted before the unit confirmed every step."},
};

const SResultInfo* Find(EUpdateResult r) {
    for (const auto& i : kResults)
        if (i.result == r) return &i;
    return nullptr;
}
}  // namespace

const char* UpdateResultText(EUpdateResult result) {
    const SResultInfo* i = Find(result);
    return i ? i->text : "Unknown result.";
}

const char* UpdateResultName(EUpdateResult result) {
    const SResultInfo* i = Find(result);
    return i ? i->name : "unknown";
}

std::vector<EUpdateResult> AllUpdateResults() {
    std::vector<EUpdateResult> all;
    for (int r = static_cast<int>(EUpdateResult::Completed); r <= static_cast<int>(EUpdateResult::Interrupted);
         ++r)
        all.push_back(static_cast<EUpdateResult>(r));
    return all;
}

bool IsFileProblem(EUpdateResult r) {
    switch (r) {
        case EUpdateResult::InvalidFileName:
        case EUpdateResult::InvalidFlashFile:
        case EUpdateResult::FileUnreadable:
        case EUpdateResult::FileTooBig:
        case EUpdateResult::AllocationFailed:
        case EUpdateResult::UnknownException: return true;
        default: return false;
    }
}

std::string ElapsedTimeText(int64_t startMs, int64_t nowMs) {
    uint32_t seconds = static_cast<uint32_t>((nowMs - startMs) / 1000) % 65536;
    return Format("Elapsed Time: %u:%.2u\r\n", seconds / 60, seconds % 60);
}
